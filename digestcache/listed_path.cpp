#include "digestcache/listed_path.h"

#include <string_view>
#include <vector>

namespace tallowfin {

namespace {

constexpr std::size_t kLongestAnsiPath = 259;  // MAX_PATH with its terminating zero

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The offsets of the separators from `start` on, stepping over double-byte
// characters; nothing when a byte Windows refuses in names is met.
std::optional<std::vector<std::size_t>> Separators(std::string_view path, std::size_t start,
                                                   const std::function<bool(unsigned char)>& isLeadByte)
{
    std::vector<std::size_t> found;
    for (std::size_t i = start; i < path.size(); ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (byte >= 0x80 && isLeadByte(byte)) {
            if (i + 1 == path.size()) return std::nullopt;  // a character cut in half
            ++i;
            continue;
        }
        if (byte < 0x20 || std::string_view("<>:\"/|?*").find(static_cast<char>(byte)) != std::string_view::npos)
            return std::nullopt;
        if (byte == '\\') found.push_back(i);
    }
    return found;
}

bool IsPlainName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.back() != '.' && name.back() != ' ';
}

// Where the names begin: after "X:\" or after "\\server\share\".
std::optional<std::size_t> RootLength(std::string_view path)
{
    if (path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == ':' && path[2] == '\\') return 3;
    if (path.substr(0, 2) != "\\\\") return std::nullopt;
    const std::size_t server = path.find('\\', 2);
    if (server == std::string_view::npos || server == 2) return std::nullopt;
    // "\\?\" and "\\.\" name devices and raw paths, not shares.
    const std::string_view name = path.substr(2, server - 2);
    if (name == "?" || name == ".") return std::nullopt;
    const std::size_t share = path.find('\\', server + 1);
    if (share == std::string_view::npos || share == server + 1) return std::nullopt;
    return share + 1;
}

}  // namespace

std::optional<ListedPath> SplitListedPath(std::string_view path, const std::function<bool(unsigned char)>& isLeadByte)
{
    if (path.size() > kLongestAnsiPath) return std::nullopt;
    const auto root = RootLength(path);
    if (!root) return std::nullopt;
    auto separators = Separators(path, *root, isLeadByte);
    if (!separators) return std::nullopt;

    std::size_t begin = *root;
    separators->push_back(path.size());
    for (std::size_t end : *separators) {
        if (!IsPlainName(path.substr(begin, end - begin))) return std::nullopt;
        begin = end + 1;
    }
    const std::size_t last = separators->size() >= 2 ? (*separators)[separators->size() - 2] : *root - 1;
    ListedPath split;
    split.folder = std::string(path.substr(0, last + 1 == *root ? *root : last));
    split.leaf = std::string(path.substr(last + 1));
    return split;
}

}  // namespace tallowfin
