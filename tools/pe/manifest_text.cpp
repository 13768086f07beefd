#include "tools/pe/manifest_text.h"

#include <cctype>
#include <utility>

namespace tallowfin::pe {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '_' || c == '-' || c == '.' ||
           static_cast<unsigned char>(c) >= 0x80;
}

std::string_view LocalName(std::string_view name)
{
    const auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// Attributes of a start tag, from just after its name to its '>'. Returns
// the position after the tag, or npos when the document ends inside it.
std::size_t ReadAttributes(std::string_view xml, std::size_t at, std::map<std::string, std::string>& out)
{
    while (at < xml.size()) {
        while (at < xml.size() && IsSpace(xml[at])) ++at;
        if (at >= xml.size()) break;
        if (xml[at] == '>') return at + 1;
        if (xml[at] == '/') {
            ++at;
            continue;
        }
        const std::size_t nameStart = at;
        while (at < xml.size() && IsNameChar(xml[at])) ++at;
        if (at == nameStart) {  // a stray character; not ours to judge
            ++at;
            continue;
        }
        std::string name(xml.substr(nameStart, at - nameStart));
        while (at < xml.size() && IsSpace(xml[at])) ++at;
        if (at >= xml.size() || xml[at] != '=') continue;
        ++at;
        while (at < xml.size() && IsSpace(xml[at])) ++at;
        if (at >= xml.size() || (xml[at] != '"' && xml[at] != '\'')) continue;
        const char quote = xml[at++];
        const std::size_t close = xml.find(quote, at);
        if (close == std::string_view::npos) break;
        out.emplace(std::move(name), std::string(xml.substr(at, close - at)));
        at = close + 1;
    }
    return std::string_view::npos;
}

// Markup that is not an element may hold '<' and '>' of its own: returns the
// position after it, `at` itself for an element, npos when it never ends.
std::size_t SkipNonElement(std::string_view xml, std::size_t at)
{
    static constexpr std::pair<std::string_view, std::string_view> kKinds[] = {
        {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}};
    for (auto [open, close] : kKinds) {
        if (xml.substr(at).starts_with(open)) {
            const std::size_t end = xml.find(close, at + open.size());
            return end == std::string_view::npos ? end : end + close.size();
        }
    }
    return at;
}

}  // namespace

std::vector<XmlTag> TagsNamed(std::string_view xml, std::string_view localName)
{
    std::vector<XmlTag> tags;
    std::size_t at = 0;
    while ((at = xml.find('<', at)) != std::string_view::npos) {
        const std::size_t skipped = SkipNonElement(xml, at);
        if (skipped == std::string_view::npos) break;
        if (skipped != at) {
            at = skipped;
            continue;
        }
        std::size_t nameEnd = at + 1;
        while (nameEnd < xml.size() && IsNameChar(xml[nameEnd])) ++nameEnd;
        const std::string_view name = xml.substr(at + 1, nameEnd - at - 1);
        XmlTag tag{std::string(LocalName(name)), {}};
        const std::size_t after = ReadAttributes(xml, nameEnd, tag.attributes);
        if (!name.empty() && tag.localName == localName) tags.push_back(std::move(tag));
        if (after == std::string_view::npos) break;
        at = after;
    }
    return tags;
}

std::optional<std::string> RequestedExecutionLevel(std::string_view manifest)
{
    for (const XmlTag& tag : TagsNamed(manifest, "requestedExecutionLevel")) {
        if (auto level = tag.attributes.find("level"); level != tag.attributes.end()) return level->second;
    }
    return std::nullopt;
}

bool DependsOnCommonControls6(std::string_view manifest)
{
    for (const XmlTag& tag : TagsNamed(manifest, "assemblyIdentity")) {
        auto name = tag.attributes.find("name");
        auto version = tag.attributes.find("version");
        if (name != tag.attributes.end() && name->second == "Microsoft.Windows.Common-Controls" &&
            version != tag.attributes.end() && version->second.starts_with("6.")) {
            return true;
        }
    }
    return false;
}

}  // namespace tallowfin::pe
