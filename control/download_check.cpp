#include "control/download_check.h"

#include <optional>
#include <vector>

#include "common/file_system.h"
#include "common/md5.h"
#include "digestcache/file_digest.h"
#include "digestcache/hashing_pool.h"

namespace tallowfin {

namespace {

// One row per digest a list gives: the listed text, how the same digest is
// taken of a file, and its length in bytes. A digest is compared as the number
// it is: hexadecimal digits in either case match.
struct DigestCheck {
    std::string TListedDigests::*listed;
    std::string (*ofFile)(const std::string& path);
    std::size_t bytes;
    // Taken only where the list gives it: a digest only some lists carry.
    bool onlyWhereListed;
};

constexpr DigestCheck kDigestChecks[] = {
    // Always taken, listed or not: the digest cache remembers the installed
    // copy by what was read of it, never by what the list claims.
    {&TListedDigests::Md5, [](const std::string& path) { return FileDigestText(path); }, 16, false},
    // A signed list gives it for every entry (its reader refuses the list
    // otherwise); the list's signature covers it, where an MD5 could be
    // matched by a file made for the purpose.
    {&TListedDigests::Sha256, &FileSha256Text, 32, true},
};

bool HasListedDigests(TUpdateRec& record)
{
    std::vector<const DigestCheck*> checks;
    for (const DigestCheck& check : kDigestChecks)
        if (!check.onlyWhereListed || !(record.Listed.*check.listed).empty()) checks.push_back(&check);

    // The digests are taken at once, each on a thread of its own. The
    // system's SHA-256 runs at a fraction of MD5's speed (under Wine 8, 260
    // MB/s against 650); one after the other, the two would hold a large
    // download a second longer before it is installed. Each reads the file,
    // the second from the system's cache. A file that cannot be read gives
    // no digest: it cannot be shown to be the listed one.
    std::vector<std::optional<std::string>> digests(checks.size());
    RunTasks(checks.size(), static_cast<unsigned>(checks.size()),
             [&](std::size_t i) { digests[i] = checks[i]->ofFile(record.TempFile); });
    bool asListed = true;
    for (std::size_t i = 0; i < checks.size(); ++i) {
        if (!digests[i]) return false;
        if (checks[i]->listed == &TListedDigests::Md5) record.FetchedMd5 = *digests[i];
        // A listed text that is no digest at all (wrong length, not
        // hexadecimal) checks nothing: the entry is installed as it was before
        // downloads were checked, rather than holding back the whole release.
        // A signed list never gets here with a malformed SHA-256.
        if (const auto listed = ReadDigestText(record.Listed.*(checks[i]->listed), checks[i]->bytes))
            asListed = asListed && *listed == *digests[i];
    }
    return asListed;
}

}  // namespace

const TUpdateRec* FirstDownloadNotAsListed(const std::vector<TUpdateRec*>& records)
{
    for (TUpdateRec* record : records)
        if (FileExists(record->TempFile) && !HasListedDigests(*record)) return record;
    return nullptr;
}

}  // namespace tallowfin
