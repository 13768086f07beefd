// A file list read the way the updater reads it, as a tree that keeps the kind
// of every node, so the checks can tell an element from a comment or a CDATA
// section where the updater would.
//
// On Linux the document is read by libxml2, on Windows by the updater's own
// MSXML document class with the updater's settings. Either way, like the
// updater's parser (white space not preserved), text made only of white space
// is dropped; a document type, entity declarations and nesting deeper than the
// updater allows are refused; nothing is ever fetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallowfin::publish {

enum class XmlNodeKind { Element, Text, CData, Comment, ProcessingInstruction };

const char* XmlNodeKindName(XmlNodeKind kind);

struct XmlNode {
    XmlNodeKind kind = XmlNodeKind::Element;
    std::string name;   // element name, or the target of a processing instruction, UTF-8
    std::string value;  // text, CDATA, comment or instruction data, UTF-8
    std::vector<XmlNode> children;
    // An element's attributes, by name, UTF-8: a signed list's serial, a
    // patch's digests and size.
    std::vector<std::pair<std::string, std::string>> attributes{};

    // The value of the attribute of this name, if there is one.
    std::optional<std::string> Attribute(std::string_view attributeName) const;

    // The first child element of exactly this name, or null.
    const XmlNode* FirstChildElement(std::string_view elementName) const;
};

// A value of an entry as the updater takes it: the one text or CDATA node of
// the first child element of that name, text trimmed as the updater's parser
// delivers it; nothing where the updater would fail on it.
std::optional<std::string> UpdaterValue(const XmlNode& entry, std::string_view name);

// The same of an element in hand.
std::optional<std::string> UpdaterValue(const XmlNode& element);

// A list that cannot be read as a document; line and column from 1, or 0 when
// the parser does not say.
class ListDocumentError : public std::runtime_error {
public:
    ListDocumentError(const std::string& message, std::size_t line = 0, std::size_t column = 0)
        : std::runtime_error(message), line_(line), column_(column)
    {
    }
    std::size_t Line() const { return line_; }
    std::size_t Column() const { return column_; }

private:
    std::size_t line_;
    std::size_t column_;
};

// Parsers of this platform take time quadratic in the attributes of one start
// tag (libxml2 of Debian 12 needs minutes for 160,000). A list needs none, so
// a tag with more than this many is refused before any parser sees it.
inline constexpr std::size_t kMostAttributesInATag = 64;

// Where the first start tag with more attributes than `most` lies (its line,
// from 1), or 0 when there is none. A quick pass over the bytes that skips
// comments, CDATA sections and processing instructions and counts the "="
// outside quoted values; it stops at a document type, which is refused anyway.
std::size_t LineOfCrowdedTag(std::string_view bytes, std::size_t most = kMostAttributesInATag);

// The bytes of a list file; throws ListDocumentError when it cannot be read
// or is larger than the updater reads, without reading it.
std::string ListFileBytes(const std::filesystem::path& file);

// Throws ListDocumentError for a list larger than the updater reads.
void RefuseLargeList(std::uint64_t size);

// Throws ListDocumentError at a start tag LineOfCrowdedTag finds.
void RefuseCrowdedTags(std::string_view bytes);

// Reads a whole list file and returns its document element. Throws
// ListDocumentError; a file larger than the updater reads is refused unread.
XmlNode ReadListFile(const std::filesystem::path& file);

#ifndef _WIN32
// The same for bytes in memory, through libxml2.
XmlNode ReadListBytes(std::string_view bytes);
#endif

}  // namespace tallowfin::publish
