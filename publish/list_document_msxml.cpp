// Lists read through the updater's own document class, with its settings
// (no white space kept, no document type, no external anything, the same
// depth limit), so that the Windows tool reads a list exactly as clients do.
#include "publish/list_document.h"

#include "common/com_ptr.h"
#include "control/xml_document.h"
#include "publish/utf8.h"

#include <windows.h>

namespace tallowfin::publish {

namespace {

XmlNode Convert(const TXmlNode& node)
{
    XmlNode out;
    switch (node.Type()) {
    case NODE_ELEMENT: out.kind = XmlNodeKind::Element; break;
    case NODE_TEXT: out.kind = XmlNodeKind::Text; break;
    case NODE_CDATA_SECTION: out.kind = XmlNodeKind::CData; break;
    case NODE_COMMENT: out.kind = XmlNodeKind::Comment; break;
    case NODE_PROCESSING_INSTRUCTION: out.kind = XmlNodeKind::ProcessingInstruction; break;
    default: throw ListDocumentError("a node of a kind a list cannot hold");
    }
    if (out.kind == XmlNodeKind::Element || out.kind == XmlNodeKind::ProcessingInstruction) out.name = Utf8FromWide(node.Name());
    if (out.kind != XmlNodeKind::Element) {
        out.value = Utf8FromWide(node.Value());
        return out;
    }
    for (const auto& [name, value] : node.Attributes()) out.attributes.emplace_back(Utf8FromWide(name), Utf8FromWide(value));
    const long count = node.ChildCount();
    out.children.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) out.children.push_back(Convert(node.Child(i)));
    return out;
}

}  // namespace

XmlNode ReadListFile(const std::filesystem::path& file)
{
    RefuseCrowdedTags(ListFileBytes(file));
    try {
        // MSXML is a COM server: this thread needs an apartment while it reads.
        ComApartment com;
        TXMLDocument document;
        document.LoadFromFile(file.wstring());
        const TXmlNode element = document.DocumentElement();
        return Convert(element);
    } catch (const TXmlError& failure) {
        throw ListDocumentError(failure.what(), static_cast<std::size_t>(failure.Line() > 0 ? failure.Line() : 0),
                                static_cast<std::size_t>(failure.Column() > 0 ? failure.Column() : 0));
    }
}

}  // namespace tallowfin::publish
