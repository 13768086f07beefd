#include "control/install.h"

#include <shellapi.h>

#include <algorithm>
#include <utility>

#include "common/file_system.h"
#include "common/lead_bytes.h"
#include "common/path_rules.h"
#include "control/korean_text.h"
#include "control/launch_rules.h"
#include "control/main_form.h"
#include "control/patched_download.h"
#include "transaction/journal.h"

namespace tallowfin {

namespace {

// Whether a record names the running executable. Where both files exist their
// identities decide; otherwise the texts, compared without the case of the
// letters A to Z but with the second byte of a double-byte character as it
// is (in code page 949 it can be a letter's byte).
bool NamesSameFile(const std::string& path, const std::string& ownPath)
{
    if (const auto same = SameExistingFile(path, ownPath)) return *same;
    return SamePathText(path, ownPath, IsLeadByteOfAnsiCodePage);
}

}  // namespace

BOOL CALLBACK CloseExplorerWindow(HWND window, LPARAM)
{
    if (!IsWindowVisible(window)) return TRUE;
    const auto owner = reinterpret_cast<HWND>(GetWindowLongPtrA(window, GWLP_HWNDPARENT));
    if (owner && owner != GetDesktopWindow()) return TRUE;
    if (GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) return TRUE;
    char className[100] = {};
    GetClassNameA(window, className, sizeof className);
    // Posted, not sent: the browser closes in its own time, and a browser that
    // hangs must not hang the updater.
    if (std::string_view(className) == "IEFrame") PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

void TMainForm::DiscardTemporaryFiles(const std::vector<TUpdateRec*>& records)
{
    // A failed pass installs nothing; its files would only pile up in the
    // temporary folder, whose names for one prefix run out after 65,535.
    for (TUpdateRec* record : records)
        if (!record->TempFile.empty()) DeleteFileA(record->TempFile.c_str());
}

std::string TMainForm::JournalPath() const
{
    return JoinPath(ProgramDirectoryOf(settings_.OwnPath), kJournalFile);
}

std::vector<ReleaseFile> TMainForm::ReleaseFiles(const std::vector<TUpdateRec*>& records, std::vector<TUpdateRec*>& staged)
{
    std::vector<ReleaseFile> files;
    // When the list names the updater more than once, the last copy counts.
    TUpdateRec* self = nullptr;
    for (TUpdateRec* record : records) {
        record->LocalPath = CollapseDoubledBackslashes(record->LocalPath);
        if (FileExists(record->TempFile) && NamesSameFile(record->LocalPath, settings_.OwnPath)) self = record;
    }
    for (TUpdateRec* record : records) {
        // A record whose fetch left no file is skipped, as it always was.
        if (!FileExists(record->TempFile)) continue;
        const bool isSelf = NamesSameFile(record->LocalPath, settings_.OwnPath);
        if (isSelf && record != self) continue;
        ReleaseFile file;
        file.source = record->TempFile;
        // The running executable is replaced by the helper after this run has
        // ended, from its staged copy beside it.
        file.target = isSelf ? settings_.OwnPath : record->LocalPath;
        file.listedMd5 = record->Listed.Md5;
        file.listedSha256 = record->Listed.Sha256;
        file.selfUpdate = isSelf;
        if (isSelf) file.mustCarryOneOf = settings_.ListKeys;
        file.registers = !isSelf && AsciiUpper(ExtensionOf(record->LocalPath)) == ".DLL";
        files.push_back(std::move(file));
        staged.push_back(record);
    }
    return files;
}

void TMainForm::DownloadsDone(TThread*)
{
    std::vector<TUpdateRec*> records = FWebThread ? FWebThread->FRecords : std::vector<TUpdateRec*>{};
    // After a pass that fetched whole files in place of patches, the release
    // is all the records, those the first pass had left ready among them.
    if (!passRecords_.empty()) records = std::exchange(passRecords_, {});
    if (!FErrors.empty()) {
        DiscardTemporaryFiles(records);
        FWebThread = nullptr;
        return;
    }

    // Patches fetched in place of files are applied to the installed files;
    // one that cannot serve (missing, damaged, for another base, a result not
    // as listed) gives way to its whole file, fetched by one more pass.
    std::vector<TUpdateRec*> whole;
    for (TUpdateRec* record : records)
        if (record->Patch && !ApplyFetchedPatch(*record)) whole.push_back(record);
    if (!whole.empty()) {
        passRecords_ = records;
        StartPass([this](TThread* sender) { DownloadsDone(sender); }, whole, PartsFolder());
        return;
    }

    // The release as one transaction: every file is staged beside its target
    // and checked there before anything is installed or the user is asked
    // anything. A file whose bytes are not the listed ones (an error page
    // served as a file, a stale copy from a proxy, half of a release) fails the
    // pass like a failed transfer.
    std::vector<TUpdateRec*> staged;
    const std::vector<ReleaseFile> files = ReleaseFiles(records, staged);
    std::unique_ptr<ReleaseTransaction> transaction;
    bool installed = files.empty();
    if (!files.empty()) {
        transaction = std::make_unique<ReleaseTransaction>(JournalPath(), listIdentity_, LogFileBeside(JournalPath()));
        const ReleaseTransaction::Staging staging = transaction->Stage(files);
        DiscardTemporaryFiles(records);
        if (staging == ReleaseTransaction::Staging::kNotAsListed) {
            FErrors.push_back(transaction->Problem());
            FWebThread = nullptr;
            return;
        }
        installed = staging == ReleaseTransaction::Staging::kStaged;
    }

    if (installed && FindWindowA("IEFrame", nullptr) && !records.empty()) {
        view_.ShowMessageBox(kBrowserNotice, MB_ICONINFORMATION);
        EnumWindows(CloseExplorerWindow, 0);
    }

    // All or nothing: when a file cannot be put in place (held by the product,
    // a scanner), the installation is the previous release, whole, and the
    // main program is started on it; the next run tries again.
    if (transaction && installed) installed = transaction->Commit();
    if (transaction && installed) {
        transaction->Finish();
        const auto& leftOut = transaction->LeftOut();
        for (std::size_t i = 0; i < staged.size(); ++i) {
            TUpdateRec& record = *staged[i];
            const bool wasLeftOut = std::find(leftOut.begin(), leftOut.end(), i) != leftOut.end();
            record.FetchedMd5 = wasLeftOut ? std::string() : transaction->Md5Read(i);
            record.Installed = !wasLeftOut && !files[i].selfUpdate;
        }
        FSelfUpdateFile = transaction->SelfUpdateFile();
        LaunchSelfUpdate();
    }

    const std::string program = DirectoryWithBackslash(settings_.OwnPath) + kMainProgram;
    const std::string parameters = MainProgramParameters(settings_.FirstArgument);
    ShellExecuteA(view_.Handle(), "open", program.c_str(), parameters.c_str(), "", SW_SHOWNORMAL);
    // After the main program has been started, so that it does not wait:
    // the next run need not read again what this one put in place.
    if (digests_) digests_->Refresh(records);
    // The updater's own staged build stays held until the run ends.
    transaction_ = std::move(transaction);
    view_.Terminate();
}

}  // namespace tallowfin
