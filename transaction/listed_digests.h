// Whether a staged copy is what its list entry lists: the rule of the check
// made before anything of a release is installed. Pure functions on digest
// texts, tested natively.
#pragma once

#include <string>

namespace tallowfin {

// A digest is compared as the number it is: hexadecimal digits in either case
// match the digest text read of the copy. A listed MD5 that is no digest at
// all (not 32 hexadecimal digits) checks nothing: such an entry is installed
// as every entry was before downloads were checked, rather than holding back
// the whole release. A listed SHA-256 (only a signed list gives one, and its
// reader refuses a malformed one) must match.
bool IsAsListed(const std::string& listedMd5, const std::string& listedSha256, const std::string& md5Read,
                const std::string& sha256Read);

}  // namespace tallowfin
