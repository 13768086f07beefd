// The download worker: fetches the resource of each record's Url into a new
// file and writes that file's path into the record's TempFile, reporting
// every step to the main thread through OnStatus.
//
// Where the records name their files by a listed digest and the caller gives
// a folder of kept parts, a transfer that ends early keeps what it received
// there, and the next transfer of the same file asks only for the rest
// (kept_part.h, resume_rules.h). Every transfer is bounded in time
// (transfer_pace.h).
//
// Bodies are read on a thread of the worker's own (read_thread.h) in large
// blocks, while the worker writes them and judges their pace.
//
// Ownership and lifetime: made suspended on the main thread, configured, then
// started with Resume. The start of each file, its completion, its failure
// and the pass's end are handed over and waited for; progress is posted
// without waiting, at most every kProgressIntervalMs and at the end of each
// file, whose last progress is waited for too. After the body, the terminate
// handler runs on the main thread, after every posted report; with
// FreeOnTerminate set the worker then deletes itself, so a pointer that the
// caller keeps is valid only inside that handler or while the worker runs.
// The records belong to the caller and must outlive the terminate handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "download/internet.h"
#include "download/kept_part.h"
#include "download/read_thread.h"
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
    // Where parts of unfinished transfers are kept; empty: nothing is kept.
    std::string FPartsFolder;
    // Milliseconds of a monotonic clock, for the progress interval and the
    // time bounds; tests put one of their own.
    std::function<std::uint64_t()> FClock = [] { return static_cast<std::uint64_t>(GetTickCount64()); };

    // Read by the caller in the terminate handler: the kind of the last report.
    TWebStatus FStatus = wsConnected;
    // Read by the caller in a report: the index in FRecords of the record the
    // report is about (the last one started).
    std::size_t FCurrent = 0;

protected:
    void Execute() override;

private:
    void SetStatus(TWebStatus kind, std::string message);
    void DispatchStatus();
    void ReportStatus(TWebStatus kind, std::string message);
    void PostProgress();
    void RaiseProgressError();
    void Fetch(TUpdateRec& record);
    std::optional<KeptPart> HoldPart(const TUpdateRec& record, bool create);
    DWORD OpenTarget(const TUpdateRec& record, std::uint64_t from, std::uint64_t total,
                     const std::optional<std::string>& validator);
    void DiscardPartialFile() noexcept;

    InternetLayer& internet_;
    InternetHandle FSession;
    InternetHandle FUrlHandle;
    std::string FMessage;
    std::int32_t FFileSize = 0;
    std::int32_t FBytesRead = 0;

    // Makes the reads of each body, so that a read that does not come can be
    // given up on.
    ReadThread reader_;
    // The part of the current transfer, when one is kept, and the names of
    // the parts already handed over as downloads in this pass: a list that
    // names one content twice gets a second copy, not the first one again.
    std::optional<KeptPart> part_;
    std::set<std::string> partsHandedOver_;
    // The temporary file being written, until it is complete or deleted.
    FileHandle partialHandle_;
    std::string partialPath_;

    // An error a posted progress report raised on the main thread, raised
    // again on this thread at its next step.
    std::atomic<bool> progressFailed_{false};
    std::exception_ptr progressError_;
};

}  // namespace tallowfin
