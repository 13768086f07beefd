#include "download/kept_part.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/file_system.h"
#include "common/kept_file.h"
#include "download/temp_files.h"

namespace tallowfin {

namespace {

// The info file is a few dozen bytes; anything much larger is not one.
constexpr std::size_t kLargestInfoFile = 4096;

bool CutAt(HANDLE file, std::uint64_t length)
{
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

}  // namespace

std::optional<KeptPart> KeptPart::Hold(const std::string& folder, const std::string& name, bool create)
{
    if (folder.empty() || (create && !CreateFolderPath(folder))) return std::nullopt;
    // Not shared, not even for reading: another run that reaches the same
    // file meanwhile fetches a copy of its own, and nobody deletes the part
    // while it is written.
    FileHandle file(CreateFileA((folder + "\\" + name + ".part").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    KeptPart part(folder, name, std::move(file));

    LARGE_INTEGER size{};
    if (!GetFileSizeEx(part.file_.get(), &size)) size.QuadPart = -1;
    std::optional<KeptPartInfo> info;
    if (auto bytes = ReadWholeFile(part.InfoPath(), kLargestInfoFile)) info = ReadKeptPartInfo(*bytes);
    const auto held = static_cast<std::uint64_t>(std::max<LONGLONG>(size.QuadPart, 0));
    if (size.QuadPart > 0 && info && held <= info->total) {
        part.length_ = std::min(held, info->total - 1);
        if (part.length_ > 0) part.info_ = std::move(info);
    } else if (size.QuadPart != 0 || info) {
        // Bytes nobody can say the version of, or more bytes than the file
        // has: of no use to any transfer.
        part.Drop();
    }
    return part;
}

KeptPart::~KeptPart()
{
    if (!file_) return;
    LARGE_INTEGER size{};
    const bool empty = GetFileSizeEx(file_.get(), &size) && size.QuadPart == 0;
    file_.reset();
    if (empty) {
        DeleteFileA(PartPath().c_str());
        DeleteKeptFile(InfoPath());
    }
}

bool KeptPart::Begin(std::uint64_t from, const KeptPartInfo& info)
{
    // The bytes go first, then the info that vouches for them: a run killed
    // in between leaves an empty part, never old bytes under a new version.
    if (!CutAt(file_.get(), from)) return false;
    length_ = from;
    if (info_ != info) {
        info_.reset();
        // Without its info the part cannot be resumed, but the transfer
        // goes on: the file still arrives whole or not at all.
        if (ReplaceKeptFile(InfoPath(), KeptPartInfoBytes(info))) info_ = info;
        else DeleteKeptFile(InfoPath());
    }
    return true;
}

std::string KeptPart::Finish()
{
    const std::string name = NewWorkerTemporaryFile(folder_);
    if (name.empty()) return {};
    file_.reset();
    if (!MoveFileExA(PartPath().c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileA(name.c_str());
        SetLastError(error);
        return {};
    }
    DeleteKeptFile(InfoPath());
    info_.reset();
    length_ = 0;
    return name;
}

void KeptPart::Drop() noexcept
{
    if (file_) CutAt(file_.get(), 0);
    DeleteKeptFile(InfoPath());
    info_.reset();
    length_ = 0;
}

void KeptPart::Discard() noexcept
{
    file_.reset();
    DeleteFileA(PartPath().c_str());
    DeleteKeptFile(InfoPath());
    info_.reset();
    length_ = 0;
}

int KeepPartsOnly(const std::string& folder, const std::map<std::string, std::uint64_t>& wanted)
{
    struct Found {
        std::string name;
        std::uint64_t size;
    };
    std::vector<Found> files;
    WIN32_FIND_DATAA found;
    {
        FindHandle search(FindFirstFileA((folder + "\\*").c_str(), &found));
        if (!search) return 0;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                files.push_back({found.cFileName, (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow});
        } while (FindNextFileA(search.get(), &found));
    }
    int removed = 0;
    for (const Found& file : files) {
        const std::string path = folder + "\\" + file.name;
        if (IsPartFileName(file.name, ".part")) {
            const std::string name = file.name.substr(0, file.name.size() - 5);
            const auto it = wanted.find(name);
            if ((it == wanted.end() || file.size > it->second) && DeleteFileA(path.c_str())) {
                DeleteKeptFile(folder + "\\" + name + ".info");
                ++removed;
            }
        } else if (IsPartFileName(file.name, ".info")) {
            // An info whose part is gone (deleted by hand, or a run killed
            // between the two deletions) vouches for nothing.
            const std::string name = file.name.substr(0, file.name.size() - 5);
            if (!FileExists(folder + "\\" + name + ".part")) DeleteFileA(path.c_str());
        } else if (const auto dot = file.name.find(".info."); dot != std::string::npos &&
                                                              IsPartFileName(file.name.substr(0, dot + 5), ".info") &&
                                                              file.name.size() > 4 &&
                                                              file.name.compare(file.name.size() - 4, 4, ".new") == 0) {
            // A new info a killed run was writing (common/kept_file.h); one
            // being written now is open without sharing and stays.
            DeleteFileA(path.c_str());
        }
    }
    return removed;
}

}  // namespace tallowfin
