// Where the updater keeps what it remembers between runs (the digest cache and
// the last file list fetched): a folder per user, outside the product's
// folders, which may not be writable, and one per installation and update
// server, so that two installations never share or overwrite each other's.
#pragma once

#include <string>
#include <string_view>

namespace tallowfin {

// The folder's path below the user's local application data folder:
// "Kestal\Tallowfin\Update\" and 16 hexadecimal digits drawn from the
// program directory (letter case aside, as Windows compares paths) and the
// update server's base address.
std::string CacheFolderName(std::string_view programDirectory, std::string_view baseUrl);

// The names of the two files in it, and of the folder of the parts of
// transfers that ended early (download/kept_part.h).
inline constexpr char kDigestCacheFile[] = "digests.bin";
inline constexpr char kKeptListFile[] = "filelist.kept";
inline constexpr char kKeptPartsFolder[] = "parts";

}  // namespace tallowfin
