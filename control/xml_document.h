// The form's XML document: the platform's parser (MSXML through COM), with
// the few operations the file-list reader needs. Values come back in the
// system's ANSI code page. The Windows publishing tool reads lists through the
// same class, so that it reads them exactly as the updater does; it takes
// names and values as UTF-16, as it checks their code page itself.
#pragma once

#include <msxml2.h>

#include <array>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/com_ptr.h"

namespace tallowfin {

// A failure to load or read the document. A document that is not well-formed
// says where, when the parser tells (line and column from 1, else 0).
class TXmlError : public std::runtime_error {
public:
    explicit TXmlError(const std::string& what, long line = 0, long column = 0)
        : std::runtime_error(what), line_(line), column_(column)
    {
    }
    long Line() const { return line_; }
    long Column() const { return column_; }

private:
    long line_;
    long column_;
};

class TXmlNode {
public:
    explicit TXmlNode(ComPtr<IXMLDOMNode> node) : node_(std::move(node)) {}
    long ChildCount() const;
    TXmlNode Child(long index) const;
    // The first child element of exactly this name (case counts), if any.
    std::optional<TXmlNode> FirstChildElement(std::wstring_view name) const;
    // The first child element of each of these names (case counts), in one
    // pass over the children; none where an element of that name is missing.
    // With `gathered`, every child element named `every` is added to it, in
    // document order, in the same pass.
    template <std::size_t N>
    std::array<std::optional<TXmlNode>, N> FirstChildElements(const std::array<std::wstring_view, N>& names,
                                                              std::wstring_view every = {},
                                                              std::vector<TXmlNode>* gathered = nullptr) const
    {
        std::array<std::optional<TXmlNode>, N> found;
        ForEachChildElement([&](std::wstring_view name, const ComPtr<IXMLDOMNode>& child) {
            for (std::size_t i = 0; i < N; ++i)
                if (!found[i] && names[i] == name) found[i] = TXmlNode(child);
            if (gathered && name == every) gathered->emplace_back(child);
        });
        return found;
    }
    // The element's text: its single text or CDATA node; empty without
    // content; an error with any other content.
    std::string Text() const;
    // The value of the element's attribute of exactly this name, if it has one.
    std::optional<std::string> Attribute(std::wstring_view name) const;
    // All of the element's attributes, names and values, in document order.
    std::vector<std::pair<std::wstring, std::wstring>> Attributes() const;

    DOMNodeType Type() const;
    // The element's name, or the target of a processing instruction.
    std::wstring Name() const;
    // The content of a text, CDATA, comment or processing instruction node.
    std::wstring Value() const;

private:
    void ForEachChildElement(const std::function<void(std::wstring_view, const ComPtr<IXMLDOMNode>&)>& visit) const;

    ComPtr<IXMLDOMNode> node_;
};

class TXMLDocument {
public:
    // Loads the whole file synchronously, without white-space-only text; a
    // missing or unreadable file, a malformed document or an empty path is an
    // error. The document stays loaded afterwards.
    void LoadFromFile(const std::string& path);
    void LoadFromFile(const std::wstring& path);
    // Rewrites (or adds) the declaration of the document in memory.
    void SetEncoding(const std::string& encoding);
    TXmlNode DocumentElement() const;

private:
    ComPtr<IXMLDOMDocument> document_;
};

// ANSI text of the system's code page; characters the code page cannot hold
// are an error rather than a look-alike that would name another file.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);

}  // namespace tallowfin
