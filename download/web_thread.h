// The download worker: fetches the resource of each record's Url into a new
// temporary file and writes that file's path into the record's TempFile,
// reporting every step to the main thread through OnStatus.
//
// Ownership and lifetime: made suspended on the main thread, configured, then
// started with Resume. Each report blocks the worker until the main thread has
// handled it. After the body, the terminate handler runs on the main thread;
// with FreeOnTerminate set the worker then deletes itself, so a pointer that
// the caller keeps is valid only inside that handler or while the worker runs.
// The records belong to the caller and must outlive the terminate handler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download/internet.h"
#include "download/thread.h"
#include "download/update_record.h"

namespace tallowfin {

class TWebThread : public TThread {
public:
    static constexpr char kAgent[] = "WebUpdater by vorlane\xA9";

    explicit TWebThread(MainThreadDoor& door, InternetLayer& internet = SystemInternet());
    ~TWebThread() override;

    // Set by the caller before Resume; not changed while the worker runs.
    std::vector<TUpdateRec*> FRecords;
    std::string FBaseUrl;
    TWebStatusEvent OnStatus;

    // Read by the caller in the terminate handler: the kind of the last report.
    TWebStatus FStatus = wsConnected;

protected:
    void Execute() override;

private:
    void SetStatus(TWebStatus kind, std::string message);
    void DispatchStatus();
    void ReportStatus(TWebStatus kind, std::string message);
    void Fetch(TUpdateRec& record);
    void DiscardPartialFile() noexcept;

    InternetLayer& internet_;
    InternetHandle FSession;
    InternetHandle FUrlHandle;
    std::string FMessage;
    std::int32_t FFileSize = 0;
    std::int32_t FBytesRead = 0;

    // The temporary file being written, until it is complete or deleted.
    FileHandle partialHandle_;
    std::string partialPath_;
};

}  // namespace tallowfin
