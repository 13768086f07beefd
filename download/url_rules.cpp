#include "download/url_rules.h"

#include "common/path_rules.h"

namespace tallowfin {

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool IsAbsoluteUrl(std::string_view url)
{
    const std::string scheme = SchemeOf(url);
    return (scheme == "http" || scheme == "https") && url.substr(scheme.size() + 1, 2) == "//";
}

std::string SchemeOf(std::string_view url)
{
    if (url.empty() || !IsAsciiLetter(url[0])) return {};
    for (std::size_t i = 1; i < url.size(); ++i) {
        const char c = url[i];
        if (c == ':') return AsciiLower(url.substr(0, i));
        if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') return {};
    }
    return {};
}

std::string ResolveUrl(const std::string& baseUrl, const std::string& url)
{
    return IsAbsoluteUrl(url) ? url : baseUrl + url;
}

bool IsDowngrade(std::string_view from, std::string_view to)
{
    const std::string target = SchemeOf(to);
    return SchemeOf(from) == "https" && !target.empty() && target != "https";
}

}  // namespace tallowfin
