#include "selfreplace/launch.h"

#include <windows.h>

#include <cstring>

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
// there, and returns it held: open for reading and shared for reading only,
// so that nobody can change or delete it until the handle goes, and checked
// byte for byte through that handle against the embedded one. Whatever came
// between the write and the hold (a file planted in the moment) is found
// then. An empty handle when it cannot be read, written, held or is not the
// helper.
FileHandle WriteHelper(HMODULE self, const std::string& path)
{
    HRSRC found = FindResourceA(self, kHelperResourceName, kHelperResourceType);
    const DWORD size = found ? SizeofResource(self, found) : 0;
    HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return {};
    {
        FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!file) return {};
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes, size, &written, nullptr) || written != size || !file.reset()) return {};
    }
    // The system's loader opens a program for reading, sharing reading: it
    // can start one held like this, and nobody can write it meanwhile.
    FileHandle held(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    const auto content = held ? ReadWholeFile(held, size + 1) : std::nullopt;
    if (!content || content->size() != size || std::memcmp(content->data(), bytes, size) != 0) return {};
    return held;
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

FileHandle StartHelper(HMODULE resources, const std::string& staged, const std::string& target,
                       std::uint32_t processId, const std::function<void()>& beforeStart)
{
    const std::string parameters = HelperParameters(staged, target, processId);
    bool beforeStartRan = false;
    auto startIn = [&](const std::string& folder) -> FileHandle {
        if (folder.empty()) return {};
        const std::string helper = JoinPath(folder, kHelperFile);
        // A helper that cannot be written whole and held is not started.
        FileHandle held = WriteHelper(resources, helper);
        if (!held) return {};
        if (!beforeStartRan) {
            beforeStart();
            beforeStartRan = true;
        }
        // By the full path it was written to, while it is held: a bare name
        // is looked up, and the updater's own folder, where an older helper
        // may lie, comes before the current one.
        std::string commandLine = "\"" + helper + "\" " + parameters;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(helper.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info))
            return {};
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        return held;
    };

    // The current folder, as the helper has always been written there; when
    // that cannot be written, beside the updater; failing that, a folder of
    // the run's own under the temporary folder.
    const std::string current = CurrentFolder();
    if (FileHandle held = startIn(current)) return held;
    const std::string programFolder = ProgramDirectoryOf(target);
    if (!SamePathText(programFolder, current, IsLeadByteOfAnsiCodePage))
        if (FileHandle held = startIn(programFolder)) return held;
    const std::string own = NewHelperFolder();
    if (FileHandle held = startIn(own)) return held;
    if (!own.empty()) RemoveHelperFolder(own);
    return {};
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
