#include "control/download_check.h"

#include <exception>
#include <functional>
#include <future>
#include <utility>
#include <vector>

#include "common/file_system.h"
#include "control/file_digest.h"

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
    // The digests are taken at once: the first on this thread, each other one
    // on a thread of its own. The system's SHA-256 runs at a fraction of
    // MD5's speed (under Wine 8, 260 MB/s against 650); one after the other,
    // the two would hold a large download a second longer before it is
    // installed. Each reads the file, the second from the system's cache.
    try {
        std::vector<std::pair<const std::string*, std::future<std::string>>> digests;
        for (const DigestCheck& check : kDigestChecks) {
            const std::string& listed = record.Listed.*check.listed;
            if (check.onlyWhereListed && listed.empty()) continue;
            const auto policy = digests.empty() ? std::launch::deferred : std::launch::async;
            digests.emplace_back(&listed, std::async(policy, check.ofFile, std::cref(record.TempFile)));
        }
        bool same = true;
        // Every digest is waited for, whatever an earlier one said.
        for (auto& [listed, digest] : digests) {
            try {
                same = digest.get() == *listed && same;
            } catch (const std::exception&) {
                same = false;  // a file that cannot be read cannot be shown to be the listed one
            }
        }
        return same;
    } catch (const std::exception&) {
        return false;  // no thread to take a digest on
    }
}

}  // namespace

const TUpdateRec* FirstDownloadNotAsListed(const std::vector<TUpdateRec*>& records)
{
    for (const TUpdateRec* record : records)
        if (FileExists(record->TempFile) && !HasListedDigests(*record)) return record;
    return nullptr;
}

}  // namespace tallowfin
