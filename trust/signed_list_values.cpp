#include "trust/signed_list_values.h"

namespace tallowfin {

std::optional<std::uint64_t> ReadListSerial(std::string_view text)
{
    if (text.empty() || text.size() > 19 || text[0] < '1' || text[0] > '9') return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        // 19 digits stay below 2^64; the range is checked once at the end.
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > kLargestListSerial) return std::nullopt;
    return value;
}

std::optional<std::string> ReadListedSha256(std::string_view text)
{
    if (text.size() != 64) return std::nullopt;
    std::string digest(text);
    for (char& c : digest) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return digest;
}

}  // namespace tallowfin
