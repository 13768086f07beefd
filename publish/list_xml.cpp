#include "publish/list_xml.h"

namespace tallowfin::publish {

std::string EscapeXmlText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string FileListXml(const std::vector<ListEntry>& entries, std::optional<ListHead> head)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<filelist";
    if (head) xml += " serial=\"" + std::to_string(head->serial) + "\"";
    if (head && head->expires) xml += " expires=\"" + std::to_string(*head->expires) + "\"";
    xml += ">\n";
    auto value = [&](std::string_view element, std::string_view text) {
        xml.append("    <").append(element).append(">");
        xml.append(EscapeXmlText(text));
        xml.append("</").append(element).append(">\n");
    };
    for (const auto& entry : entries) {
        xml += "  <file>\n";
        value("path", entry.path);
        value("name", entry.name);
        value("hash", entry.hash);
        value("downurl", entry.downurl);
        if (entry.regist) value("regist", "yes");
        // The length the updater can hold a transfer to before it begins.
        value("size", std::to_string(entry.bytes));
        if (head) value("sha256", entry.sha256);
        // Readers that know no patches skip the element. Its digests are
        // written whether or not the list is signed: they cost a few bytes
        // and let verify check a patch without its base.
        for (const auto& patch : entry.patches)
            xml += "    <patch base=\"" + patch.base + "\" base_sha256=\"" + patch.baseSha256 + "\" size=\"" +
                   std::to_string(patch.size) + "\" sha256=\"" + patch.sha256 + "\">" + EscapeXmlText(patch.address) +
                   "</patch>\n";
        xml += "  </file>\n";
    }
    xml += "</filelist>\n";
    return xml;
}

}  // namespace tallowfin::publish
