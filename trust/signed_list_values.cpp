#include "trust/signed_list_values.h"

#include "common/md5.h"

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
    return ReadDigestText(text, 32);
}

}  // namespace tallowfin
