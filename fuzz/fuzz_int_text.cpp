// The integer reader against a reference written for clarity rather than
// speed, at every width, and on numbers formatted from chosen values; and the
// numbers and digests a signed list carries (serial, expiry, size, SHA-256)
// against plain readers of their one form, with the decision on a list's
// head held to what it promises.
#include "common/int_text.h"
#include "common/limits.h"
#include "fuzz/fuzz_support.h"
#include "trust/signed_list_values.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

using tallowfin::ReadIntegerText;
using tallowfin::fuzz::Shown;

namespace {

int DigitValue(char c, int base)
{
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

struct Form {
    bool number = false;  // blanks, sign, prefix and digits in that order
    bool negative = false;
    int base = 10;
    std::string_view significant;  // the digits without leading zeros
};

Form FormOf(std::string_view text)
{
    Form form;
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return form;
    std::string_view rest = text.substr(first);
    if (rest.starts_with('+') || rest.starts_with('-')) {
        form.negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    if (rest.starts_with('$') || rest.starts_with('x') || rest.starts_with('X')) {
        form.base = 16;
        rest.remove_prefix(1);
    } else if (rest.starts_with("0x") || rest.starts_with("0X")) {
        form.base = 16;
        rest.remove_prefix(2);
    }
    if (rest.empty()) return form;
    for (const char c : rest)
        if (DigitValue(c, form.base) < 0) return form;
    const auto nonZero = rest.find_first_not_of('0');
    form.significant = nonZero == std::string_view::npos ? std::string_view() : rest.substr(nonZero);
    form.number = true;
    return form;
}

// The value judged by how many significant digits there are, then by
// magnitude in 128-bit arithmetic.
template <class T>
T Reference(std::string_view text)
{
    using U = std::make_unsigned_t<T>;
    constexpr int kBits = std::numeric_limits<U>::digits;
    const Form form = FormOf(text);
    // More digits than any value of 64 bits has.
    if (!form.number || form.significant.size() > 20) return 0;
    unsigned __int128 magnitude = 0;
    for (const char c : form.significant)
        magnitude = magnitude * static_cast<unsigned>(form.base) + static_cast<unsigned>(DigitValue(c, form.base));

    if (form.base == 16) {
        if (form.significant.size() > static_cast<std::size_t>(kBits / 4)) return 0;
        const unsigned __int128 pattern = form.negative ? (~magnitude + 1) : magnitude;
        return static_cast<T>(static_cast<U>(pattern & std::numeric_limits<U>::max()));
    }
    const auto max = static_cast<unsigned __int128>(std::numeric_limits<T>::max());
    if (magnitude > max + (form.negative ? 1 : 0)) return 0;
    const __int128 value = form.negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
    return static_cast<T>(value);
}

template <class T>
void CheckAgainstReference(std::string_view text)
{
    const T read = ReadIntegerText<T>(text);
    const T expected = Reference<T>(text);
    FUZZ_CHECK_SAID(read == expected, std::to_string(sizeof(T) * 8) + " bits, " + Shown(text) + ": read " +
                                          std::to_string(read) + ", expected " + std::to_string(expected));
}

// Where the wider reading fits the narrower type, the narrower reader gives
// the same value, except for hexadecimal with more significant digits than
// the narrower type holds: "$FFFFFFFFFFFFFFFF" is -1 in 64 bits and no number
// in 32.
template <class Narrow, class Wide>
void CheckNarrowAgreesWhereItFits(std::string_view text)
{
    const Wide wide = ReadIntegerText<Wide>(text);
    if (wide < std::numeric_limits<Narrow>::min() || wide > std::numeric_limits<Narrow>::max()) return;
    const Form form = FormOf(text);
    const bool tooLongForNarrow =
        form.base == 16 && form.significant.size() > static_cast<std::size_t>(std::numeric_limits<std::make_unsigned_t<Narrow>>::digits / 4);
    const Narrow expected = tooLongForNarrow ? Narrow{0} : static_cast<Narrow>(wide);
    FUZZ_CHECK_SAID(ReadIntegerText<Narrow>(text) == expected, Shown(text));
}

std::string DecimalOf(std::uint64_t magnitude)
{
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    return digits;
}

std::string HexOf(std::uint64_t pattern, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), digits[pattern & 0xF]);
        pattern >>= 4;
    } while (pattern != 0);
    return out;
}

// Writes a chosen value in one of the accepted forms and reads it back.
void CheckFormattedValue(FuzzedDataProvider& data)
{
    const auto value = data.ConsumeIntegral<std::int64_t>();
    const std::string blanks(data.ConsumeIntegralInRange<std::size_t>(0, 3), ' ');
    const std::string zeros(data.ConsumeIntegralInRange<std::size_t>(0, 3), '0');

    if (data.ConsumeBool()) {
        const bool negative = value < 0;
        const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                                 : static_cast<std::uint64_t>(value);
        const std::string sign = negative ? "-" : (data.ConsumeBool() ? "+" : "");
        const std::string text = blanks + sign + zeros + DecimalOf(magnitude);
        FUZZ_CHECK_SAID(ReadIntegerText<std::int64_t>(text) == value, text);
        const bool fits = value >= INT32_MIN && value <= INT32_MAX;
        FUZZ_CHECK_SAID(ReadIntegerText<std::int32_t>(text) == (fits ? static_cast<std::int32_t>(value) : 0), text);
        return;
    }

    static constexpr std::string_view kPrefixes[] = {"$", "x", "X", "0x", "0X"};
    const std::string_view prefix = kPrefixes[data.ConsumeIntegralInRange<std::size_t>(0, 4)];
    const auto pattern = static_cast<std::uint64_t>(value);
    const bool negative = data.ConsumeBool();
    const std::string digits = HexOf(pattern, data.ConsumeBool());
    const std::string text = blanks + (negative ? "-" : "") + std::string(prefix) + zeros + digits;
    const std::uint64_t expected64 = negative ? std::uint64_t{0} - pattern : pattern;
    FUZZ_CHECK_SAID(ReadIntegerText<std::int64_t>(text) == static_cast<std::int64_t>(expected64), text);
    // Eight significant digits fill 32 bits; a ninth makes the text no number.
    const std::uint32_t expected32 = digits.size() <= 8 ? static_cast<std::uint32_t>(expected64) : 0;
    FUZZ_CHECK_SAID(ReadIntegerText<std::int32_t>(text) == static_cast<std::int32_t>(expected32), text);
}

// Digits only, and no leading zero but in "0": the one text of a number.
std::optional<unsigned __int128> PlainDecimal(std::string_view text)
{
    if (text.empty() || text.size() > 30 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    unsigned __int128 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

void CheckListValues(std::string_view text)
{
    using namespace tallowfin;
    const auto plain = PlainDecimal(text);
    const bool serial = plain && *plain >= 1 && *plain <= kLargestListSerial;
    FUZZ_CHECK_SAID(ReadListSerial(text).has_value() == serial, Shown(text));
    FUZZ_CHECK_SAID(ReadListExpiry(text).has_value() == serial, Shown(text));
    if (serial) FUZZ_CHECK(*ReadListSerial(text) == *plain && *ReadListExpiry(text) == *plain);
    const bool size = plain && *plain <= limits::kLargestFile;
    FUZZ_CHECK_SAID(ReadListedSize(text).has_value() == size, Shown(text));
    if (size) FUZZ_CHECK(*ReadListedSize(text) == *plain);

    bool hex = text.size() == 64;
    std::string lower(text);
    for (char& c : lower) {
        hex = hex && DigitValue(c, 16) >= 0;
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    const auto digest = ReadListedSha256(text);
    FUZZ_CHECK_SAID(digest.has_value() == hex, Shown(text));
    if (hex) FUZZ_CHECK(*digest == lower);
}

// Whatever the head of a list and the records say, a list is taken only with
// a serial from the highest accepted on, no more than a day ahead of the
// clock, before it expires; and the serial taken is the one it carries.
void CheckListHead(FuzzedDataProvider& data)
{
    using namespace tallowfin;
    const std::string serialText = data.ConsumeRandomLengthString(24);
    const std::string expiresText = data.ConsumeRandomLengthString(24);
    const bool hasSerial = data.ConsumeBool();
    const bool hasExpiry = data.ConsumeBool();
    const auto highest = data.ConsumeIntegral<std::uint64_t>();
    const auto now = data.ConsumeIntegral<std::uint64_t>() >> data.ConsumeIntegralInRange(0, 63);
    const ListHeadVerdict verdict =
        JudgeSignedListHead(hasSerial ? std::optional<std::string_view>(serialText) : std::nullopt,
                            hasExpiry ? std::optional<std::string_view>(expiresText) : std::nullopt, highest, now);
    FUZZ_CHECK(verdict.serial.has_value() == verdict.problem.empty());
    if (!verdict.serial) return;
    FUZZ_CHECK(hasSerial && ReadListSerial(serialText) == verdict.serial);
    FUZZ_CHECK(*verdict.serial >= highest);
    FUZZ_CHECK(*verdict.serial <= now || *verdict.serial - now <= kSerialLeadSeconds);
    if (hasExpiry) FUZZ_CHECK(ReadListExpiry(expiresText) && *ReadListExpiry(expiresText) > now);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    CheckAgainstReference<std::int8_t>(text);
    CheckAgainstReference<std::int16_t>(text);
    CheckAgainstReference<std::int32_t>(text);
    CheckAgainstReference<std::int64_t>(text);
    CheckNarrowAgreesWhereItFits<std::int32_t, std::int64_t>(text);
    CheckNarrowAgreesWhereItFits<std::int16_t, std::int32_t>(text);

    CheckListValues(text);

    FuzzedDataProvider data(bytes, size);
    CheckFormattedValue(data);
    CheckListHead(data);
    return 0;
}
