#include "control/main_form.h"

#include <windows.h>

#include <algorithm>

#include "common/file_system.h"
#include "common/kept_file.h"
#include "common/limits.h"
#include "common/path_rules.h"
#include "control/pending_work.h"
#include "digestcache/cache_location.h"
#include "download/temp_files.h"
#include "selfreplace/launch.h"
#include "trust/accepted_serial.h"
#include "trust/signature_der.h"

namespace tallowfin {

TMainForm::TMainForm(FormView& view, MainThreadDoor& door, InternetLayer& internet, Settings settings)
    : view_(view), door_(door), internet_(internet), settings_(std::move(settings))
{
}

void TMainForm::FormCreate()
{
    view_.UnifyFonts();
    view_.SetApplicationTitle(kTitle);
    view_.SetCaption(kTitle);
    FErrors.clear();
    FSelfUpdateFile.clear();
    // What killed runs left behind: their downloads, an installation they
    // did not finish (forward or back, before anything else), the helpers'
    // folders. A run that is not alone leaves them be, since another run's
    // finished downloads and transaction look just the same.
    if (soleRun_.Sole()) {
        RemoveLeftTemporaryFiles();
        // Downloads of killed runs that were whole lie beside the kept parts.
        if (!PartsFolder().empty()) RemoveLeftTemporaryFiles(PartsFolder());
        FinishLeftTransaction(JournalPath(), LogFileBeside(JournalPath()));
        RemoveLeftNewCopies(InstallationSerialFileOf(ProgramDirectoryOf(settings_.OwnPath)));
        ForgetPendingWorkOfEarlierVersions();
        RemoveLeftHelperFolders();
    }
    CheckForUpdates();
}

std::string TMainForm::PartsFolder() const
{
    return settings_.CacheFolder.empty() ? std::string() : settings_.CacheFolder + "\\" + kKeptPartsFolder;
}

TWebThread* TMainForm::StartPass(std::function<void(TThread*)> onTerminate, const std::vector<TUpdateRec*>& records,
                                 const std::string& partsFolder)
{
    auto worker = std::make_unique<TWebThread>(door_, internet_);
    worker->OnTerminate = std::move(onTerminate);
    worker->OnStatus = [this](TWebThread* sender, TWebStatus kind, const std::string& message, std::int32_t size,
                              std::int32_t position) { WebThreadStatus(sender, kind, message, size, position); };
    worker->FreeOnTerminate = true;
    worker->FBaseUrl = settings_.BaseUrl;
    worker->FPartsFolder = partsFolder;
    worker->FRecords.insert(worker->FRecords.end(), records.begin(), records.end());
    FWebThread = worker.get();
    worker->Resume();
    worker.release();  // the worker owns itself once it runs
    return FWebThread;
}

void TMainForm::CheckForUpdates()
{
    if (FWebThread) return;
    // The previous file-list worker has ended (FWebThread is none), so
    // nothing points at the old record any more.
    listRecord_ = std::make_unique<TUpdateRec>();
    listRecord_->Description = "info on available updates";
    listRecord_->Url = "filelist.xml";
    // Neither is read past what its reader takes: a list or a signature
    // announced longer is refused before its body.
    listRecord_->Largest = limits::kLargestList;
    std::vector<TUpdateRec*> records = {listRecord_.get()};
    // A signed list comes with its signature, fetched in the same pass: a
    // failure to fetch either fails the pass, which is then retried.
    signatureRecord_.reset();
    if (SignedLists()) {
        signatureRecord_ = std::make_unique<TUpdateRec>();
        signatureRecord_->Description = "signature of the available updates";
        signatureRecord_->Url = "filelist.xml.sig";
        signatureRecord_->Largest = kLongestSignatureDer;
        records.push_back(signatureRecord_.get());
    }
    FErrors.clear();
    StartPass([this](TThread* sender) { FileListDone(sender); }, records);
}

void TMainForm::FileListDone(TThread*)
{
    // A list or a signature announced longer than its reader takes was
    // refused before its body: it is one that cannot be read, and the run
    // goes on without it to start the main program, where a failed transfer
    // is retried. Fetching it again would only take the same bytes again.
    const bool refused = FWebThread && std::any_of(FWebThread->FRecords.begin(), FWebThread->FRecords.end(),
                                                   [](const TUpdateRec* record) { return record->RefusedLength; });
    if (!FErrors.empty() && !refused) {
        // The list may have arrived without its signature: either is of no
        // use alone, and the retry fetches both again.
        if (FWebThread) DiscardTemporaryFiles(FWebThread->FRecords);
        Timer_.Interval = kFirstRetryDelay;
        Timer_.Tag = 0;
        SetTimerEnabled(true);
        FWebThread = nullptr;
        return;
    }

    std::string listFile, signatureFile;
    if (FWebThread && !FWebThread->FRecords.empty()) {
        const std::string& fetched = FWebThread->FRecords.front()->TempFile;
        if (FWebThread->FStatus == wsDisconnected && FileExists(fetched)) listFile = fetched;
        if (FWebThread->FRecords.size() > 1) signatureFile = FWebThread->FRecords[1]->TempFile;
    }
    UpdateRecords records;
    try {
        records = CollectChangedFiles(listFile, signatureFile);
    } catch (const std::exception&) {
        // The list could not be read; the reader has deleted it and dropped
        // what it had collected. The download pass runs without records, so
        // the run still ends by starting the main program.
        records.clear();
    }
    FErrors.clear();

    downloadRecords_ = std::move(records);
    std::vector<TUpdateRec*> pointers;
    for (auto& record : downloadRecords_) pointers.push_back(record.get());
    StartPass([this](TThread* sender) { DownloadsDone(sender); }, pointers, PartsFolder());
    view_.SetProgressPosition(0);
    if (!downloadRecords_.empty()) view_.ShowFromTray();
}

void TMainForm::WebThreadStatus(TWebThread* Sender, TWebStatus Kind, const std::string& Message, std::int32_t Size,
                                std::int32_t Position)
{
    switch (Kind) {
    case wsFileError:
        // A patch that cannot be fetched (missing, cut) fails nothing: the
        // whole file is fetched in its place once the pass is over.
        if (Sender && Sender->FCurrent < Sender->FRecords.size() && Sender->FRecords[Sender->FCurrent]->Patch) break;
        FErrors.push_back(Message);
        break;
    case wsNoNetwork:
    case wsFailed:
        FErrors.push_back(Message);
        break;
    case wsProgress:
        view_.SetProgressMax(Size);
        view_.SetProgressPosition(Position);
        break;
    case wsConnected:
    case wsTransferring:
    case wsCompleted:
    case wsDisconnected:
        break;
    }
}

void TMainForm::SetTimerEnabled(bool enabled)
{
    Timer_.Enabled = enabled;
    view_.SetTimer(enabled, Timer_.Interval);
}

void TMainForm::TimerTimer()
{
    switch (Timer_.Tag) {
    case 0:
        // Changing the interval of the running timer restarts its countdown.
        Timer_.Interval = kSecondRetryDelay;
        SetTimerEnabled(true);
        Timer_.Tag = 1;
        view_.SetTrayImage(1);
        break;
    case 1:
        SetTimerEnabled(false);
        CheckForUpdates();
        break;
    default:
        break;
    }
}

void TMainForm::mnuExitClick()
{
    view_.Close();
}

std::string TMainForm::ExpandProgramPath(const std::string& Path) const
{
    return tallowfin::ExpandProgramPath(Path, ProgramDirectoryOf(settings_.OwnPath));
}

}  // namespace tallowfin
