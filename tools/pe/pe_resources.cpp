#include "tools/pe/pe_resources.h"

#include <set>

#include "tools/pe/byte_view.h"
#include "tools/pe/pe_error.h"

namespace tallowfin::pe {

namespace {

constexpr std::uint32_t kHighBit = 0x8000'0000;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

void AppendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

// Walks the tree once, remembering every directory it entered: a directory
// reached twice is a loop or a shared subtree, and either could make the walk
// endless or its output explode, so both are refused.
class TreeWalker {
public:
    TreeWalker(std::span<const std::uint8_t> section, std::vector<ResourceEntry>& out)
        : tree_(section, "resource directory"), out_(out)
    {
    }

    void Walk(std::uint32_t offset, int level, ResourceEntry path)
    {
        if (!visited_.insert(offset).second) {
            throw PeFormatError("resource directory at offset " + Hex(offset) +
                                " is reached twice (a loop or a shared subdirectory)");
        }
        const std::size_t count = std::size_t{tree_.U16(offset + 12)} + tree_.U16(offset + 14);
        const ByteView entries(tree_.Sub(offset + kDirectoryHeaderSize, count * kEntrySize), "resource directory");
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t nameField = entries.U32(i * kEntrySize);
            const std::uint32_t target = entries.U32(i * kEntrySize + 4);
            const ResourceId id = IdOf(nameField);
            if (level == 0) path.type = id;
            if (level == 1) path.name = id;
            if (level == 2) path.language = id.id;

            const bool isDirectory = (target & kHighBit) != 0;
            if (level < 2) {
                if (!isDirectory) {
                    throw PeFormatError("resource " + id.ToString() + " holds data where a directory belongs");
                }
                Walk(target & ~kHighBit, level + 1, path);
            } else {
                if (isDirectory) throw PeFormatError("resource tree is deeper than type, name and language");
                const ByteView leaf(tree_.Sub(target, kDataEntrySize), "resource data entry");
                path.dataRva = leaf.U32(0);
                path.size = leaf.U32(4);
                out_.push_back(path);
            }
        }
    }

private:
    ResourceId IdOf(std::uint32_t field) const
    {
        if ((field & kHighBit) == 0) {
            if (field > 0xffff) throw PeFormatError("resource id " + Hex(field) + " is out of range");
            return ResourceId::Number(static_cast<std::uint16_t>(field));
        }
        const std::uint32_t at = field & ~kHighBit;
        const std::uint16_t length = tree_.U16(at);
        const ByteView chars(tree_.Sub(at + 2, std::size_t{length} * 2), "resource name");
        std::string name;
        for (std::size_t i = 0; i < length; ++i) {
            std::uint32_t unit = chars.U16(i * 2);
            // A surrogate pair makes one character; a lone half becomes U+FFFD.
            if (unit >= 0xd800 && unit < 0xdc00 && i + 1 < length) {
                const std::uint32_t low = chars.U16(i * 2 + 2);
                if (low >= 0xdc00 && low < 0xe000) {
                    unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
                    ++i;
                }
            }
            if (unit >= 0xd800 && unit < 0xe000) unit = 0xfffd;
            AppendUtf8(name, unit);
        }
        return ResourceId::Named(std::move(name));
    }

    ByteView tree_;
    std::vector<ResourceEntry>& out_;
    std::set<std::uint32_t> visited_;
};

}  // namespace

bool ResourceId::Matches(const ResourceId& other) const
{
    if (isName != other.isName) return false;
    if (!isName) return id == other.id;
    if (name.size() != other.name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (AsciiUpper(name[i]) != AsciiUpper(other.name[i])) return false;
    }
    return true;
}

std::string ResourceId::ToString() const { return isName ? name : "#" + std::to_string(id); }

ResourceDirectory::ResourceDirectory(const PeImage& image) : image_(image)
{
    const DataDirectory directory = image.Directory(kResourceDirectory);
    if (directory.rva == 0) return;
    // Offsets in the tree count from its root, and reach at most to the end
    // of the section holding it.
    TreeWalker(image.BytesFrom(directory.rva), entries_).Walk(0, 0, {});
    for (const ResourceEntry& e : entries_) {
        try {
            image.BytesAt(e.dataRva, e.size);
        } catch (const PeFormatError& error) {
            throw PeFormatError("data of resource " + e.type.ToString() + "/" + e.name.ToString() + ": " +
                                error.what());
        }
    }
}

std::vector<ResourceId> ResourceDirectory::Types() const
{
    std::vector<ResourceId> types;
    for (const ResourceEntry& e : entries_) {
        bool seen = false;
        for (const ResourceId& t : types) seen = seen || t.Matches(e.type);
        if (!seen) types.push_back(e.type);
    }
    return types;
}

const ResourceEntry* ResourceDirectory::Find(const ResourceId& type, const ResourceId& name) const
{
    for (const ResourceEntry& e : entries_) {
        if (e.type.Matches(type) && e.name.Matches(name)) return &e;
    }
    return nullptr;
}

std::span<const std::uint8_t> ResourceDirectory::Data(const ResourceEntry& entry) const
{
    return image_.BytesAt(entry.dataRva, entry.size);
}

}  // namespace tallowfin::pe
