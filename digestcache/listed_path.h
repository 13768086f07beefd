// Which paths the cache may answer for. The cache learns what the file system
// says of a file from the listing of its folder, so it answers only for paths
// that name a file as plainly as the listing does; for any other path the
// file is opened and read as it always was. Pure functions, tested natively.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tallowfin {

struct ListedPath {
    std::string folder;  // without a final backslash, except a drive's root ("C:\")
    std::string leaf;    // the file's name within it
    bool operator==(const ListedPath&) const = default;
};

// The folder and name of `path` when it is absolute (a drive, "C:\...", or a
// share, "\\server\share\..."), shorter than the 260 characters the ANSI
// file functions take, separated by backslashes only, and made of names
// Windows keeps as written: none empty, none "." or "..", none ending in a
// dot or a blank, none holding a control character or any of < > : " / | ? *.
// Nothing otherwise. `isLeadByte` tells the first byte of a double-byte
// character of the ANSI code page, whose second byte is never a separator.
std::optional<ListedPath> SplitListedPath(std::string_view path, const std::function<bool(unsigned char)>& isLeadByte);

}  // namespace tallowfin
