#include "digestcache/folder_listing.h"

#include <windows.h>

#include <vector>

#include "common/handle.h"

namespace tallowfin {

namespace {

// A folder with more names than this is not listed: its listing would cost
// more memory than reading the few files the list names in it.
constexpr std::size_t kLargestListing = 100'000;

std::uint64_t Combined(LARGE_INTEGER value) { return static_cast<std::uint64_t>(value.QuadPart); }

// Names compare as the file system compares them, without regard to case.
std::wstring Folded(std::wstring name)
{
    if (!name.empty()) CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
    return name;
}

std::optional<std::wstring> Wide(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
    if (size <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

}  // namespace

std::uint64_t FileTimeNow()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

std::optional<std::uint32_t> FolderListings::VolumeSerialOf(const std::string& folder)
{
    char root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameA(folder.c_str(), root, sizeof root)) return std::nullopt;
    auto [it, added] = serials_.try_emplace(root);
    if (added) {
        // Asked once per volume: the question is slow under Wine (over a
        // millisecond), and every file on a volume shares the answer.
        DWORD serial = 0;
        if (GetVolumeInformationA(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) it->second = serial;
    }
    return it->second;
}

const FolderListings::Listing& FolderListings::ListingOf(const std::string& folder)
{
    auto [it, added] = listings_.try_emplace(folder);
    if (!added) return it->second;
    Listing& listing = it->second;

    const auto serial = VolumeSerialOf(folder);
    FileHandle handle(CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!serial || !handle) return listing;

    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // aligned for the records
    const DWORD bufferSize = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    std::size_t seen = 0;
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(handle.get(), request, buffer.data(), bufferSize)) {
        request = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
            if (++seen > kLargestListing) {
                listing.files.clear();
                return listing;
            }
            std::wstring name(entry.FileName, entry.FileNameLength / sizeof(WCHAR));
            std::optional<FileIdentity> identity;
            // A link's listing describes the link, not the file it leads to.
            if ((entry.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
                identity = FileIdentity{Combined(entry.EndOfFile), Combined(entry.LastWriteTime),
                                        Combined(entry.ChangeTime), *serial, Combined(entry.FileId)};
            }
            auto [slot, fresh] = listing.files.try_emplace(Folded(std::move(name)), identity);
            if (!fresh) slot->second.reset();
            if (entry.NextEntryOffset == 0) break;
            bytes += entry.NextEntryOffset;
        }
    }
    // Anything but the end of the listing leaves it incomplete: a file
    // missing from it is read, never wrongly matched.
    if (GetLastError() != ERROR_NO_MORE_FILES) listing.files.clear();
    return listing;
}

std::optional<FileIdentity> FolderListings::Identity(const ListedPath& path)
{
    const auto leaf = Wide(path.leaf);
    if (!leaf) return std::nullopt;
    const Listing& listing = ListingOf(path.folder);
    const auto it = listing.files.find(Folded(*leaf));
    return it == listing.files.end() ? std::nullopt : it->second;
}

}  // namespace tallowfin
