#include "publish/xml_reader.h"

#include "control/path_rules.h"
#include "publish/utf8.h"

#include <algorithm>

namespace tallowfin::publish {

namespace {

enum class SourceEncoding { Utf8, Utf16 };

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// Every byte of a non-ASCII character is taken as a name character: lists use
// ASCII names, and the checks that matter here are about structure.
bool IsNameStart(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_' || b == ':' || b >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian)
{
    if (bytes.size() % 2 != 0) throw XmlError("UTF-16 text with an odd number of bytes", 0, 0);
    std::string out;
    out.reserve(bytes.size());
    std::size_t line = 1;
    auto unit = [&](std::size_t i) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char32_t>(bigEndian ? (first << 8 | second) : (second << 8 | first));
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
            const char32_t low = unit(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) throw XmlError("unpaired UTF-16 surrogate", line, 0);
        if (c == '\n') ++line;
        AppendUtf8(out, c);
    }
    return out;
}

std::string CodePointText(char32_t c)
{
    std::string hex;
    for (int shift = 20; shift >= 0; shift -= 4) hex.push_back("0123456789ABCDEF"[(c >> shift) & 0xF]);
    return "U+" + hex.substr(c > 0xFFFF ? (c > 0xFFFFF ? 0 : 1) : 2);
}

// Checks that the text is UTF-8 made of characters XML allows, and turns every
// CR LF and lone CR into LF as an XML parser must before anything else.
std::string NormalizeText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t line = 1, column = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
        if (length > text.size() - i || !IsValidUtf8(text.substr(i, length)))
            throw XmlError("the text is not valid UTF-8", line, column);
        char32_t c = length == 1 ? lead : 0;
        if (length > 1) {
            c = lead & (0x7Fu >> length);
            for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        if (!IsXmlChar(c)) throw XmlError("a character XML does not allow (" + CodePointText(c) + ")", line, column);
        if (c == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out.append(text.substr(i, length));
        }
        if (c == '\r' || c == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
        i += length;
    }
    return out;
}

class Parser {
public:
    Parser(std::string_view text, SourceEncoding encoding, const XmlLimits& limits)
        : text_(text), encoding_(encoding), limits_(limits)
    {
    }

    XmlNode Document()
    {
        if (StartsWith("<?xml") && pos_ + 5 < text_.size() && (IsXmlSpace(text_[pos_ + 5]) || text_[pos_ + 5] == '?'))
            Declaration();
        else if (pos_ < text_.size() && IsXmlSpace(text_[pos_]) && SkipSpaceThenStartsWith("<?xml"))
            Fail("white space before the XML declaration");

        bool haveRoot = false;
        XmlNode root;
        for (;;) {
            SkipSpace();
            if (pos_ == text_.size()) break;
            if (StartsWith("<!--")) {
                Comment();
            } else if (StartsWith("<?")) {
                ProcessingInstruction();
            } else if (StartsWith("<!DOCTYPE")) {
                Fail("DOCTYPE declarations are not accepted");
            } else if (StartsWith("<!")) {
                Fail("markup declarations are not accepted");
            } else if (StartsWith("<")) {
                if (haveRoot) Fail("a second document element");
                root = Element(1);
                haveRoot = true;
            } else {
                Fail(haveRoot ? "text after the document element" : "text before the document element");
            }
        }
        if (!haveRoot) Fail("no document element");
        return root;
    }

private:
    [[noreturn]] void Fail(const std::string& message) const { FailAt(pos_, message); }

    [[noreturn]] void FailAt(std::size_t at, const std::string& message) const
    {
        std::size_t line = 1, column = 1;
        for (std::size_t i = 0; i < at && i < text_.size(); ++i) {
            if (text_[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) {
                ++column;
            }
        }
        throw XmlError(message, line, column);
    }

    // Node lines are asked for in increasing positions, so one forward scan
    // serves the whole document.
    std::size_t LineAt(std::size_t at)
    {
        const auto begin = text_.begin();
        lineCursor_ += static_cast<std::size_t>(std::count(begin + static_cast<std::ptrdiff_t>(linePos_),
                                                           begin + static_cast<std::ptrdiff_t>(at), '\n'));
        linePos_ = at;
        return lineCursor_;
    }

    bool StartsWith(std::string_view what) const { return text_.substr(pos_, what.size()) == what; }

    bool SkipSpaceThenStartsWith(std::string_view what)
    {
        std::size_t at = pos_;
        while (at < text_.size() && IsXmlSpace(text_[at])) ++at;
        return text_.substr(at, what.size()) == what;
    }

    bool SkipSpace()
    {
        const std::size_t from = pos_;
        while (pos_ < text_.size() && IsXmlSpace(text_[pos_])) ++pos_;
        return pos_ != from;
    }

    void Expect(std::string_view what)
    {
        if (StartsWith(what)) {
            pos_ += what.size();
            return;
        }
        std::string message = "expected \"";
        message.append(what);
        message.push_back('"');
        Fail(message);
    }

    std::string Name()
    {
        if (pos_ >= text_.size() || !IsNameStart(text_[pos_])) Fail("expected a name");
        const std::size_t from = pos_;
        while (pos_ < text_.size() && IsNameChar(text_[pos_])) ++pos_;
        return std::string(text_.substr(from, pos_ - from));
    }

    void CountNode()
    {
        if (++nodes_ > limits_.maxNodes) Fail("more than " + std::to_string(limits_.maxNodes) + " nodes");
    }

    std::string QuotedValue()
    {
        if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) Fail("expected a quoted value");
        const char quote = text_[pos_++];
        std::string value;
        for (;;) {
            if (pos_ >= text_.size()) Fail("unterminated attribute value");
            const char c = text_[pos_];
            if (c == quote) break;
            if (c == '<') Fail("\"<\" inside an attribute value");
            if (c == '&') {
                Reference(value);
                continue;
            }
            // Attribute-value normalization: literal white space becomes a blank.
            value.push_back(IsXmlSpace(c) ? ' ' : c);
            ++pos_;
        }
        ++pos_;
        return value;
    }

    void Declaration()
    {
        pos_ += 5;
        if (!SkipSpace()) Fail("expected the version in the XML declaration");
        Expect("version");
        Equals();
        const std::string version = QuotedValue();
        if (version.size() < 3 || version.substr(0, 2) != "1." ||
            version.find_first_not_of("0123456789", 2) != std::string::npos)
            Fail("unsupported XML version \"" + version + "\"");

        bool space = SkipSpace();
        std::string encoding;
        if (space && StartsWith("encoding")) {
            pos_ += 8;
            Equals();
            encoding = QuotedValue();
            space = SkipSpace();
        }
        if (space && StartsWith("standalone")) {
            pos_ += 10;
            Equals();
            const std::string standalone = QuotedValue();
            if (standalone != "yes" && standalone != "no") Fail("standalone must be \"yes\" or \"no\"");
            SkipSpace();
        }
        Expect("?>");

        const std::string lower = AsciiLower(encoding);
        if (encoding_ == SourceEncoding::Utf8 && !lower.empty() && lower != "utf-8") {
            if (lower.rfind("utf-16", 0) == 0) Fail("declared " + encoding + " but has no UTF-16 byte-order mark");
            Fail("encoding \"" + encoding + "\" is not supported: write the list in UTF-8");
        }
        if (encoding_ == SourceEncoding::Utf16 && !lower.empty() && lower != "utf-16")
            Fail("declared " + encoding + " but starts with a UTF-16 byte-order mark");
    }

    void Equals()
    {
        SkipSpace();
        Expect("=");
        SkipSpace();
    }

    XmlNode Comment()
    {
        XmlNode node;
        node.kind = XmlNodeKind::Comment;
        node.line = LineAt(pos_);
        pos_ += 4;
        const std::size_t end = text_.find("--", pos_);
        if (end == std::string_view::npos) Fail("unterminated comment");
        if (end + 2 >= text_.size() || text_[end + 2] != '>') FailAt(end, "\"--\" inside a comment");
        node.value = std::string(text_.substr(pos_, end - pos_));
        pos_ = end + 3;
        CountNode();
        return node;
    }

    XmlNode ProcessingInstruction()
    {
        XmlNode node;
        node.kind = XmlNodeKind::ProcessingInstruction;
        node.line = LineAt(pos_);
        pos_ += 2;
        node.name = Name();
        if (AsciiLower(node.name) == "xml") Fail("the XML declaration may only stand at the very start");
        if (!StartsWith("?>")) {
            if (!SkipSpace()) Fail("expected white space after the instruction's target");
            const std::size_t end = text_.find("?>", pos_);
            if (end == std::string_view::npos) Fail("unterminated processing instruction");
            node.value = std::string(text_.substr(pos_, end - pos_));
            pos_ = end;
        }
        pos_ += 2;
        CountNode();
        return node;
    }

    XmlNode CData()
    {
        XmlNode node;
        node.kind = XmlNodeKind::CData;
        node.line = LineAt(pos_);
        pos_ += 9;
        const std::size_t end = text_.find("]]>", pos_);
        if (end == std::string_view::npos) Fail("unterminated CDATA section");
        node.value = std::string(text_.substr(pos_, end - pos_));
        pos_ = end + 3;
        CountNode();
        return node;
    }

    void Reference(std::string& out)
    {
        const std::size_t start = pos_++;
        if (pos_ < text_.size() && text_[pos_] == '#') {
            ++pos_;
            const bool hex = pos_ < text_.size() && text_[pos_] == 'x';
            if (hex) ++pos_;
            char32_t value = 0;
            std::size_t digits = 0;
            for (; pos_ < text_.size() && text_[pos_] != ';'; ++pos_, ++digits) {
                const char c = text_[pos_];
                int digit = -1;
                if (c >= '0' && c <= '9') digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
                if (digit < 0) FailAt(start, "malformed character reference");
                value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
                if (value > 0x10FFFF) FailAt(start, "character reference out of range");
            }
            if (digits == 0 || pos_ >= text_.size()) FailAt(start, "malformed character reference");
            if (!IsXmlChar(value)) FailAt(start, "character reference to a character XML does not allow");
            ++pos_;
            AppendUtf8(out, value);
            return;
        }
        const std::string name = Name();
        if (pos_ >= text_.size() || text_[pos_] != ';') FailAt(start, "expected \";\" after &" + name);
        ++pos_;
        if (name == "lt") out.push_back('<');
        else if (name == "gt") out.push_back('>');
        else if (name == "amp") out.push_back('&');
        else if (name == "apos") out.push_back('\'');
        else if (name == "quot") out.push_back('"');
        else FailAt(start, "undefined entity &" + name + ";");
    }

    XmlNode Element(std::size_t depth)
    {
        if (depth > limits_.maxDepth) Fail("elements nested deeper than " + std::to_string(limits_.maxDepth));
        XmlNode node;
        node.line = LineAt(pos_);
        CountNode();
        Expect("<");
        node.name = Name();
        for (;;) {
            const bool space = SkipSpace();
            if (StartsWith("/>")) {
                pos_ += 2;
                return node;
            }
            if (StartsWith(">")) {
                ++pos_;
                break;
            }
            if (pos_ >= text_.size()) Fail("unterminated start tag <" + node.name + ">");
            if (!space) Fail("expected white space before an attribute");
            const std::size_t at = pos_;
            XmlAttribute attribute;
            attribute.name = Name();
            Equals();
            attribute.value = QuotedValue();
            for (const auto& other : node.attributes)
                if (other.name == attribute.name) FailAt(at, "attribute \"" + attribute.name + "\" given twice");
            node.attributes.push_back(std::move(attribute));
        }
        Content(node, depth);
        const std::size_t endTag = pos_;
        pos_ += 2;
        const std::string endName = Name();
        if (endName != node.name) FailAt(endTag, "</" + endName + "> does not close <" + node.name + ">");
        SkipSpace();
        Expect(">");
        return node;
    }

    void Content(XmlNode& parent, std::size_t depth)
    {
        std::string text;
        std::size_t textLine = 0;
        auto flush = [&] {
            if (text.empty()) return;
            if (!std::all_of(text.begin(), text.end(), IsXmlSpace)) {
                XmlNode node;
                node.kind = XmlNodeKind::Text;
                node.value = std::move(text);
                node.line = textLine;
                CountNode();
                parent.children.push_back(std::move(node));
            }
            text.clear();
        };
        for (;;) {
            if (pos_ >= text_.size()) Fail("<" + parent.name + "> is never closed");
            if (text_[pos_] == '<') {
                if (StartsWith("</")) {
                    flush();
                    return;
                }
                flush();
                if (StartsWith("<!--")) parent.children.push_back(Comment());
                else if (StartsWith("<![CDATA[")) parent.children.push_back(CData());
                else if (StartsWith("<?")) parent.children.push_back(ProcessingInstruction());
                else if (StartsWith("<!")) Fail("markup declarations are not accepted inside elements");
                else parent.children.push_back(Element(depth + 1));
                continue;
            }
            if (text.empty()) textLine = LineAt(pos_);
            if (text_[pos_] == '&') {
                Reference(text);
                continue;
            }
            std::size_t end = text_.find_first_of("<&", pos_);
            if (end == std::string_view::npos) end = text_.size();
            const std::string_view run = text_.substr(pos_, end - pos_);
            if (const auto bad = run.find("]]>"); bad != std::string_view::npos)
                FailAt(pos_ + bad, "\"]]>\" in text");
            text.append(run);
            pos_ = end;
        }
    }

    std::string_view text_;
    SourceEncoding encoding_;
    const XmlLimits& limits_;
    std::size_t pos_ = 0;
    std::size_t nodes_ = 0;
    std::size_t linePos_ = 0;
    std::size_t lineCursor_ = 1;
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

XmlError::XmlError(const std::string& message, std::size_t line, std::size_t column)
    : std::runtime_error(message), line_(line), column_(column)
{
}

XmlNode ParseXmlDocument(std::string_view bytes, const XmlLimits& limits)
{
    if (bytes.size() > limits.maxBytes)
        throw XmlError("larger than " + std::to_string(limits.maxBytes) + " bytes", 0, 0);
    auto startsWith = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
    using namespace std::string_view_literals;
    if (startsWith("\x00\x00\xFE\xFF"sv) || startsWith("\xFF\xFE\x00\x00"sv))
        throw XmlError("UTF-32 is not supported: write the list in UTF-8", 1, 1);

    std::string text;
    SourceEncoding encoding = SourceEncoding::Utf8;
    if (startsWith("\xEF\xBB\xBF"sv)) {
        text = NormalizeText(bytes.substr(3));
    } else if (startsWith("\xFF\xFE"sv) || startsWith("\xFE\xFF"sv)) {
        encoding = SourceEncoding::Utf16;
        text = NormalizeText(Utf16ToUtf8(bytes.substr(2), bytes[0] == '\xFE'));
    } else if (startsWith("\x00<"sv) || startsWith("<\x00"sv)) {
        throw XmlError("UTF-16 text without a byte-order mark", 1, 1);
    } else {
        text = NormalizeText(bytes);
    }
    return Parser(text, encoding, limits).Document();
}

}  // namespace tallowfin::publish
