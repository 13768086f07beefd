#include "trust/signed_list_values.h"

#include "common/limits.h"
#include "common/md5.h"

namespace tallowfin {

namespace {

// Decimal digits only, without sign, blanks or leading zeros ("0" alone is
// zero), no larger than `largest` (below 2^63).
std::optional<std::uint64_t> ReadPlainDecimal(std::string_view text, std::uint64_t largest)
{
    if (text.empty() || text.size() > 19 || text[0] < '0' || text[0] > '9') return std::nullopt;
    if (text[0] == '0' && text.size() > 1) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        // 19 digits stay below 2^64; the range is checked once at the end.
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > largest) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint64_t> ReadListSerial(std::string_view text)
{
    const auto value = ReadPlainDecimal(text, kLargestListSerial);
    if (value == 0u) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> ReadListExpiry(std::string_view text) { return ReadListSerial(text); }

ListHeadVerdict JudgeSignedListHead(std::optional<std::string_view> serialText,
                                    std::optional<std::string_view> expiresText, std::uint64_t highestAccepted,
                                    std::uint64_t now)
{
    ListHeadVerdict verdict;
    const auto serial = serialText ? ReadListSerial(*serialText) : std::nullopt;
    if (!serial) {
        verdict.problem = "The file list has no well-formed serial";
    } else if (!AcceptsSerial(*serial, highestAccepted)) {
        verdict.problem = "The file list is an older publication (serial " + std::to_string(*serial) + ", after " +
                          std::to_string(highestAccepted) + ")";
    } else if (SerialTooFarAhead(*serial, now)) {
        // Never recorded: a serial taken once would refuse every real list
        // below it for as long as it stands.
        verdict.problem = "The file list's serial " + std::to_string(*serial) +
                          " lies more than a day ahead of this computer's clock (" + std::to_string(now) + ")";
    } else if (expiresText) {
        const auto expires = ReadListExpiry(*expiresText);
        if (!expires)
            verdict.problem = "The file list has an expiry that is not well-formed";
        else if (ListExpired(*expires, now))
            verdict.problem = "The file list expired at " + std::to_string(*expires) + " (the clock says " +
                              std::to_string(now) + ")";
    }
    if (verdict.problem.empty()) verdict.serial = serial;
    return verdict;
}

std::optional<std::string> ReadListedSha256(std::string_view text)
{
    return ReadDigestText(text, 32);
}

std::optional<std::uint64_t> ReadListedSize(std::string_view text)
{
    return ReadPlainDecimal(text, limits::kLargestFile);
}

}  // namespace tallowfin
