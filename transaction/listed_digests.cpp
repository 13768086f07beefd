#include "transaction/listed_digests.h"

#include "common/md5.h"

namespace tallowfin {

bool IsAsListed(const std::string& listedMd5, const std::string& listedSha256, const std::string& md5Read,
                const std::string& sha256Read)
{
    if (const auto md5 = ReadDigestText(listedMd5, 16); md5 && *md5 != md5Read) return false;
    if (listedSha256.empty()) return true;
    const auto sha256 = ReadDigestText(listedSha256, 32);
    return sha256 && *sha256 == sha256Read;
}

}  // namespace tallowfin
