#include "control/xml_document.h"

#include <windows.h>

#include "common/limits.h"

#include <stdexcept>

#include "common/file_system.h"
#include "control/document_type.h"

namespace tallowfin {

namespace {

using XmlError = TXmlError;

void Check(HRESULT result, const char* what)
{
    if (FAILED(result)) throw XmlError(what);
}

ComPtr<IXMLDOMNodeList> ChildrenOf(const ComPtr<IXMLDOMNode>& node)
{
    ComPtr<IXMLDOMNodeList> list;
    Check(node->get_childNodes(list.put()), "Reading the children of an XML node failed");
    return list;
}

ComPtr<IXMLDOMNode> Item(const ComPtr<IXMLDOMNodeList>& list, long index)
{
    ComPtr<IXMLDOMNode> item;
    if (list->get_item(index, item.put()) != S_OK || !item) throw XmlError("An XML node is missing");
    return item;
}

DOMNodeType TypeOf(const ComPtr<IXMLDOMNode>& node)
{
    DOMNodeType type = NODE_INVALID;
    Check(node->get_nodeType(&type), "Reading the type of an XML node failed");
    return type;
}

// A list needs no document type and no deep nesting. Without these limits a
// small hostile document (entities that expand a billion times, elements
// nested a million deep) takes the updater's memory and time. Parsers too
// old to know a property keep their own defaults.
void LimitParser(const ComPtr<IXMLDOMDocument>& document)
{
    // The system's import libraries lack this interface's id.
    static constexpr IID kDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
    ComPtr<IXMLDOMDocument2> withProperties;
    if (FAILED(document->QueryInterface(kDocument2, reinterpret_cast<void**>(withProperties.put()))))
        return;
    auto set = [&](const wchar_t* name, VARIANT value) {
        Bstr property(name);
        withProperties->setProperty(property.get(), value);
    };
    VARIANT prohibit;
    VariantInit(&prohibit);
    prohibit.vt = VT_BOOL;
    prohibit.boolVal = VARIANT_TRUE;
    set(L"ProhibitDTD", prohibit);
    VARIANT depth;
    VariantInit(&depth);
    depth.vt = VT_I4;
    depth.lVal = limits::kDeepestNesting;
    set(L"MaxElementDepth", depth);
}

// What the parser says about a document it could not load, and where.
XmlError LoadFailure(const ComPtr<IXMLDOMDocument>& document)
{
    std::string what = "The file list is missing or not well-formed XML";
    ComPtr<IXMLDOMParseError> error;
    long line = 0, column = 0;
    if (SUCCEEDED(document->get_parseError(error.put())) && error) {
        Bstr reason;
        if (error->get_reason(reason.put()) == S_OK && reason.get() && reason.length() > 0) {
            std::wstring text(reason.get(), reason.length());
            while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
                text.pop_back();
            std::string narrow;
            for (const wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
            what += ": " + narrow;
        }
        error->get_line(&line);
        error->get_linepos(&column);
    }
    return XmlError(what, line, column);
}

}  // namespace

std::string ToAnsi(std::wstring_view text)
{
    if (text.empty()) return {};
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, &lossy);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), result.data(),
                        size, nullptr, &lossy);
    // A stand-in character would name a different file, and a best-fit one
    // could even turn into a path separator.
    if (size == 0 || lossy) throw XmlError("The file list holds a name this system's code page cannot represent");
    return result;
}

std::wstring FromAnsi(std::string_view text)
{
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

long TXmlNode::ChildCount() const
{
    long count = 0;
    Check(ChildrenOf(node_)->get_length(&count), "Counting the children of an XML node failed");
    return count;
}

TXmlNode TXmlNode::Child(long index) const
{
    return TXmlNode(Item(ChildrenOf(node_), index));
}

void TXmlNode::ForEachChildElement(
    const std::function<void(std::wstring_view, const ComPtr<IXMLDOMNode>&)>& visit) const
{
    ComPtr<IXMLDOMNodeList> children = ChildrenOf(node_);
    long count = 0;
    Check(children->get_length(&count), "Counting the children of an XML node failed");
    for (long i = 0; i < count; ++i) {
        ComPtr<IXMLDOMNode> child = Item(children, i);
        if (TypeOf(child) != NODE_ELEMENT) continue;
        Bstr childName;
        Check(child->get_nodeName(childName.put()), "Reading the name of an XML element failed");
        visit(std::wstring_view(childName.get() ? childName.get() : L"", childName.length()), child);
    }
}

std::optional<TXmlNode> TXmlNode::FirstChildElement(std::wstring_view name) const
{
    return FirstChildElements(std::array<std::wstring_view, 1>{name})[0];
}

std::string TXmlNode::Text() const
{
    ComPtr<IXMLDOMNodeList> children = ChildrenOf(node_);
    long count = 0;
    Check(children->get_length(&count), "Counting the children of an XML node failed");
    if (count == 0) return {};
    ComPtr<IXMLDOMNode> only = Item(children, 0);
    const DOMNodeType type = TypeOf(only);
    if (count != 1 || (type != NODE_TEXT && type != NODE_CDATA_SECTION))
        throw XmlError("An element of the file list holds more than text");
    VARIANT value;
    VariantInit(&value);
    Check(only->get_nodeValue(&value), "Reading the text of an XML element failed");
    std::string text;
    if (value.vt == VT_BSTR && value.bstrVal) text = ToAnsi(std::wstring_view(value.bstrVal, SysStringLen(value.bstrVal)));
    VariantClear(&value);
    return text;
}

std::optional<std::string> TXmlNode::Attribute(std::wstring_view name) const
{
    ComPtr<IXMLDOMElement> element;
    if (FAILED(node_->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.put())))) return std::nullopt;
    Bstr attribute(std::wstring(name).c_str());
    VARIANT value;
    VariantInit(&value);
    Check(element->getAttribute(attribute.get(), &value), "Reading an attribute of an XML element failed");
    std::optional<std::string> text;
    if (value.vt == VT_BSTR) text = ToAnsi(std::wstring_view(value.bstrVal, SysStringLen(value.bstrVal)));
    VariantClear(&value);
    return text;
}

std::vector<std::pair<std::wstring, std::wstring>> TXmlNode::Attributes() const
{
    std::vector<std::pair<std::wstring, std::wstring>> attributes;
    ComPtr<IXMLDOMNamedNodeMap> map;
    if (node_->get_attributes(map.put()) != S_OK || !map) return attributes;
    long count = 0;
    Check(map->get_length(&count), "Counting the attributes of an XML element failed");
    for (long i = 0; i < count; ++i) {
        ComPtr<IXMLDOMNode> attribute;
        if (map->get_item(i, attribute.put()) != S_OK || !attribute) throw XmlError("An XML attribute is missing");
        const TXmlNode node(attribute);
        attributes.emplace_back(node.Name(), node.Value());
    }
    return attributes;
}

DOMNodeType TXmlNode::Type() const
{
    return TypeOf(node_);
}

std::wstring TXmlNode::Name() const
{
    Bstr name;
    Check(node_->get_nodeName(name.put()), "Reading the name of an XML node failed");
    return name.get() ? std::wstring(name.get(), name.length()) : std::wstring();
}

std::wstring TXmlNode::Value() const
{
    VARIANT value;
    VariantInit(&value);
    Check(node_->get_nodeValue(&value), "Reading the value of an XML node failed");
    std::wstring text;
    if (value.vt == VT_BSTR && value.bstrVal) text.assign(value.bstrVal, SysStringLen(value.bstrVal));
    VariantClear(&value);
    return text;
}

void TXMLDocument::LoadFromFile(const std::string& path)
{
    if (path.empty()) throw XmlError("No file list to read");
    LoadFromFile(FromAnsi(path));
}

void TXMLDocument::LoadFromFile(const std::wstring& path)
{
    if (path.empty()) throw XmlError("No file list to read");
    // The properties below prohibit a document type, but a parser may refuse
    // them or take them and ignore them (Wine's takes "ProhibitDTD" and
    // parses the declaration all the same): the declaration is looked for
    // here, before any parser reads it. A file that cannot be read fails to
    // load below.
    if (const auto bytes = ReadWholeFile(path); bytes && DeclaresDocumentType(*bytes))
        throw XmlError("The file list declares a document type");
    CLSID documentClass;
    Check(CLSIDFromProgID(L"Msxml2.DOMDocument.3.0", &documentClass), "The XML parser is not installed");
    ComPtr<IXMLDOMDocument> document;
    Check(CoCreateInstance(documentClass, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                           reinterpret_cast<void**>(document.put())),
          "The XML parser cannot be started");
    Check(document->put_async(VARIANT_FALSE), "Setting up the XML parser failed");
    Check(document->put_preserveWhiteSpace(VARIANT_FALSE), "Setting up the XML parser failed");
    // The list names files, it has no business fetching anything else.
    Check(document->put_resolveExternals(VARIANT_FALSE), "Setting up the XML parser failed");
    LimitParser(document);

    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(path.c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT result = document->load(source, &loaded);
    VariantClear(&source);
    if (result != S_OK || loaded != VARIANT_TRUE) throw LoadFailure(document);
    document_ = std::move(document);
}

void TXMLDocument::SetEncoding(const std::string& encoding)
{
    if (!document_) return;
    const std::wstring data = L"version=\"1.0\" encoding=\"" + FromAnsi(encoding) + L"\"";
    Bstr target(L"xml");
    Bstr instructionData(data.c_str());
    ComPtr<IXMLDOMProcessingInstruction> declaration;
    Check(document_->createProcessingInstruction(target.get(), instructionData.get(), declaration.put()),
          "Setting the encoding of the file list failed");
    ComPtr<IXMLDOMNode> first;
    document_->get_firstChild(first.put());
    ComPtr<IXMLDOMNode> added;
    bool replaced = false;
    if (first && TypeOf(first) == NODE_PROCESSING_INSTRUCTION) {
        Bstr name;
        if (SUCCEEDED(first->get_nodeName(name.put())) && name.get() && std::wstring_view(name.get()) == L"xml")
            replaced = SUCCEEDED(document_->replaceChild(declaration.get(), first.get(), added.put()));
    }
    if (!replaced) {
        VARIANT before;
        VariantInit(&before);
        if (first) {
            before.vt = VT_UNKNOWN;
            before.punkVal = first.get();
        }
        document_->insertBefore(declaration.get(), before, added.put());
    }
}

TXmlNode TXMLDocument::DocumentElement() const
{
    ComPtr<IXMLDOMElement> element;
    if (!document_ || document_->get_documentElement(element.put()) != S_OK || !element)
        throw XmlError("The file list has no document element");
    ComPtr<IXMLDOMNode> node;
    Check(element->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(node.put())),
          "Reading the document element failed");
    return TXmlNode(node);
}

}  // namespace tallowfin
