// A small, strict XML reader for file lists: it reads what the updater's XML
// parser reads and keeps the kind of every node, so a checker can tell an
// element from a comment or a CDATA section where the updater would.
//
// Like the updater's parser (white space not preserved), text made only of
// white space is dropped. Documents with a DOCTYPE are refused: a list never
// needs one, and entity expansion is how a small document eats all memory.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin::publish {

enum class XmlNodeKind { Element, Text, CData, Comment, ProcessingInstruction };

const char* XmlNodeKindName(XmlNodeKind kind);

struct XmlAttribute {
    std::string name;
    std::string value;
};

struct XmlNode {
    XmlNodeKind kind = XmlNodeKind::Element;
    std::string name;   // element name, or the target of a processing instruction
    std::string value;  // text, CDATA, comment or instruction data, as UTF-8
    std::vector<XmlAttribute> attributes;
    std::vector<XmlNode> children;
    std::size_t line = 0;  // where the node starts, from 1

    // The first child element of exactly this name, or null.
    const XmlNode* FirstChildElement(std::string_view elementName) const;
};

struct XmlLimits {
    std::size_t maxBytes = std::size_t{64} << 20;
    std::size_t maxDepth = 64;
    std::size_t maxNodes = 2'000'000;
};

class XmlError : public std::runtime_error {
public:
    XmlError(const std::string& message, std::size_t line, std::size_t column);
    std::size_t Line() const { return line_; }
    std::size_t Column() const { return column_; }

private:
    std::size_t line_;
    std::size_t column_;
};

// Reads a whole document in UTF-8 (with or without a byte-order mark) or
// UTF-16 (with one) and returns its document element. Throws XmlError.
XmlNode ParseXmlDocument(std::string_view bytes, const XmlLimits& limits = {});

}  // namespace tallowfin::publish
