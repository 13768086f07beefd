#include "common/file_system.h"

#include <windows.h>

#include <algorithm>

#include "common/handle.h"

namespace tallowfin {

bool FileExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

std::optional<FileIdentity> IdentityOf(const std::string& path)
{
    // No access to the content is asked for, so a file that others hold
    // open without sharing can still be identified.
    FileHandle file(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

}  // namespace

std::optional<bool> SameExistingFile(const std::string& a, const std::string& b)
{
    const auto first = IdentityOf(a);
    const auto second = first ? IdentityOf(b) : std::nullopt;
    if (!first || !second) return std::nullopt;
    return first->volume == second->volume && first->indexHigh == second->indexHigh &&
           first->indexLow == second->indexLow;
}

std::optional<std::string> ReadWholeFile(const FileHandle& file, std::size_t largest)
{
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > std::min(largest, kLargestWholeFile))
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes.data() + filled, static_cast<DWORD>(bytes.size() - filled), &got, nullptr))
            return std::nullopt;
        if (got == 0) break;
        filled += got;
    }
    bytes.resize(filled);
    return bytes;
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t largest)
{
    return ReadWholeFile(FileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr)),
                         largest);
}

std::optional<std::string> ReadWholeFile(const std::wstring& path)
{
    return ReadWholeFile(FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr)));
}

std::string OwnExecutablePath()
{
    char buffer[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, n);
}

}  // namespace tallowfin
