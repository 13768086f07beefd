// The digest cache: for each installed file whose MD5 the updater has taken,
// the file's identity and state at that moment, so that a later run can take
// the digest of a file whose identity and state all still match without
// reading it. Plain values only; the Windows side (reading identities from
// the file system, the per-user file) lies in folder_listing.* and
// local_digests.*.
//
// Its one limit: a file changed by a program that then puts back its old size,
// last-write time and change time is not noticed until one of them changes.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin {

// What the file system says of a file, compared as a whole: any difference
// means the file may hold other bytes.
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint64_t lastWriteTime = 0;  // 100 ns units since 1601, as FILETIME
    std::uint64_t changeTime = 0;     // the same units; changes with content and metadata alike
    std::uint32_t volumeSerial = 0;
    std::uint64_t fileIndex = 0;      // the file's number on its volume: another file has another
    bool operator==(const FileIdentity&) const = default;
};

// Whether an identity read at `readAt` (same units) is safe to remember. A
// file changed in the same clock tick as it is read could change again
// within that tick without a new time, so files changed during the two
// seconds before they were read (file systems keep times as coarsely as two
// seconds) are read again on the next run instead. Times in the future are
// never settled.
bool IsSettled(const FileIdentity& identity, std::uint64_t readAt);

class DigestCache {
public:
    static constexpr std::uint32_t kFormatVersion = 1;
    // Bounds for reading: a product of 200,000 files would make a list far
    // beyond what the reader accepts; a file larger than this is not ours.
    static constexpr std::size_t kLargestEntryCount = 200'000;
    static constexpr std::size_t kLargestFile = 32 * 1024 * 1024;

    // The cache a file holds; an empty one when the bytes are not exactly a
    // cache of this format (missing, cut short, foreign, of another version,
    // altered), so that a damaged file only costs one run that reads every file.
    static DigestCache FromBytes(std::string_view bytes);
    // The file's bytes: entries sorted by path, each path sharing its start
    // with the one before, then the digest of it all.
    std::string ToBytes() const;

    // The remembered digest text of the file at `path` when what the file
    // system now says of it is exactly what it said then.
    std::optional<std::string> Lookup(const std::string& path, const FileIdentity& identity) const;
    // Remembers a digest text (32 lower-case hexadecimal digits; anything
    // else is not remembered, and forgets what was).
    void Remember(const std::string& path, const FileIdentity& identity, std::string_view digestText);
    void Forget(const std::string& path);
    // Drops every entry whose path is not among these: files no list names
    // any more leave the cache.
    void KeepOnly(const std::set<std::string>& paths);

    std::size_t Size() const { return entries_.size(); }
    std::vector<std::string> Paths() const;
    // Whether anything was remembered, changed or dropped since it was read
    // or last written.
    bool Changed() const { return changed_; }
    void ClearChanged() { changed_ = false; }

private:
    struct Entry {
        FileIdentity identity;
        std::array<std::uint8_t, 16> digest;
        bool operator==(const Entry&) const = default;
    };
    std::map<std::string, Entry> entries_;
    bool changed_ = false;
};

}  // namespace tallowfin
