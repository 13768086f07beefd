#include "digestcache/local_digests.h"

#include <windows.h>

#include <numeric>
#include <optional>
#include <set>
#include <thread>  // hardware_concurrency

#include "common/file_system.h"
#include "common/kept_file.h"
#include "common/lead_bytes.h"
#include "digestcache/file_digest.h"
#include "digestcache/folder_listing.h"
#include "digestcache/hashing_pool.h"
#include "digestcache/seek_penalty.h"

namespace tallowfin {

namespace {

// What the listings say of each path the cache may answer for; folders not
// listed yet are listed now.
std::vector<std::optional<FileIdentity>> IdentitiesOf(const std::vector<std::string>& paths,
                                                      FolderListings&& listings = FolderListings())
{
    std::vector<std::optional<FileIdentity>> identities(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (const auto split = SplitListedPath(paths[i], IsLeadByteOfAnsiCodePage))
            identities[i] = listings.Identity(*split);
    return identities;
}

std::vector<std::size_t> AllOf(std::size_t count)
{
    std::vector<std::size_t> all(count);
    std::iota(all.begin(), all.end(), std::size_t{0});
    return all;
}

}  // namespace

// What the cache does is never worth failing a run for: where it cannot do
// its part, every file is read, as without it.
LocalDigests::LocalDigests(std::string cacheFile, unsigned threads) : file_(std::move(cacheFile)), threads_(threads)
{
    if (file_.empty()) return;
    try {
        // A file too large or unreadable counts as damaged: ignored and rewritten.
        cache_ = DigestCache::FromBytes(ReadWholeFile(file_, DigestCache::kLargestFile).value_or(std::string(1, '\0')));
        // The folders a run looks at are almost always those of the run
        // before: they are listed while the caller parses the list (measured
        // under Wine for 10,000 files: 0.1 s of listing beside 0.3 s of parse).
        readAt_ = FileTimeNow();
        std::vector<std::string> remembered = cache_.Paths();
        listing_ = std::make_unique<SystemThread>([this, paths = std::move(remembered)] {
            try {
                for (const std::string& path : paths)
                    if (const auto split = SplitListedPath(path, IsLeadByteOfAnsiCodePage)) listings_.Identity(*split);
            } catch (...) {
                listings_ = FolderListings();
            }
        });
    } catch (...) {
        cache_ = DigestCache();
    }
}

LocalDigests::~LocalDigests()
{
    listing_.reset();  // the listings it writes go after it
}

std::vector<LocalDigests::Digest> LocalDigests::Of(const std::vector<std::string>& paths)
{
    std::vector<Digest> digests(paths.size());
    if (file_.empty()) {
        Hash(paths, AllOf(paths.size()), digests);
        return digests;
    }

    // The moment before the identities are read: the test of whether a
    // file had settled by then.
    std::uint64_t readAt = FileTimeNow();
    FolderListings listings;
    if (listing_) {
        listing_.reset();  // waits for the listings
        readAt = readAt_;
        listings = std::move(listings_);
    }
    std::vector<std::optional<FileIdentity>> identities(paths.size());
    std::vector<std::size_t> unknown;
    try {
        identities = IdentitiesOf(paths, std::move(listings));
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const auto known = identities[i] ? cache_.Lookup(paths[i], *identities[i]) : std::nullopt;
            if (known) digests[i].text = *known;
            else unknown.push_back(i);
        }
    } catch (...) {
        identities.assign(paths.size(), std::nullopt);
        unknown = AllOf(paths.size());
    }
    Hash(paths, unknown, digests);
    // Each identity was read before its file was: a file that changed in
    // between shows another identity next time, so it is read again then.
    try {
        for (std::size_t i : unknown) {
            if (!digests[i].error && identities[i] && IsSettled(*identities[i], readAt))
                cache_.Remember(paths[i], *identities[i], digests[i].text);
            else
                cache_.Forget(paths[i]);
        }
    } catch (...) {
        cache_ = DigestCache();
    }
    return digests;
}

void LocalDigests::Hash(const std::vector<std::string>& paths, std::vector<std::size_t> unknown,
                        std::vector<Digest>& digests)
{
    std::vector<std::string> files;
    for (std::size_t i : unknown) files.push_back(paths[i]);
    unsigned threads = threads_;
    if (threads == 0) {
        const unsigned processors = std::thread::hardware_concurrency();
        // The disks are asked only when more than one thread could help.
        const SeekPenalty penalty = files.size() > 1 ? SeekPenaltyOf(files) : SeekPenalty::kSome;
        threads = HashingThreads(processors, files.size(), penalty);
    }
    const auto errors = RunTasks(files.size(), threads, [&](std::size_t k) {
        digests[unknown[k]].text = FileDigestText(files[k]);
    });
    for (std::size_t k = 0; k < errors.size(); ++k) digests[unknown[k]].error = errors[k];
}

void LocalDigests::KeepOnly(const std::vector<std::string>& listed)
{
    if (file_.empty()) return;
    try {
        cache_.KeepOnly(std::set<std::string>(listed.begin(), listed.end()));
        Save();
    } catch (...) {
        // The cache stays as the file holds it.
    }
}

void LocalDigests::Refresh(const std::vector<TUpdateRec*>& records) noexcept
{
    if (file_.empty() || records.empty()) return;
    try {
        RememberInstalled(records);
        Save();
    } catch (...) {
        // The next run reads what could not be remembered.
    }
}

void LocalDigests::RememberInstalled(const std::vector<TUpdateRec*>& records)
{
    // A file put in place holds the digest the check read of its download
    // before anything was installed (the listed text may be written in
    // capitals, or be no digest at all), and the file was replaced in one
    // step. It is not read again. A record not put in place
    // (a failed replacement, the updater's own executable, which the helper
    // replaces later) is forgotten, so the next run reads what is there.
    std::vector<std::string> paths;
    for (const TUpdateRec* record : records) paths.push_back(record->LocalPath);
    const auto identities = IdentitiesOf(paths);
    // Unlike the files found installed, these have just been written, by
    // this program: their times are seconds old by necessity, and another
    // writer within the same clock tick would be racing the copy itself.
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const TUpdateRec& record = *records[i];
        if (record.Installed && !record.FetchedMd5.empty() && identities[i])
            cache_.Remember(paths[i], *identities[i], record.FetchedMd5);
        else
            cache_.Forget(paths[i]);
    }
}

void LocalDigests::Save()
{
    // A cache that cannot be written leaves the run as it is; the next run
    // reads the files it could not remember.
    if (cache_.Changed() && ReplaceKeptFile(file_, cache_.ToBytes())) cache_.ClearChanged();
}

}  // namespace tallowfin
