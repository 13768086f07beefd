#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tallowfin::pe {

// Little-endian reads from a span, every one bounds-checked. Offsets come from
// the file itself, so each read is a place where a bad file could reach
// outside the buffer; the checks throw PeFormatError naming what was read.
class ByteView {
public:
    ByteView(std::span<const std::uint8_t> bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

    std::size_t Size() const { return bytes_.size(); }
    std::span<const std::uint8_t> Bytes() const { return bytes_; }

    std::uint16_t U16(std::size_t offset) const;
    std::uint32_t U32(std::size_t offset) const;
    std::uint64_t U64(std::size_t offset) const;
    std::span<const std::uint8_t> Sub(std::size_t offset, std::size_t size) const;
    bool Contains(std::size_t offset, std::size_t size) const
    {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::string what_;
};

// "0x14c" style, for messages.
std::string Hex(std::uint64_t value);

}  // namespace tallowfin::pe
