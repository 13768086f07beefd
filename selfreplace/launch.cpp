#include "selfreplace/launch.h"

#include <windows.h>
#include <shellapi.h>

#include "common/file_system.h"
#include "common/handle.h"
#include "common/lead_bytes.h"
#include "common/own_names.h"
#include "common/path_rules.h"
#include "selfreplace/self_update_rules.h"

namespace tallowfin {

namespace {

std::string TemporaryFolder()
{
    char folder[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof folder, folder);
    return n == 0 || n > MAX_PATH ? std::string() : std::string(folder, n);
}

std::string CurrentFolder()
{
    char folder[MAX_PATH + 1] = {};
    const DWORD n = GetCurrentDirectoryA(sizeof folder, folder);
    return n == 0 || n > MAX_PATH ? std::string() : std::string(folder, n);
}

// Writes the helper embedded in `self` to `path`, replacing a file that is
// there; false when it cannot be read or written whole.
bool WriteHelper(HMODULE self, const std::string& path)
{
    HRSRC found = FindResourceA(self, kHelperResourceName, kHelperResourceType);
    const DWORD size = found ? SizeofResource(self, found) : 0;
    HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return false;

    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes, size, &written, nullptr) && written == size && file.reset();
}

// A new folder of this run's own under the temporary folder; empty when none
// can be made.
std::string NewHelperFolder()
{
    const std::string temp = TemporaryFolder();
    if (temp.empty()) return {};
    for (std::uint32_t number = 0; number < 16; ++number) {
        std::string folder = JoinPath(temp, OwnName(OwnNameKind::kHelperFolder, GetCurrentProcessId(), number));
        if (CreateDirectoryA(folder.c_str(), nullptr)) return folder;
    }
    return {};
}

void RemoveHelperFolder(const std::string& folder)
{
    DeleteFileA(JoinPath(folder, kHelperFile).c_str());
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

bool StartHelper(HMODULE resources, const std::string& staged, const std::string& target, std::uint32_t processId,
                 const std::function<void()>& beforeStart)
{
    const std::string parameters = HelperParameters(staged, target, processId);
    bool beforeStartRan = false;
    auto startIn = [&](const std::string& folder) {
        if (folder.empty()) return false;
        const std::string helper = JoinPath(folder, kHelperFile);
        // A helper that cannot be written whole is not started.
        if (!WriteHelper(resources, helper)) return false;
        if (!beforeStartRan) {
            beforeStart();
            beforeStartRan = true;
        }
        // By the full path it was written to: a bare name is looked up, and
        // the updater's own folder, where an older helper may lie, comes
        // before the current one.
        const auto started = ShellExecuteA(nullptr, "open", helper.c_str(), parameters.c_str(), nullptr, SW_HIDE);
        return reinterpret_cast<INT_PTR>(started) > 32;
    };

    // The current folder, as the helper has always been written there; when
    // that cannot be written, beside the updater; failing that, a folder of
    // the run's own under the temporary folder.
    const std::string current = CurrentFolder();
    if (startIn(current)) return true;
    const std::string programFolder = ProgramDirectoryOf(target);
    if (!SamePathText(programFolder, current, IsLeadByteOfAnsiCodePage) && startIn(programFolder)) return true;
    const std::string own = NewHelperFolder();
    if (startIn(own)) return true;
    if (!own.empty()) RemoveHelperFolder(own);
    return false;
}

void RemoveLeftHelperFolders()
{
    const std::string temp = TemporaryFolder();
    if (temp.empty()) return;
    WIN32_FIND_DATAA found;
    FindHandle search(FindFirstFileA(JoinPath(temp, "~TallowfinUpdate.*").c_str(), &found));
    if (!search) return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            KindOfOwnName(found.cFileName) == OwnNameKind::kHelperFolder)
            RemoveHelperFolder(JoinPath(temp, found.cFileName));
    } while (FindNextFileA(search.get(), &found));
}

}  // namespace tallowfin
