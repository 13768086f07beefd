// What a signed file list carries beside the values every list has: the
// publication's serial on the document element, and every entry's SHA-256.
// An updater without keys reads neither.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowfin {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The serial is the attribute "serial" of the document element.
inline constexpr std::uint64_t kLargestListSerial = 0x7FFFFFFFFFFFFFFF;  // 2^63 - 1

// A serial written in decimal digits only, from 1 to 2^63 - 1, without sign,
// blanks or leading zeros: one number has one text, so the publisher and
// every client read the same value.
std::optional<std::uint64_t> ReadListSerial(std::string_view text);

// A list is a replay of an older publication when its serial is below the
// highest this user has accepted. The same serial again is the same
// publication, fetched anew on every run.
constexpr bool AcceptsSerial(std::uint64_t serial, std::uint64_t highestAccepted)
{
    return serial >= highestAccepted;
}

// The digest text of an entry's "sha256": exactly 64 hexadecimal digits in
// either case, given back in lower case, the case of a digest the updater
// computes; nothing for any other text.
std::optional<std::string> ReadListedSha256(std::string_view text);

}  // namespace tallowfin
