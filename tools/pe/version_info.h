#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>

namespace tallowfin::pe {

// What a VERSIONINFO resource says: the numeric versions of its fixed part
// and the strings of its string tables (all languages merged, first wins).
struct VersionInfo {
    std::array<std::uint16_t, 4> fileVersion{};
    std::array<std::uint16_t, 4> productVersion{};
    std::map<std::string, std::string> strings;  // UTF-8 keys and values
};

// Parses the data of an RT_VERSION resource; throws PeFormatError when its
// blocks do not nest within their stated lengths or the fixed part is absent.
VersionInfo ParseVersionInfo(std::span<const std::uint8_t> data);

// "1.0.0.0"
std::string VersionText(const std::array<std::uint16_t, 4>& version);

}  // namespace tallowfin::pe
