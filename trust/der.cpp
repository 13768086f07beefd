#include "trust/der.h"

namespace tallowfin::der {

std::nullopt_t Reader::Spent()
{
    rest_ = {};
    return std::nullopt;
}

std::optional<Element> Reader::TakeAny()
{
    if (rest_.size() < 2) return Spent();
    const auto tag = static_cast<std::uint8_t>(rest_[0]);
    std::size_t length = static_cast<std::uint8_t>(rest_[1]);
    std::size_t header = 2;
    // Tags above 30 take more bytes; none of the structures read here has one.
    if ((tag & 0x1F) == 0x1F) return Spent();
    if (length & 0x80) {
        // Long form: 1 or 2 length bytes (no structure here comes near 64
        // KiB), the first not zero, and only for lengths short form cannot
        // give. 0x80 alone would be the indefinite length of BER.
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 2 || rest_.size() < 2 + count) return Spent();
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = length << 8 | static_cast<std::uint8_t>(rest_[2 + i]);
        if (static_cast<std::uint8_t>(rest_[2]) == 0 || length < 0x80) return Spent();
        header += count;
    }
    if (rest_.size() - header < length) return Spent();
    Element element{tag, rest_.substr(header, length)};
    rest_.remove_prefix(header + length);
    return element;
}

std::optional<std::string_view> Reader::Take(std::uint8_t tag)
{
    const auto element = TakeAny();
    if (!element || element->tag != tag) return Spent();
    return element->value;
}

std::optional<std::string_view> Only(std::string_view bytes, std::uint8_t tag)
{
    Reader reader(bytes);
    const auto value = reader.Take(tag);
    if (!value || !reader.AtEnd()) return std::nullopt;
    return value;
}

}  // namespace tallowfin::der
