#include "tools/pe/byte_view.h"

#include <cstdio>

#include "tools/pe/pe_error.h"

namespace tallowfin::pe {

std::string Hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::span<const std::uint8_t> ByteView::Sub(std::size_t offset, std::size_t size) const
{
    if (!Contains(offset, size)) {
        throw PeFormatError(what_ + ": " + std::to_string(size) + " bytes at offset " + Hex(offset) +
                            " lie outside its " + std::to_string(bytes_.size()) + " bytes");
    }
    return bytes_.subspan(offset, size);
}

std::uint16_t ByteView::U16(std::size_t offset) const
{
    auto b = Sub(offset, 2);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint32_t ByteView::U32(std::size_t offset) const
{
    auto b = Sub(offset, 4);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint64_t ByteView::U64(std::size_t offset) const
{
    return static_cast<std::uint64_t>(U32(offset)) | static_cast<std::uint64_t>(U32(offset + 4)) << 32;
}

}  // namespace tallowfin::pe
