// What a signed file list carries beside the values every list has: the
// publication's serial on the document element, and every entry's SHA-256;
// optionally when the publication expires, and every entry's size. An
// updater without keys reads none of the first three.
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

// The attribute "expires" of the document element: the moment, in UTC
// seconds since 1970, after which an updater with keys no longer takes the
// list. Written as a serial is. Without it a list never expires.
std::optional<std::uint64_t> ReadListExpiry(std::string_view text);

// A list is a replay of an older publication when its serial is below the
// highest accepted. The same serial again is the same publication, fetched
// anew on every run.
constexpr bool AcceptsSerial(std::uint64_t serial, std::uint64_t highestAccepted)
{
    return serial >= highestAccepted;
}

// How far a serial may lie ahead of the client's clock (UTC seconds): a
// publisher's serial is by default the time it signed, and clocks differ by
// less than this. A stolen key that could publish a serial far ahead would
// otherwise lock out every real publication until that serial.
inline constexpr std::uint64_t kSerialLeadSeconds = 24 * 60 * 60;

constexpr bool SerialTooFarAhead(std::uint64_t serial, std::uint64_t now)
{
    return serial > now && serial - now > kSerialLeadSeconds;
}

// A list is taken up to the second before its expiry.
constexpr bool ListExpired(std::uint64_t expires, std::uint64_t now) { return now >= expires; }

// The decision on the document element of a signed list: its attribute
// texts (none where absent), the highest serial accepted before (the higher
// of the per-user and per-installation records and the build's floor) and
// the client's clock in UTC seconds.
struct ListHeadVerdict {
    std::optional<std::uint64_t> serial;  // the serial to record, when the list is taken
    std::string problem;                  // why it is not, in words; empty when it is
};
ListHeadVerdict JudgeSignedListHead(std::optional<std::string_view> serialText,
                                    std::optional<std::string_view> expiresText, std::uint64_t highestAccepted,
                                    std::uint64_t now);

// The digest text of an entry's "sha256": exactly 64 hexadecimal digits in
// either case, given back in lower case, the case of a digest the updater
// computes; nothing for any other text.
std::optional<std::string> ReadListedSha256(std::string_view text);

// An entry's "size": the file's length in bytes, in decimal digits without
// sign, blanks or leading zeros ("0" for an empty file), no larger than the
// largest file the updater fetches.
std::optional<std::uint64_t> ReadListedSize(std::string_view text);

}  // namespace tallowfin
