#include "control/download_check.h"

#include <optional>
#include <vector>

#include "common/file_system.h"
#include "control/file_digest.h"
#include "control/hashing_pool.h"

namespace tallowfin {

namespace {

// One row per digest a list gives: the listed text, and how the same digest is
// taken of a file. The texts are compared as the list's are with installed
// files, byte for byte, so an empty or upper-case listed text never matches,
// except that a digest only some lists give is not looked for where the list
// gave none.
struct DigestCheck {
    std::string TListedDigests::*listed;
    std::string (*ofFile)(const std::string& path);
    bool onlyWhereListed;
};

constexpr DigestCheck kDigestChecks[] = {
    {&TListedDigests::Md5, [](const std::string& path) { return FileDigestText(path); }, false},
    // A signed list gives it for every entry (its reader refuses the list
    // otherwise); the list's signature covers it, where an MD5 could be
    // matched by a file made for the purpose.
    {&TListedDigests::Sha256, &FileSha256Text, true},
};

bool HasListedDigests(const TUpdateRec& record)
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
    for (std::size_t i = 0; i < checks.size(); ++i)
        if (digests[i] != record.Listed.*(checks[i]->listed)) return false;
    return true;
}

}  // namespace

const TUpdateRec* FirstDownloadNotAsListed(const std::vector<TUpdateRec*>& records)
{
    for (const TUpdateRec* record : records)
        if (FileExists(record->TempFile) && !HasListedDigests(*record)) return record;
    return nullptr;
}

}  // namespace tallowfin
