#include "control/install.h"

#include <shellapi.h>

#include "common/file_system.h"
#include "common/lead_bytes.h"
#include "common/path_rules.h"
#include "control/dll_server.h"
#include "control/download_check.h"
#include "control/install_file.h"
#include "control/korean_text.h"
#include "control/launch_rules.h"
#include "control/main_form.h"
#include "control/pending_work.h"

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

void TMainForm::InstallRecord(TUpdateRec& record)
{
    if (!FileExists(record.TempFile)) return;
    record.LocalPath = CollapseDoubledBackslashes(record.LocalPath);
    const bool server = AsciiUpper(ExtensionOf(record.LocalPath)) == ".DLL";
    // Recorded before the copy, so that a later run registers the DLL if this
    // one is killed before it could.
    if (server) BeginPendingWork(record.LocalPath, PendingKind::kRegistration);
    if (!NamesSameFile(record.LocalPath, settings_.OwnPath)) {
        record.Installed = PlaceFile(record.TempFile, record.LocalPath);
        // Whatever the placing did: a file that did not arrive still differs
        // by digest and is fetched again on the next run.
        DeleteFileA(record.TempFile.c_str());
    } else {
        // The running executable cannot be overwritten; it is replaced by the
        // helper after the updater has ended (Installed stays false: this run
        // never sees it in place). When the list names it more than once, the
        // last copy counts and the earlier ones are dropped.
        if (!FSelfUpdateFile.empty() && FSelfUpdateFile != record.TempFile) DeleteFileA(FSelfUpdateFile.c_str());
        FSelfUpdateFile = record.TempFile;
    }
    // Registered whatever the copy did: a DLL whose copy failed registers
    // from its old file.
    if (server) {
        CallDllServer(record.LocalPath, true);
        EndPendingWork(record.LocalPath);
    }
}

void TMainForm::DownloadsDone(TThread*)
{
    const std::vector<TUpdateRec*> records = FWebThread ? FWebThread->FRecords : std::vector<TUpdateRec*>{};
    // A file whose bytes are not the listed ones (an error page served as a
    // file, a stale copy from a proxy, half of a release) fails the pass like
    // a failed transfer, before anything is installed or the user is asked
    // anything.
    if (FErrors.empty()) {
        if (const TUpdateRec* differing = FirstDownloadNotAsListed(records))
            FErrors.push_back("The file fetched for " + differing->LocalPath + " is not the listed one");
    }
    if (!FErrors.empty()) {
        DiscardTemporaryFiles(records);
        FWebThread = nullptr;
        return;
    }

    if (FindWindowA("IEFrame", nullptr) && !records.empty()) {
        view_.ShowMessageBox(kBrowserNotice, MB_ICONINFORMATION);
        EnumWindows(CloseExplorerWindow, 0);
    }

    const std::size_t count = records.size();
    for (std::size_t i = 0; i < count; ++i) InstallRecord(*records[i]);

    LaunchSelfUpdate();

    const std::string program = DirectoryWithBackslash(settings_.OwnPath) + kMainProgram;
    const std::string parameters = MainProgramParameters(settings_.FirstArgument);
    ShellExecuteA(view_.Handle(), "open", program.c_str(), parameters.c_str(), "", SW_SHOWNORMAL);
    // After the main program has been started, so that it does not wait:
    // the next run need not read again what this one put in place.
    if (digests_) digests_->Refresh(records);
    view_.Terminate();
}

}  // namespace tallowfin
