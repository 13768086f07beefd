#include "publish/url_text.h"

#include "common/path_rules.h"
#include "download/url_rules.h"

namespace tallowfin::publish {

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && AsciiLower(text.substr(0, prefix.size())) == AsciiLower(prefix);
}

std::string RelativeAddressProblem(std::string_view address)
{
    if (IsAbsoluteUrl(address)) return {};
    if (address.starts_with("//"))
        return "is a reference to another host, which the updater glues to its base address as a path";
    // A relative path names no scheme before its first "/", "?" or "#".
    if (!SchemeOf(address).empty() || address.find("://") != std::string_view::npos)
        return "is neither http:// nor https://; the updater takes it as relative to its base address";
    return {};
}

std::string DownloadAddressProblem(std::string_view address)
{
    if (std::string problem = RelativeAddressProblem(address); !problem.empty()) return problem;
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || byte <= 0x20)
            return "holds a blank, control or non-ASCII character; the updater sends it in code page 949, so "
                   "percent-encode the UTF-8 bytes";
    }
    return {};
}

std::string PercentEncodePath(std::string_view utf8)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        if (IsUnreserved(c) || c == '/') {
            out.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        }
    }
    return out;
}

std::string PercentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace tallowfin::publish
