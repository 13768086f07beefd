// The self-update launch: stages the downloaded copy of the updater beside its
// executable, writes the helper out of the updater's own resources and starts
// it. The helper waits for this process to end, then copies the staged file
// over the executable.
#include <windows.h>
#include <shellapi.h>

#include "common/file_system.h"
#include "common/handle.h"
#include "common/win_error.h"
#include "control/main_form.h"
#include "selfreplace/self_update_rules.h"

namespace tallowfin {

namespace {

// Writes the helper embedded in `self` to `path`, replacing a file that is there.
void WriteHelper(HMODULE self, const char* path)
{
    HRSRC found = FindResourceA(self, kHelperResourceName, kHelperResourceType);
    if (!found) ThrowLastError("Finding the update helper in the program's resources");
    const DWORD size = SizeofResource(self, found);
    HGLOBAL loaded = LoadResource(self, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) ThrowLastError("Reading the update helper from the program's resources");

    FileHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowLastError("Writing the update helper");
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes, size, &written, nullptr) || written != size)
        ThrowLastError("Writing the update helper");
    if (!file.reset()) ThrowLastError("Writing the update helper");
}

}  // namespace

void TMainForm::LaunchSelfUpdate()
{
    if (FSelfUpdateFile.empty()) return;

    const std::string ownPath = settings_.OwnPath;
    const std::string staged = StagedPathFor(ownPath);
    CopyFileA(FSelfUpdateFile.c_str(), staged.c_str(), FALSE);
    DeleteFileA(FSelfUpdateFile.c_str());
    FSelfUpdateFile = staged;

    // Written by its bare name, so into the current directory. A helper that
    // cannot be written stops here, before it could be started half-written.
    WriteHelper(settings_.ResourceModule ? settings_.ResourceModule : GetModuleHandleA(nullptr), kHelperFile);

    view_.ProcessMessages();

    const std::string parameters = HelperParameters(FSelfUpdateFile, ownPath, GetCurrentProcessId());
    ShellExecuteA(nullptr, "open", kHelperFile, parameters.c_str(), nullptr, SW_HIDE);
}

}  // namespace tallowfin
