#include "tools/pe/version_info.h"

#include <algorithm>

#include "tools/pe/byte_view.h"
#include "tools/pe/pe_error.h"

namespace tallowfin::pe {

namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xfeef04bd;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::size_t kBlockHeaderSize = 6;

std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// Version data only holds key and value texts of the resource compiler's
// choosing; anything outside ASCII is kept as UTF-8 of the BMP character.
std::string Narrow(const ByteView& text, std::size_t at, std::size_t end, std::size_t* after = nullptr)
{
    std::string out;
    for (; at + 2 <= end; at += 2) {
        const std::uint16_t unit = text.U16(at);
        if (unit == 0) {
            if (after) *after = at + 2;
            return out;
        }
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xc0 | unit >> 6);
            out += static_cast<char>(0x80 | (unit & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | unit >> 12);
            out += static_cast<char>(0x80 | (unit >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (unit & 0x3f));
        }
    }
    if (after) throw PeFormatError("version block key is not terminated");
    return out;
}

// One block: wLength, wValueLength, wType, a NUL-terminated key, padding,
// the value, padding, child blocks. Offsets are from the start of the data,
// where the 32-bit alignment counts from.
struct Block {
    std::string key;
    std::size_t valueStart = 0;
    std::size_t valueLength = 0;  // as stored: words for text, bytes for binary
    std::size_t childrenStart = 0;
    std::size_t end = 0;
};

Block ReadBlock(const ByteView& data, std::size_t at, std::size_t limit)
{
    Block b;
    const std::uint16_t length = data.U16(at);
    if (length < kBlockHeaderSize || at + length > limit) {
        throw PeFormatError("version block at " + Hex(at) + " claims " + std::to_string(length) +
                            " bytes, outside its parent");
    }
    b.end = at + length;
    b.valueLength = data.U16(at + 2);
    const bool text = data.U16(at + 4) == 1;
    std::size_t afterKey = 0;
    b.key = Narrow(data, at + kBlockHeaderSize, b.end, &afterKey);
    b.valueStart = Align4(afterKey);
    const std::size_t valueBytes = text ? b.valueLength * 2 : b.valueLength;
    b.childrenStart = std::min(b.end, Align4(b.valueStart + valueBytes));
    return b;
}

template <typename Visit>
void ForEachChild(const ByteView& data, const Block& parent, Visit visit)
{
    for (std::size_t at = parent.childrenStart; at + kBlockHeaderSize <= parent.end;) {
        const Block child = ReadBlock(data, at, parent.end);
        visit(child);
        at = Align4(child.end);
    }
}

}  // namespace

std::string VersionText(const std::array<std::uint16_t, 4>& v)
{
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

VersionInfo ParseVersionInfo(std::span<const std::uint8_t> bytes)
{
    const ByteView data(bytes, "version resource");
    const Block root = ReadBlock(data, 0, data.Size());
    if (root.key != "VS_VERSION_INFO") throw PeFormatError("version resource has key \"" + root.key + "\"");
    if (root.valueLength < kFixedInfoSize || data.U32(root.valueStart) != kFixedInfoSignature) {
        throw PeFormatError("version resource lacks its fixed file information");
    }

    VersionInfo info;
    auto split = [](std::uint32_t high, std::uint32_t low) {
        return std::array<std::uint16_t, 4>{static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
                                            static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
    };
    info.fileVersion = split(data.U32(root.valueStart + 8), data.U32(root.valueStart + 12));
    info.productVersion = split(data.U32(root.valueStart + 16), data.U32(root.valueStart + 20));

    ForEachChild(data, root, [&](const Block& fileInfo) {
        if (fileInfo.key != "StringFileInfo") return;
        ForEachChild(data, fileInfo, [&](const Block& table) {
            ForEachChild(data, table, [&](const Block& entry) {
                // The stored value length is characters for some compilers and
                // bytes for others; the text ends at its NUL or the block's end.
                info.strings.emplace(entry.key, Narrow(data, entry.valueStart, entry.end));
            });
        });
    });
    return info;
}

}  // namespace tallowfin::pe
