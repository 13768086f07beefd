#include "transaction/staged_file.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/md5.h"
#include "common/win_error.h"
#include "digestcache/hashing_pool.h"
#include "trust/cng.h"

namespace tallowfin {

namespace {

// Large enough that a call's fixed cost is spread over much data, small
// enough to stay in the processor's cache between the read and the hash.
constexpr DWORD kBlock = 1024 * 1024;

// Reads the whole file through positioned reads (which leave other readers
// of the same handle alone) and feeds every byte to `feed`; false on a
// failed read.
template <class Feed>
bool FeedFrom(HANDLE file, Feed feed)
{
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBlock);
    std::uint64_t offset = 0;
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file, buffer.get(), kBlock, &got, &at)) return GetLastError() == ERROR_HANDLE_EOF;
        if (got == 0) return true;
        feed(buffer.get(), got);
        offset += got;
    }
}

}  // namespace

FileDigests DigestsOfOpenFile(const FileHandle& file, bool sha256)
{
    // The system's SHA-256 runs at a fraction of MD5's speed (under Wine 8,
    // 260 MB/s against 650): the two are taken at once, each reading for
    // itself, the second from the system's cache.
    FileDigests digests;
    RunTasks(sha256 ? 2 : 1, 2, [&](std::size_t i) {
        if (i == 0) {
            Md5 md5;
            if (FeedFrom(file.get(), [&](const std::uint8_t* data, DWORD size) { md5.Update(data, size); }))
                digests.md5 = DigestText(md5.Finish());
        } else {
            class Sha256 sha;
            if (FeedFrom(file.get(), [&](const std::uint8_t* data, DWORD size) { sha.Update(data, size); }))
                digests.sha256 = DigestText(sha.Finish());
        }
    });
    return digests;
}

FileDigests DigestsOfFile(const std::string& path, bool sha256)
{
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file ? DigestsOfOpenFile(file, sha256) : FileDigests{};
}

StagedFile StagedFile::Write(const std::string& source, const std::string& path, bool sha256, bool replace)
{
    StagedFile staged;
    FileHandle from(CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from) ThrowLastError(("Opening the download " + source).c_str());
    // Shared for reading only, from its creation on: what is checked below
    // is what is renamed into place.
    staged.file_.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                   replace ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!staged.file_) ThrowLastError(("Creating " + path).c_str());
    staged.path_ = path;
    try {
        const auto buffer = std::make_unique_for_overwrite<char[]>(kBlock);
        for (;;) {
            DWORD got = 0, put = 0;
            if (!ReadFile(from.get(), buffer.get(), kBlock, &got, nullptr))
                ThrowLastError(("Reading the download " + source).c_str());
            if (got == 0) break;
            if (!WriteFile(staged.file_.get(), buffer.get(), got, &put, nullptr) || put != got)
                ThrowLastError(("Writing " + path).c_str());
        }
        // On the disk before it can take the target's place: after a power
        // cut the target is the old file or the whole new one.
        if (!FlushFileBuffers(staged.file_.get())) ThrowLastError(("Flushing " + path).c_str());
        const FileDigests digests = DigestsOfOpenFile(staged.file_, sha256);
        if (digests.md5.empty() || (sha256 && digests.sha256.empty()))
            ThrowLastError(("Reading back " + path).c_str());
        staged.md5_ = digests.md5;
        staged.sha256_ = digests.sha256;
    } catch (...) {
        staged.Discard();
        throw;
    }
    return staged;
}

StagedFile StagedFile::Open(const std::string& path, bool sha256)
{
    StagedFile staged;
    staged.file_.reset(CreateFileA(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!staged.file_) return {};
    staged.path_ = path;
    const FileDigests digests = DigestsOfOpenFile(staged.file_, sha256);
    if (digests.md5.empty() || (sha256 && digests.sha256.empty())) return {};
    staged.md5_ = digests.md5;
    staged.sha256_ = digests.sha256;
    return staged;
}

bool StagedFile::MoveTo(const std::string& path, bool replace)
{
    // The handle denies deletion to everyone else, MoveFileEx included: the
    // rename goes through it. FILE_RENAME_INFO takes a UTF-16 name.
    const int wide = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (wide <= 0) return false;
    const std::size_t nameBytes = static_cast<std::size_t>(wide - 1) * sizeof(wchar_t);
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, info->FileName, wide);
    if (!SetFileInformationByHandle(file_.get(), FileRenameInfo, info, static_cast<DWORD>(buffer.size())))
        return false;
    path_ = path;
    return true;
}

bool StagedFile::HoldsOneOf(const std::vector<std::string>& needles) const
{
    std::size_t longest = 0;
    for (const std::string& needle : needles) longest = std::max(longest, needle.size());
    if (longest == 0) return false;
    // Read a block at a time, each block after the last bytes of the one
    // before, so that a needle across two blocks is found too.
    std::string window;
    bool found = false;
    FeedFrom(file_.get(), [&](const std::uint8_t* data, DWORD size) {
        if (found) return;
        window.append(reinterpret_cast<const char*>(data), size);
        for (const std::string& needle : needles)
            if (!needle.empty() && window.find(needle) != std::string::npos) found = true;
        if (window.size() > longest) window.erase(0, window.size() - (longest - 1));
    });
    return found;
}

void StagedFile::Discard() noexcept
{
    if (!file_) return;
    // Marked for deletion through the handle, which is the only one allowed
    // to: the file goes when the handle closes.
    FILE_DISPOSITION_INFO dispose{TRUE};
    if (!SetFileInformationByHandle(file_.get(), FileDispositionInfo, &dispose, sizeof dispose)) {
        file_.reset();
        DeleteFileA(path_.c_str());
    }
    file_.reset();
}

}  // namespace tallowfin
