// Reading a list through libxml2 on arbitrary bytes: it either refuses with
// ListDocumentError or returns a tree that keeps within the updater's depth,
// holds no text of white space alone, reads the same again when written back
// out, and reads the same from UTF-16. The quick scan for crowded start tags
// never points past the input. A list
// that declares a document type, which the updater refuses, is refused.
#include "control/document_type.h"
#include "fuzz/fuzz_support.h"
#include "publish/list_xml.h"
#include "publish/utf8.h"
#include "common/limits.h"
#include "publish/list_document.h"

#include <optional>
#include <string>
#include <string_view>

using namespace tallowfin::publish;
using tallowfin::fuzz::Shown;

namespace {

struct Shape {
    std::size_t depth = 0;  // of elements, the document element being 1
    std::size_t nodes = 0;
};

Shape ShapeOf(const XmlNode& node)
{
    Shape shape{node.kind == XmlNodeKind::Element ? std::size_t{1} : 0, 1};
    for (const auto& child : node.children) {
        const Shape inner = ShapeOf(child);
        shape.nodes += inner.nodes;
        if (node.kind == XmlNodeKind::Element && inner.depth + 1 > shape.depth) shape.depth = inner.depth + 1;
    }
    return shape;
}

bool SameTree(const XmlNode& a, const XmlNode& b)
{
    if (a.kind != b.kind || a.name != b.name || a.value != b.value || a.children.size() != b.children.size())
        return false;
    for (std::size_t i = 0; i < a.children.size(); ++i)
        if (!SameTree(a.children[i], b.children[i])) return false;
    return true;
}

// What the reader keeps is what a well-formed document can hold.
void CheckContent(const XmlNode& node)
{
    FUZZ_CHECK(IsValidUtf8(node.name) && IsValidUtf8(node.value));
    switch (node.kind) {
    case XmlNodeKind::Element:
        FUZZ_CHECK(!node.name.empty() && node.value.empty());
        break;
    case XmlNodeKind::Text:
        // White space alone is dropped, as the updater's parser drops it.
        FUZZ_CHECK(node.value.find_first_not_of(" \t\r\n") != std::string::npos);
        break;
    case XmlNodeKind::Comment: FUZZ_CHECK(node.value.find("--") == std::string::npos); break;
    case XmlNodeKind::CData: FUZZ_CHECK(node.value.find("]]>") == std::string::npos); break;
    case XmlNodeKind::ProcessingInstruction: FUZZ_CHECK(node.value.find("?>") == std::string::npos); break;
    }
    if (node.kind != XmlNodeKind::Element) FUZZ_CHECK(node.children.empty());
    for (const auto& child : node.children) CheckContent(child);
}

// Every character that a reader would change or take for markup written as
// a reference, so that reading it back yields the same values.
std::string Escaped(std::string_view text, bool attribute)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\t': out += attribute ? "&#9;" : "\t"; break;
        case '\n': out += attribute ? "&#10;" : "\n"; break;
        case '\r': out += "&#13;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        default: out += EscapeXmlText(std::string_view(&c, 1));
        }
    }
    return out;
}

void Write(const XmlNode& node, std::string& out)
{
    switch (node.kind) {
    case XmlNodeKind::Text: out += Escaped(node.value, false); return;
    case XmlNodeKind::CData: out += "<![CDATA[" + node.value + "]]>"; return;
    case XmlNodeKind::Comment: out += "<!--" + node.value + "-->"; return;
    case XmlNodeKind::ProcessingInstruction:
        out += "<?" + node.name + (node.value.empty() ? "" : " " + node.value) + "?>";
        return;
    case XmlNodeKind::Element: break;
    }
    out += "<" + node.name;
    if (node.children.empty()) {
        out += "/>";
        return;
    }
    out += ">";
    for (const auto& child : node.children) Write(child, out);
    out += "</" + node.name + ">";
}

std::optional<XmlNode> Parse(std::string_view bytes)
{
    try {
        return ReadListBytes(bytes);
    } catch (const ListDocumentError& error) {
        // A line past the end of the input would point the user nowhere.
        FUZZ_CHECK(error.Line() <= bytes.size() + 1);
        return std::nullopt;
    }
}

// The same text in UTF-16 with a byte-order mark.
std::string Utf16Of(std::string_view utf8, bool bigEndian)
{
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    auto unit = [&](char16_t u) {
        const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
        out.push_back(bigEndian ? high : low);
        out.push_back(bigEndian ? low : high);
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += length;
        if (c >= 0x10000) {
            unit(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            unit(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            unit(static_cast<char16_t>(c));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    std::size_t lastLine = 1;
    for (const char c : input) lastLine += c == '\n';
    FUZZ_CHECK(LineOfCrowdedTag(input) <= lastLine);

    const auto root = Parse(input);
    // A list the updater refuses for its document type is no list to the
    // publishing tool either.
    if (tallowfin::DeclaresDocumentType(input)) FUZZ_CHECK_SAID(!root, Shown(input.substr(0, 200)));
    if (!root) return 0;
    const auto again = Parse(input);
    FUZZ_CHECK(again && SameTree(*root, *again));
    FUZZ_CHECK(root->kind == XmlNodeKind::Element);
    CheckContent(*root);
    FUZZ_CHECK(ShapeOf(*root).depth <= static_cast<std::size_t>(tallowfin::limits::kDeepestNesting));

    // Written back out, the tree reads the same.
    std::string written;
    Write(*root, written);
    const auto reread = Parse(written);
    FUZZ_CHECK_SAID(reread.has_value(), Shown(written));
    FUZZ_CHECK_SAID(SameTree(*root, *reread), Shown(written));

    // UTF-8 without a byte-order mark or declaration says the same in UTF-16.
    const bool plainUtf8 = !input.starts_with("\xEF\xBB\xBF") && !input.starts_with("\xFF\xFE") &&
                           !input.starts_with("\xFE\xFF") && IsValidUtf8(input);
    if (plainUtf8 && !input.starts_with("<?xml")) {
        for (const bool bigEndian : {false, true}) {
            const auto wide = Parse(Utf16Of(input, bigEndian));
            FUZZ_CHECK(wide.has_value());
            FUZZ_CHECK(SameTree(*root, *wide));
        }
    }
    return 0;
}
