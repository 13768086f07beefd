// How the updater reads a value of a list entry, for the list targets: the
// first child element of that name, holding one text or CDATA node, text
// trimmed (as the platform's parser delivers it); nothing when it would fail.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "publish/list_document.h"

namespace tallowfin::fuzz {

inline std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

inline std::optional<std::string> UpdaterValue(const publish::XmlNode& entry, std::string_view name)
{
    const publish::XmlNode* element = entry.FirstChildElement(name);
    if (!element || element->children.size() != 1) return std::nullopt;
    const publish::XmlNode& only = element->children.front();
    if (only.kind != publish::XmlNodeKind::Text && only.kind != publish::XmlNodeKind::CData) return std::nullopt;
    return only.kind == publish::XmlNodeKind::Text ? Trimmed(only.value) : only.value;
}

}  // namespace tallowfin::fuzz
