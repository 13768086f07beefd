#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin::pe {

struct XmlTag {
    std::string localName;                          // without a namespace prefix
    std::map<std::string, std::string> attributes;  // values as written, entities left alone
};

// Start tags of one local name, in document order. Enough of XML for the
// manifests a resource compiler embeds: comments, processing instructions and
// CDATA sections are skipped; it is no validating parser.
std::vector<XmlTag> TagsNamed(std::string_view xml, std::string_view localName);

// The level of <requestedExecutionLevel>, or nothing when the manifest has
// none: Windows then guesses, and elevates programs named like installers.
std::optional<std::string> RequestedExecutionLevel(std::string_view manifest);

// Whether the manifest asks for version 6 of the common controls, the
// version that draws controls in the system's visual style.
bool DependsOnCommonControls6(std::string_view manifest);

}  // namespace tallowfin::pe
