#pragma once

// Builds small PE images in memory for the reader's tests: headers, an import
// section and a resource section laid out as a linker would, with the file
// offsets of the structures a test may want to damage.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe/pe_resources.h"

namespace tallowfin::testing {

struct FakeResource {
    pe::ResourceId type;
    pe::ResourceId name;
    std::vector<std::uint8_t> data;
    std::uint16_t language = 1033;
};

struct FakePe {
    std::uint16_t machine = 0x14c;
    std::uint16_t subsystem = 2;
    bool pe32Plus = false;
    std::vector<std::string> imports;
    std::vector<FakeResource> resources;
};

struct BuiltPe {
    std::vector<std::uint8_t> bytes;
    std::size_t optionalHeader = 0;          // file offset
    std::size_t resourceRoot = 0;            // file offset of the tree's root directory
    std::vector<std::size_t> dataEntries;    // file offsets of the leaves, in resource order
    std::vector<std::size_t> importNames;    // file offsets of the DLL names
};

BuiltPe BuildPe(const FakePe& pe);

// A VERSIONINFO resource as a resource compiler lays it out.
std::vector<std::uint8_t> BuildVersionInfo(std::uint16_t major, std::uint16_t minor, std::uint16_t patch,
                                           std::uint16_t build,
                                           const std::vector<std::pair<std::string, std::string>>& strings);

void PutU16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value);
void PutU32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value);

inline std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace tallowfin::testing
