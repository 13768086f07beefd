#include "common/kept_file.h"

#include <windows.h>

#include <algorithm>

#include "common/handle.h"

namespace tallowfin {

namespace {

std::string NewCopyName(const std::string& path, DWORD process)
{
    return path + "." + std::to_string(process) + ".new";
}

}  // namespace

bool CreateFolderPath(const std::string& folder)
{
    std::size_t root = 3;
    if (folder.rfind("\\\\", 0) == 0) {
        const std::size_t server = folder.find('\\', 2);
        root = server == std::string::npos ? folder.size() : folder.find('\\', server + 1);
        if (root == std::string::npos) root = folder.size();
    }
    for (std::size_t slash = folder.find('\\', root + 1); ; slash = folder.find('\\', slash + 1)) {
        const std::string level = folder.substr(0, slash);
        if (!CreateDirectoryA(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        if (slash == std::string::npos) break;
    }
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReplaceKeptFile(const std::string& path, std::string_view bytes)
{
    const std::size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos || !CreateFolderPath(path.substr(0, slash))) return false;
    // A name of this process's own: two runs writing at once do not write
    // into each other's new file, and the last to finish wins whole.
    const std::string fresh = NewCopyName(path, GetCurrentProcessId());
    bool written = false;
    {
        FileHandle file(CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!file) return false;
        written = true;
        std::size_t done = 0;
        while (written && done < bytes.size()) {
            DWORD put = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
            written = WriteFile(file.get(), bytes.data() + done, want, &put, nullptr) && put == want;
            done += put;
        }
        // On the disk before it takes the old file's place: after a power
        // cut the kept file is the old one or the new one, never a hole.
        written = written && FlushFileBuffers(file.get()) && file.reset();
    }
    if (written && MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    // The caller learns why: a brief hold on the old file is worth a retry.
    const DWORD error = GetLastError();
    DeleteFileA(fresh.c_str());
    SetLastError(error);
    return false;
}

void DeleteKeptFile(const std::string& path) { DeleteFileA(path.c_str()); }

void RemoveLeftNewCopies(const std::string& path)
{
    const std::size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos) return;
    const std::string folder = path.substr(0, slash + 1);
    const std::string prefix = path.substr(slash + 1) + ".";
    WIN32_FIND_DATAA found{};
    FindHandle search(FindFirstFileA((path + ".*.new").c_str(), &found));
    if (!search) return;
    do {
        // The pattern also matches short names and longer middles: only the
        // names ReplaceKeptFile gives, a process number between the dots.
        const std::string name = found.cFileName;
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".new") != 0)
            continue;
        const std::string number = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        if (number.find_first_not_of("0123456789") != std::string::npos) continue;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA((folder + name).c_str());
    } while (FindNextFileA(search.get(), &found));
}

}  // namespace tallowfin
