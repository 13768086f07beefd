// The controller: runs one update as two passes of the download worker (the
// file list, then the changed files), retries a failed file-list pass for as
// long as the program runs, and hands the end of the download pass to the
// installation, which ends the program.
//
// Everything here runs on the main thread: the handlers, the timer ticks and
// the worker's reports, which the worker hands over and waits for. The form
// does not own its workers (each frees itself after its terminate handler);
// it owns the records it hands them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/form_view.h"
#include "control/sole_run.h"
#include "control/xml_document.h"
#include "digestcache/local_digests.h"
#include "download/internet.h"
#include "download/main_thread_door.h"
#include "download/update_record.h"
#include "download/web_thread.h"
#include "transaction/release_transaction.h"
#include "trust/public_key.h"

namespace tallowfin {

using UpdateRecords = std::vector<std::unique_ptr<TUpdateRec>>;

class TMainForm {
public:
    static constexpr char kTitle[] = "Tallowfin Beta - Auto Update";
    static constexpr UINT kFirstRetryDelay = 5000;
    static constexpr UINT kSecondRetryDelay = 1000;

    struct Settings {
        std::string BaseUrl;        // "http://host/software/Tallowfin/", or https://, ending in "/"
        std::string OwnPath;        // the running executable
        std::string FirstArgument;  // the updater's own first argument, or empty
        HMODULE ResourceModule = nullptr;  // holds the helper; null: the running executable
        std::string CacheFolder{};  // where the digest cache is kept; empty: no cache
        unsigned HashingThreads = 0;  // threads hashing local files; 0: as the processors and disk allow
        // The keys a file list must be signed with; none: the list is taken
        // as the server sends it, as the protocol always has.
        std::vector<P256PublicKey> ListKeys{};
        // With keys: the lowest serial a list may have (the build's
        // TALLOWFIN_LIST_SERIAL_FLOOR), so that a new installation never
        // takes a publication older than its own build.
        std::uint64_t ListSerialFloor = 0;
    };

    TMainForm(FormView& view, MainThreadDoor& door, InternetLayer& internet, Settings settings);
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Handlers.
    void FormCreate();
    void CheckForUpdates();
    void FileListDone(TThread* Sender);
    void WebThreadStatus(TWebThread* Sender, TWebStatus Kind, const std::string& Message, std::int32_t Size,
                         std::int32_t Position);
    void TimerTimer();
    void mnuExitClick();
    void DownloadsDone(TThread* Sender);

    // Operations of the file list, the installation and the self-replacement.
    // SignatureFile: the fetched "filelist.xml.sig", read only with ListKeys.
    UpdateRecords CollectChangedFiles(const std::string& ListFile, const std::string& SignatureFile = {});
    std::string ExpandProgramPath(const std::string& Path) const;
    void LaunchSelfUpdate();

    // The timer component's settings.
    struct TTimer {
        bool Enabled = false;
        UINT Interval = 3000;
        int Tag = 0;
    };

    // State, for those who drive and watch the form.
    const TTimer& Timer() const noexcept { return Timer_; }
    TWebThread* WebThread() const noexcept { return FWebThread; }
    std::size_t ErrorCount() const noexcept { return FErrors.size(); }
    const std::string& SelfUpdateFile() const noexcept { return FSelfUpdateFile; }
    void SetSelfUpdateFile(std::string path) { FSelfUpdateFile = std::move(path); }
    const Settings& settings() const noexcept { return settings_; }

private:
    TWebThread* StartPass(std::function<void(TThread*)> onTerminate, const std::vector<TUpdateRec*>& records,
                          const std::string& partsFolder = {});
    // Where the parts of unfinished downloads are kept; empty: nowhere.
    std::string PartsFolder() const;
    void KeepOnlyPartsOf(const UpdateRecords& records);
    void SetTimerEnabled(bool enabled);
    void DiscardTemporaryFiles(const std::vector<TUpdateRec*>& records);
    // The files of a release from the download pass's records, and the
    // records they came from, in the same order.
    std::vector<ReleaseFile> ReleaseFiles(const std::vector<TUpdateRec*>& records, std::vector<TUpdateRec*>& staged);
    std::string JournalPath() const;
    LocalDigests& LocalDigestsOfFiles();
    bool SignedLists() const noexcept { return !settings_.ListKeys.empty(); }

    FormView& view_;
    MainThreadDoor& door_;
    InternetLayer& internet_;
    const Settings settings_;
    // Held from the form's creation on, for the run's whole life.
    SoleRun soleRun_;

    TTimer Timer_;
    TXMLDocument XMLDocument;

    TWebThread* FWebThread = nullptr;
    std::vector<std::string> FErrors;
    // The updater's own new build, staged beside it for the helper.
    std::string FSelfUpdateFile;
    // The release being installed, held until the run ends; and the helper's
    // file, held from its writing until the run ends.
    std::unique_ptr<ReleaseTransaction> transaction_;
    FileHandle helperHold_;
    // The digest text of the list the download pass came from.
    std::string listIdentity_;
    // While a pass fetches whole files in place of patches that could not
    // serve: every record of the release.
    std::vector<TUpdateRec*> passRecords_;

    // The digests of the installed files; made when the list is first read.
    std::unique_ptr<LocalDigests> digests_;

    // The records of the current passes; the workers only point at them.
    std::unique_ptr<TUpdateRec> listRecord_;
    std::unique_ptr<TUpdateRec> signatureRecord_;  // with ListKeys only
    UpdateRecords downloadRecords_;
};

}  // namespace tallowfin
