#include "control/download_check.h"

#include <exception>

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
    try {
        for (const DigestCheck& check : kDigestChecks) {
            const std::string& listed = record.Listed.*check.listed;
            if (check.onlyWhereListed && listed.empty()) continue;
            if (check.ofFile(record.TempFile) != listed) return false;
        }
        return true;
    } catch (const std::exception&) {
        return false;  // a file that cannot be read cannot be shown to be the listed one
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
