#include "digestcache/digest_cache.h"

#include <algorithm>
#include <iterator>

#include "common/md5.h"
#include "common/sealed_record.h"

namespace tallowfin {

namespace {

constexpr std::string_view kMark = "TFDC";
// Paths are Windows paths: never longer than 32,767 characters.
constexpr std::size_t kLongestPath = 32767;
constexpr std::uint64_t kTwoSeconds = 20'000'000;

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case is not a digest text the updater makes
}

std::optional<std::array<std::uint8_t, 16>> DigestBytes(std::string_view text)
{
    std::array<std::uint8_t, 16> bytes{};
    if (text.size() != 32) return std::nullopt;
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return bytes;
}

}  // namespace

bool IsSettled(const FileIdentity& identity, std::uint64_t readAt)
{
    const std::uint64_t latest = std::max(identity.lastWriteTime, identity.changeTime);
    return readAt >= kTwoSeconds && latest <= readAt - kTwoSeconds;
}

DigestCache DigestCache::FromBytes(std::string_view bytes)
{
    // Bytes that are not a cache are replaced by one at the end of the run.
    DigestCache unusable;
    unusable.changed_ = !bytes.empty();
    if (bytes.size() > kLargestFile) return unusable;
    auto reader = RecordReader::Open(bytes, kMark, kFormatVersion);
    if (!reader) return unusable;

    DigestCache cache;
    const std::uint64_t count = reader->Get(4);
    // Each entry takes at least 57 bytes: a count the file cannot hold is a lie.
    if (count > kLargestEntryCount || count > reader->Left() / 57) return unusable;
    std::string path;
    for (std::uint64_t i = 0; i < count && !reader->Failed(); ++i) {
        const std::uint64_t shared = reader->Get(2);
        const std::string_view rest = reader->GetBytes(static_cast<std::size_t>(reader->Get(2)));
        if (shared > path.size() || shared + rest.size() > kLongestPath) reader->Fail();
        if (reader->Failed()) break;
        std::string next = path.substr(0, static_cast<std::size_t>(shared));
        next.append(rest);
        // Strictly increasing: a file whose order is broken was not written here.
        if (next.empty() || (i > 0 && next <= path)) reader->Fail();
        path = std::move(next);

        Entry entry{};
        entry.identity.size = reader->Get(8);
        entry.identity.lastWriteTime = reader->Get(8);
        entry.identity.changeTime = reader->Get(8);
        entry.identity.volumeSerial = static_cast<std::uint32_t>(reader->Get(4));
        entry.identity.fileIndex = reader->Get(8);
        const std::string_view digest = reader->GetBytes(16);
        if (reader->Failed()) break;
        std::copy(digest.begin(), digest.end(), entry.digest.begin());
        cache.entries_.emplace_hint(cache.entries_.end(), path, entry);
    }
    return reader->Done() ? cache : unusable;
}

std::string DigestCache::ToBytes() const
{
    RecordWriter writer(kMark, kFormatVersion);
    writer.Put(entries_.size(), 4);
    const std::string* previous = nullptr;
    for (const auto& [path, entry] : entries_) {
        std::size_t shared = 0;
        if (previous) {
            const auto [a, b] = std::mismatch(previous->begin(), previous->end(), path.begin(), path.end());
            shared = static_cast<std::size_t>(std::distance(previous->begin(), a));
        }
        writer.Put(shared, 2);
        writer.Put(path.size() - shared, 2);
        writer.PutBytes(std::string_view(path).substr(shared));
        writer.Put(entry.identity.size, 8);
        writer.Put(entry.identity.lastWriteTime, 8);
        writer.Put(entry.identity.changeTime, 8);
        writer.Put(entry.identity.volumeSerial, 4);
        writer.Put(entry.identity.fileIndex, 8);
        writer.PutBytes(std::string_view(reinterpret_cast<const char*>(entry.digest.data()), entry.digest.size()));
        previous = &path;
    }
    return std::move(writer).Seal();
}

std::optional<std::string> DigestCache::Lookup(const std::string& path, const FileIdentity& identity) const
{
    const auto it = entries_.find(path);
    if (it == entries_.end() || !(it->second.identity == identity)) return std::nullopt;
    return DigestText(it->second.digest);
}

void DigestCache::Remember(const std::string& path, const FileIdentity& identity, std::string_view digestText)
{
    const auto digest = DigestBytes(digestText);
    // A path the file format cannot hold is simply not remembered.
    if (!digest || path.empty() || path.size() > kLongestPath) return Forget(path);
    const Entry entry{identity, *digest};
    auto [it, added] = entries_.try_emplace(path, entry);
    if (!added && it->second == entry) return;
    it->second = entry;
    changed_ = true;
}

std::vector<std::string> DigestCache::Paths() const
{
    std::vector<std::string> paths;
    paths.reserve(entries_.size());
    for (const auto& entry : entries_) paths.push_back(entry.first);
    return paths;
}

void DigestCache::Forget(const std::string& path)
{
    if (entries_.erase(path) != 0) changed_ = true;
}

void DigestCache::KeepOnly(const std::set<std::string>& paths)
{
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (paths.count(it->first) == 0) {
            it = entries_.erase(it);
            changed_ = true;
        } else {
            ++it;
        }
    }
}

}  // namespace tallowfin
