#include "publish/list_document.h"

#include "common/limits.h"
#include "publish/utf8.h"

#include <fstream>
#include <sstream>

namespace tallowfin::publish {

namespace {

// The text as 16-bit units where it is UTF-16 (by its byte-order mark, or by
// "<?" in either order of bytes), else as bytes: every character the scan
// looks for is ASCII, and no byte of a multi-byte character in UTF-8 or the
// Korean code pages is one.
class Units {
public:
    explicit Units(std::string_view bytes) : bytes_(bytes)
    {
        auto starts = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
        if (starts("\xFF\xFE") || starts(std::string_view("<\0?\0", 4))) width_ = 2;
        if (starts("\xFE\xFF") || starts(std::string_view("\0<\0?", 4))) width_ = 2, bigEndian_ = true;
    }
    std::size_t Size() const { return bytes_.size() / width_; }
    char32_t operator[](std::size_t i) const
    {
        if (width_ == 1) return static_cast<unsigned char>(bytes_[i]);
        const auto first = static_cast<unsigned char>(bytes_[2 * i]);
        const auto second = static_cast<unsigned char>(bytes_[2 * i + 1]);
        return bigEndian_ ? (first << 8 | second) : (second << 8 | first);
    }
    bool At(std::size_t i, std::string_view ascii) const
    {
        if (i + ascii.size() > Size()) return false;
        for (std::size_t k = 0; k < ascii.size(); ++k)
            if ((*this)[i + k] != static_cast<unsigned char>(ascii[k])) return false;
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t width_ = 1;
    bool bigEndian_ = false;
};

}  // namespace

const char* XmlNodeKindName(XmlNodeKind kind)
{
    switch (kind) {
    case XmlNodeKind::Element: return "element";
    case XmlNodeKind::Text: return "text";
    case XmlNodeKind::CData: return "CDATA section";
    case XmlNodeKind::Comment: return "comment";
    case XmlNodeKind::ProcessingInstruction: return "processing instruction";
    }
    return "node";
}

const XmlNode* XmlNode::FirstChildElement(std::string_view elementName) const
{
    for (const auto& child : children)
        if (child.kind == XmlNodeKind::Element && child.name == elementName) return &child;
    return nullptr;
}

std::optional<std::string> XmlNode::Attribute(std::string_view attributeName) const
{
    for (const auto& [attribute, value] : attributes)
        if (attribute == attributeName) return value;
    return std::nullopt;
}

std::optional<std::string> UpdaterValue(const XmlNode& entry, std::string_view name)
{
    const XmlNode* element = entry.FirstChildElement(name);
    return element ? UpdaterValue(*element) : std::nullopt;
}

std::optional<std::string> UpdaterValue(const XmlNode& element)
{
    if (element.children.size() != 1) return std::nullopt;
    const XmlNode& only = element.children.front();
    if (only.kind == XmlNodeKind::CData) return only.value;
    if (only.kind != XmlNodeKind::Text) return std::nullopt;
    const auto first = only.value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return only.value.substr(first, only.value.find_last_not_of(" \t\r\n") - first + 1);
}

std::size_t LineOfCrowdedTag(std::string_view bytes, std::size_t most)
{
    const Units text(bytes);
    const std::size_t size = text.Size();
    std::size_t line = 1;
    // Moves past the next `end`, counting the lines on the way.
    auto skipPast = [&](std::size_t i, std::string_view end) {
        for (; i < size && !text.At(i, end); ++i) line += text[i] == '\n';
        return i + end.size();
    };
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] == '\n') ++line;
        if (text[i] != '<') continue;
        if (text.At(i, "<!--")) {
            i = skipPast(i + 4, "-->") - 1;
        } else if (text.At(i, "<![CDATA[")) {
            i = skipPast(i + 9, "]]>") - 1;
        } else if (text.At(i, "<?")) {
            i = skipPast(i + 2, "?>") - 1;
        } else if (text.At(i, "<!")) {
            return 0;
        } else {
            const std::size_t tagLine = line;
            std::size_t equals = 0;
            char32_t quote = 0;
            for (++i; i < size && (quote != 0 || (text[i] != '>' && text[i] != '<')); ++i) {
                const char32_t c = text[i];
                line += c == '\n';
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=' && ++equals > most) {
                    return tagLine;
                }
            }
            if (i < size && text[i] == '<') --i;
        }
    }
    return 0;
}

void RefuseLargeList(std::uint64_t size)
{
    if (size > limits::kLargestList)
        throw ListDocumentError(std::to_string(size) + " bytes, more than the updater reads (" +
                                std::to_string(limits::kLargestList) + ")");
}

std::string ListFileBytes(const std::filesystem::path& file)
{
    const std::string shown = Quoted(Utf8FromPath(file));
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error) throw ListDocumentError("cannot read " + shown);
    RefuseLargeList(size);
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) throw ListDocumentError("cannot read " + shown);
    return bytes.str();
}

void RefuseCrowdedTags(std::string_view bytes)
{
    if (const std::size_t line = LineOfCrowdedTag(bytes))
        throw ListDocumentError("a start tag with more than " + std::to_string(kMostAttributesInATag) +
                                    " attributes; a list needs none, and reading so many takes the parser time " +
                                    "that grows with their square",
                                line);
}

}  // namespace tallowfin::publish
