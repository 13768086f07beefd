#include "control/download_check.h"

#include <exception>

#include "common/file_system.h"
#include "control/file_digest.h"

namespace tallowfin {

namespace {

// One row per digest a list gives: the listed text, and how the same digest is
// taken of a file. The texts are compared as the list's are with installed
// files, byte for byte, so an empty or upper-case listed text never matches.
struct DigestCheck {
    std::string TListedDigests::*listed;
    std::string (*ofFile)(const std::string& path);
};

constexpr DigestCheck kDigestChecks[] = {
    {&TListedDigests::Md5, [](const std::string& path) { return FileDigestText(path); }},
};

bool HasListedDigests(const TUpdateRec& record)
{
    try {
        for (const DigestCheck& check : kDigestChecks)
            if (check.ofFile(record.TempFile) != record.Listed.*check.listed) return false;
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
