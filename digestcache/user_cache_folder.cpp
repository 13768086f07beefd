#include "digestcache/user_cache_folder.h"

#include <windows.h>
#include <shlobj.h>

#include "digestcache/cache_location.h"

namespace tallowfin {

std::string UserCacheFolder(const std::string& programDirectory, const std::string& baseUrl)
{
    // The local, not the roaming, folder: what is kept describes this
    // machine's files and must not follow the user to another one.
    char folder[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)) || !folder[0])
        return {};
    std::string path = folder;
    if (path.back() != '\\') path += '\\';
    return path + CacheFolderName(programDirectory, baseUrl);
}

}  // namespace tallowfin
