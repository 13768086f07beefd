#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/pe/pe_image.h"

namespace tallowfin::pe {

inline constexpr std::uint16_t kResourceBitmap = 2;
inline constexpr std::uint16_t kResourceIcon = 3;
inline constexpr std::uint16_t kResourceGroupIcon = 14;
inline constexpr std::uint16_t kResourceVersion = 16;
inline constexpr std::uint16_t kResourceManifest = 24;

// A resource type or name: a number, or a string. Resource compilers store
// string names in capitals and FindResource compares them without regard to
// case, so Matches does too.
struct ResourceId {
    bool isName = false;
    std::uint16_t id = 0;
    std::string name;  // UTF-8

    static ResourceId Number(std::uint16_t id) { return {false, id, {}}; }
    static ResourceId Named(std::string name) { return {true, 0, std::move(name)}; }
    bool Matches(const ResourceId& other) const;
    std::string ToString() const;  // "#24" or "EXE"
};

struct ResourceEntry {
    ResourceId type;
    ResourceId name;
    std::uint16_t language = 0;
    std::uint32_t dataRva = 0;
    std::uint32_t size = 0;
};

// The three-level resource tree (type, name, language) flattened into its
// leaves. Parsing checks every offset and every leaf's data, so a tree that
// loops, shares a subdirectory, or points outside its section is refused
// with PeFormatError when constructed. Holds a reference to the image: the
// image must outlive it.
class ResourceDirectory {
public:
    explicit ResourceDirectory(const PeImage& image);

    const std::vector<ResourceEntry>& Entries() const { return entries_; }
    // Each type once, in file order.
    std::vector<ResourceId> Types() const;
    // The first language of a type and name, or null.
    const ResourceEntry* Find(const ResourceId& type, const ResourceId& name) const;
    std::span<const std::uint8_t> Data(const ResourceEntry& entry) const;

private:
    const PeImage& image_;
    std::vector<ResourceEntry> entries_;
};

}  // namespace tallowfin::pe
