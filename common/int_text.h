// Reads an integer from text the way the updater reads handle and process-id
// values: optional leading blanks, an optional sign, then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". At least one digit is
// needed and nothing may follow the digits. A decimal value must lie within the
// signed range of the type; a hexadecimal one may have as many significant
// digits as the type holds and is taken as a bit pattern. Any other text gives 0.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

namespace tallowfin {

template <std::signed_integral T>
T ReadIntegerText(std::string_view text) noexcept
{
    using U = std::make_unsigned_t<T>;
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;

    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    bool hex = false;
    if (i < text.size() && text[i] == '$') {
        hex = true;
        ++i;
    } else if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == text.size()) return 0;  // no digit at all

    U value = 0;
    if (hex) {
        constexpr U kTopNibble = static_cast<U>(U{0xF} << (std::numeric_limits<U>::digits - 4));
        for (; i < text.size(); ++i) {
            char c = text[i];
            unsigned digit;
            if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
            else return 0;
            if (value & kTopNibble) return 0;  // more significant digits than the type holds
            value = static_cast<U>((value << 4) | digit);
        }
    } else {
        // The magnitude may reach one past the largest positive value, for the
        // most negative number.
        const U limit = static_cast<U>(static_cast<U>(std::numeric_limits<T>::max()) + (negative ? 1u : 0u));
        for (; i < text.size(); ++i) {
            char c = text[i];
            if (c < '0' || c > '9') return 0;
            U digit = static_cast<U>(c - '0');
            if (value > (limit - digit) / 10) return 0;
            value = static_cast<U>(value * 10 + digit);
        }
    }
    if (negative) value = static_cast<U>(U{0} - value);
    return static_cast<T>(value);
}

}  // namespace tallowfin
