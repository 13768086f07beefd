#include "digestcache/cache_location.h"

#include "common/md5.h"
#include "common/path_rules.h"

namespace tallowfin {

std::string CacheFolderName(std::string_view programDirectory, std::string_view baseUrl)
{
    // The address cannot hold a line break, so the two parts cannot run together.
    const std::string key = Md5Text(AsciiLower(programDirectory) + "\n" + std::string(baseUrl));
    return "Kestal\\Tallowfin\\Update\\" + key.substr(0, 16);
}

}  // namespace tallowfin
