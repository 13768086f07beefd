#include "tests/native/pe_builder.h"

#include <algorithm>

namespace tallowfin::testing {

namespace {

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kImportRva = 0x1000;
constexpr std::uint32_t kResourceRva = 0x2000;

std::size_t AlignUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

void PutU64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v)
{
    PutU32(b, at, static_cast<std::uint32_t>(v));
    PutU32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

// Import descriptors, then the names they point at.
std::vector<std::uint8_t> ImportSection(const std::vector<std::string>& dlls, std::vector<std::size_t>& nameOffsets)
{
    std::vector<std::uint8_t> s((dlls.size() + 1) * 20, 0);
    for (std::size_t i = 0; i < dlls.size(); ++i) {
        nameOffsets.push_back(s.size());
        PutU32(s, i * 20 + 12, static_cast<std::uint32_t>(kImportRva + s.size()));
        s.insert(s.end(), dlls[i].begin(), dlls[i].end());
        s.push_back(0);
    }
    return s;
}

struct Group {
    pe::ResourceId type;
    std::vector<std::pair<pe::ResourceId, std::vector<std::size_t>>> names;  // name, indices of resources
};

// Directories first (root, types, names), then the leaves, then the name
// strings, then the data: the order a resource compiler writes.
std::vector<std::uint8_t> ResourceSection(const std::vector<FakeResource>& resources,
                                          std::vector<std::size_t>& leafOffsets)
{
    std::vector<Group> groups;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        auto g = std::find_if(groups.begin(), groups.end(),
                              [&](const Group& x) { return x.type.Matches(resources[i].type); });
        if (g == groups.end()) g = groups.insert(groups.end(), Group{resources[i].type, {}});
        auto n = std::find_if(g->names.begin(), g->names.end(),
                              [&](const auto& x) { return x.first.Matches(resources[i].name); });
        if (n == g->names.end()) n = g->names.insert(g->names.end(), {resources[i].name, {}});
        n->second.push_back(i);
    }

    std::size_t at = 16 + 8 * groups.size();
    std::vector<std::size_t> typeDirs, nameDirs;
    for (const Group& g : groups) {
        typeDirs.push_back(at);
        at += 16 + 8 * g.names.size();
    }
    for (const Group& g : groups) {
        for (const auto& n : g.names) {
            nameDirs.push_back(at);
            at += 16 + 8 * n.second.size();
        }
    }
    leafOffsets.assign(resources.size(), 0);
    for (std::size_t i = 0; i < resources.size(); ++i, at += 16) leafOffsets[i] = at;
    std::vector<std::uint8_t> s(at, 0);

    auto nameField = [&](const pe::ResourceId& id) -> std::uint32_t {
        if (!id.isName) return id.id;
        const std::uint32_t offset = static_cast<std::uint32_t>(s.size());
        s.resize(s.size() + 2 + 2 * id.name.size());
        PutU16(s, offset, static_cast<std::uint16_t>(id.name.size()));
        for (std::size_t i = 0; i < id.name.size(); ++i) PutU16(s, offset + 2 + 2 * i, static_cast<std::uint8_t>(id.name[i]));
        return 0x8000'0000u | offset;
    };
    auto directory = [&](std::size_t offset, std::size_t entries) { PutU16(s, offset + 14, static_cast<std::uint16_t>(entries)); };

    directory(0, groups.size());
    std::size_t nameDir = 0;
    for (std::size_t t = 0; t < groups.size(); ++t) {
        PutU32(s, 16 + 8 * t, nameField(groups[t].type));
        PutU32(s, 16 + 8 * t + 4, 0x8000'0000u | static_cast<std::uint32_t>(typeDirs[t]));
        directory(typeDirs[t], groups[t].names.size());
        for (std::size_t n = 0; n < groups[t].names.size(); ++n, ++nameDir) {
            const auto& [name, indices] = groups[t].names[n];
            PutU32(s, typeDirs[t] + 16 + 8 * n, nameField(name));
            PutU32(s, typeDirs[t] + 16 + 8 * n + 4, 0x8000'0000u | static_cast<std::uint32_t>(nameDirs[nameDir]));
            directory(nameDirs[nameDir], indices.size());
            for (std::size_t l = 0; l < indices.size(); ++l) {
                PutU32(s, nameDirs[nameDir] + 16 + 8 * l, resources[indices[l]].language);
                PutU32(s, nameDirs[nameDir] + 16 + 8 * l + 4, static_cast<std::uint32_t>(leafOffsets[indices[l]]));
            }
        }
    }
    for (std::size_t i = 0; i < resources.size(); ++i) {
        s.resize(AlignUp(s.size(), 4));
        PutU32(s, leafOffsets[i], static_cast<std::uint32_t>(kResourceRva + s.size()));
        PutU32(s, leafOffsets[i] + 4, static_cast<std::uint32_t>(resources[i].data.size()));
        s.insert(s.end(), resources[i].data.begin(), resources[i].data.end());
    }
    return s;
}

}  // namespace

void PutU16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v)
{
    b.at(at) = static_cast<std::uint8_t>(v);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}

void PutU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    PutU16(b, at, static_cast<std::uint16_t>(v));
    PutU16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

BuiltPe BuildPe(const FakePe& pe)
{
    BuiltPe out;
    std::vector<std::size_t> nameOffsets;
    const auto imports = ImportSection(pe.imports, nameOffsets);
    std::vector<std::size_t> leaves;
    const auto resources = ResourceSection(pe.resources, leaves);

    const std::size_t peOffset = 0x40;
    const std::size_t optional = peOffset + 24;
    const std::size_t directoriesAt = pe.pe32Plus ? 112 : 96;
    const std::size_t optionalSize = directoriesAt + 16 * 8;
    const std::size_t sectionTable = optional + optionalSize;
    const std::size_t importRaw = AlignUp(sectionTable + 2 * 40, kFileAlignment);
    const std::size_t resourceRaw = importRaw + AlignUp(imports.size(), kFileAlignment);
    std::vector<std::uint8_t>& b = out.bytes;
    b.assign(resourceRaw + AlignUp(resources.size(), kFileAlignment), 0);

    b[0] = 'M';
    b[1] = 'Z';
    PutU32(b, 0x3c, peOffset);
    std::copy_n("PE\0\0", 4, b.begin() + peOffset);
    PutU16(b, peOffset + 4, pe.machine);
    PutU16(b, peOffset + 6, 2);
    PutU16(b, peOffset + 20, static_cast<std::uint16_t>(optionalSize));
    PutU16(b, optional, pe.pe32Plus ? 0x20b : 0x10b);
    PutU32(b, optional + 32, kSectionAlignment);
    PutU32(b, optional + 36, kFileAlignment);
    PutU16(b, optional + 68, pe.subsystem);
    PutU32(b, optional + directoriesAt - 4, 16);
    if (pe.pe32Plus) PutU64(b, optional + 24, 0x1'4000'0000);  // image base, 64 bits wide here
    if (!pe.imports.empty()) {
        PutU32(b, optional + directoriesAt + 8, kImportRva);
        PutU32(b, optional + directoriesAt + 12, static_cast<std::uint32_t>(imports.size()));
    }
    if (!pe.resources.empty()) {
        PutU32(b, optional + directoriesAt + 16, kResourceRva);
        PutU32(b, optional + directoriesAt + 20, static_cast<std::uint32_t>(resources.size()));
    }

    auto section = [&](std::size_t index, const char* name, std::uint32_t rva, std::size_t raw,
                       const std::vector<std::uint8_t>& data) {
        const std::size_t h = sectionTable + 40 * index;
        std::copy_n(name, std::char_traits<char>::length(name), b.begin() + h);
        PutU32(b, h + 8, static_cast<std::uint32_t>(data.size()));
        PutU32(b, h + 12, rva);
        PutU32(b, h + 16, static_cast<std::uint32_t>(AlignUp(data.size(), kFileAlignment)));
        PutU32(b, h + 20, static_cast<std::uint32_t>(raw));
        std::copy(data.begin(), data.end(), b.begin() + raw);
    };
    section(0, ".idata", kImportRva, importRaw, imports);
    section(1, ".rsrc", kResourceRva, resourceRaw, resources);

    out.optionalHeader = optional;
    out.resourceRoot = resourceRaw;
    for (std::size_t leaf : leaves) out.dataEntries.push_back(resourceRaw + leaf);
    for (std::size_t name : nameOffsets) out.importNames.push_back(importRaw + name);
    return out;
}

namespace {

void AppendU16(std::vector<std::uint8_t>& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void AppendText(std::vector<std::uint8_t>& b, std::string_view text)
{
    for (char c : text) AppendU16(b, static_cast<std::uint8_t>(c));
    AppendU16(b, 0);
}

void Pad4(std::vector<std::uint8_t>& b) { b.resize(AlignUp(b.size(), 4)); }

// wLength, wValueLength, wType, key, padding, value, padding, children.
std::vector<std::uint8_t> Block(std::string_view key, const std::vector<std::uint8_t>& value, std::uint16_t valueLength,
                                bool text, const std::vector<std::vector<std::uint8_t>>& children)
{
    std::vector<std::uint8_t> b(6, 0);
    AppendText(b, key);
    Pad4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const auto& child : children) {
        Pad4(b);
        b.insert(b.end(), child.begin(), child.end());
    }
    PutU16(b, 0, static_cast<std::uint16_t>(b.size()));
    PutU16(b, 2, valueLength);
    PutU16(b, 4, text ? 1 : 0);
    return b;
}

}  // namespace

std::vector<std::uint8_t> BuildVersionInfo(std::uint16_t major, std::uint16_t minor, std::uint16_t patch,
                                           std::uint16_t build,
                                           const std::vector<std::pair<std::string, std::string>>& strings)
{
    std::vector<std::uint8_t> fixed(52, 0);
    PutU32(fixed, 0, 0xfeef04bd);
    PutU32(fixed, 4, 0x10000);
    PutU32(fixed, 8, static_cast<std::uint32_t>(major) << 16 | minor);
    PutU32(fixed, 12, static_cast<std::uint32_t>(patch) << 16 | build);
    PutU32(fixed, 16, static_cast<std::uint32_t>(major) << 16 | minor);
    PutU32(fixed, 20, static_cast<std::uint32_t>(patch) << 16 | build);

    std::vector<std::vector<std::uint8_t>> entries;
    for (const auto& [key, value] : strings) {
        std::vector<std::uint8_t> text;
        AppendText(text, value);
        entries.push_back(Block(key, text, static_cast<std::uint16_t>(value.size() + 1), true, {}));
    }
    const auto table = Block("040904B0", {}, 0, true, entries);
    const auto stringInfo = Block("StringFileInfo", {}, 0, true, {table});
    std::vector<std::uint8_t> translation;
    AppendU16(translation, 0x409);
    AppendU16(translation, 1200);
    const auto varInfo = Block("VarFileInfo", {}, 0, true, {Block("Translation", translation, 4, false, {})});
    return Block("VS_VERSION_INFO", fixed, 52, false, {stringInfo, varInfo});
}

}  // namespace tallowfin::testing
