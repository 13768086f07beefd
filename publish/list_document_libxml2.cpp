// Lists read by libxml2's streaming reader, building only the tree the checks
// need.
#include "publish/list_document.h"

#include "common/limits.h"

#include <libxml/xmlreader.h>

#include <memory>

namespace tallowfin::publish {

namespace {

struct ReaderDeleter {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using Reader = std::unique_ptr<xmlTextReader, ReaderDeleter>;

struct XmlFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

// The library hands every failure to this callback; the first one is what
// the user needs to see. It must not throw through the library's frames.
struct FirstError {
    std::string message;
    std::size_t line = 0;
    std::size_t column = 0;
    bool seen = false;

    static void Take(void* self, xmlErrorPtr error)
    {
        auto& first = *static_cast<FirstError*>(self);
        if (first.seen || !error || error->level < XML_ERR_ERROR) return;
        first.seen = true;
        first.message = error->message ? error->message : "unknown error";
        while (!first.message.empty() && (first.message.back() == '\n' || first.message.back() == ' '))
            first.message.pop_back();
        first.line = error->line > 0 ? static_cast<std::size_t>(error->line) : 0;
        first.column = error->int2 > 0 ? static_cast<std::size_t>(error->int2) : 0;
    }
};

std::string Text(const xmlChar* text) { return text ? reinterpret_cast<const char*>(text) : std::string(); }

bool IsXmlSpace(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

XmlNode ReadListBytes(std::string_view bytes)
{
    RefuseLargeList(bytes.size());
    RefuseCrowdedTags(bytes);
    // No network, no external document type, no entity expansion: a list
    // names files, it has no business fetching or expanding anything.
    Reader reader(xmlReaderForMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!reader) throw ListDocumentError("the XML reader cannot be started");
    FirstError error;
    xmlTextReaderSetStructuredErrorHandler(reader.get(), &FirstError::Take, &error);

    XmlNode root;
    bool haveRoot = false;
    std::vector<XmlNode*> open;  // the elements the reader is inside, the root first
    auto fail = [&](const std::string& message) {
        throw ListDocumentError(message, static_cast<std::size_t>(xmlTextReaderGetParserLineNumber(reader.get())),
                                static_cast<std::size_t>(xmlTextReaderGetParserColumnNumber(reader.get())));
    };
    auto add = [&](XmlNodeKind kind, std::string name, std::string value) -> XmlNode* {
        if (open.empty()) return nullptr;  // before or after the document element: the updater never looks
        open.back()->children.push_back({kind, std::move(name), std::move(value), {}});
        return &open.back()->children.back();
    };

    int status = 0;
    while ((status = xmlTextReaderRead(reader.get())) == 1) {
        const int type = xmlTextReaderNodeType(reader.get());
        const xmlChar* name = xmlTextReaderConstName(reader.get());
        const xmlChar* value = xmlTextReaderConstValue(reader.get());
        switch (type) {
        case XML_READER_TYPE_DOCUMENT_TYPE:
            fail("the list declares a document type; the updater refuses documents with one");
            break;
        case XML_READER_TYPE_ELEMENT: {
            if (xmlTextReaderDepth(reader.get()) + 1 > limits::kDeepestNesting)
                fail("elements nested more than " + std::to_string(limits::kDeepestNesting) +
                     " deep; the updater refuses the list");
            XmlNode* element = nullptr;
            if (open.empty() && !haveRoot) {
                haveRoot = true;
                root.name = Text(name);
                element = &root;
            } else {
                element = add(XmlNodeKind::Element, Text(name), {});
            }
            if (element) {
                while (xmlTextReaderMoveToNextAttribute(reader.get()) == 1)
                    element->attributes.emplace_back(Text(xmlTextReaderConstName(reader.get())),
                                                     Text(xmlTextReaderConstValue(reader.get())));
                xmlTextReaderMoveToElement(reader.get());
            }
            if (element && !xmlTextReaderIsEmptyElement(reader.get())) open.push_back(element);
            break;
        }
        case XML_READER_TYPE_END_ELEMENT:
            if (!open.empty()) open.pop_back();
            break;
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_WHITESPACE:
        case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
            if (const std::string text = Text(value); !IsXmlSpace(text)) add(XmlNodeKind::Text, {}, text);
            break;
        case XML_READER_TYPE_CDATA: add(XmlNodeKind::CData, {}, Text(value)); break;
        case XML_READER_TYPE_COMMENT: add(XmlNodeKind::Comment, {}, Text(value)); break;
        case XML_READER_TYPE_PROCESSING_INSTRUCTION: add(XmlNodeKind::ProcessingInstruction, Text(name), Text(value)); break;
        case XML_READER_TYPE_ENTITY_REFERENCE: fail("a reference to an entity the list cannot declare"); break;
        default: break;
        }
    }
    if (status != 0 || error.seen) {
        if (error.seen) throw ListDocumentError(error.message, error.line, error.column);
        fail("the document is not well-formed");
    }
    if (!haveRoot) throw ListDocumentError("the document has no document element");
    return root;
}

XmlNode ReadListFile(const std::filesystem::path& file) { return ReadListBytes(ListFileBytes(file)); }

}  // namespace tallowfin::publish
