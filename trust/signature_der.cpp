#include "trust/signature_der.h"

#include <algorithm>

#include "trust/der.h"

namespace tallowfin {

namespace {

constexpr std::size_t kHalf = 32;

// A positive INTEGER in its shortest form, left-padded to 32 bytes.
bool ReadHalf(der::Reader& reader, std::uint8_t* out)
{
    const auto value = reader.Take(der::kInteger);
    if (!value || value->empty()) return false;
    std::string_view digits = *value;
    const auto first = static_cast<std::uint8_t>(digits[0]);
    if (first & 0x80) return false;  // negative
    if (first == 0 && digits.size() > 1) {
        // A leading zero only where the next byte would read as a sign.
        if (!(static_cast<std::uint8_t>(digits[1]) & 0x80)) return false;
        digits.remove_prefix(1);
    }
    if (digits.size() > kHalf) return false;
    if (std::all_of(digits.begin(), digits.end(), [](char c) { return c == 0; })) return false;
    std::fill(out, out + kHalf, 0);
    std::copy(digits.begin(), digits.end(), out + (kHalf - digits.size()));
    return true;
}

std::string IntegerDer(const std::uint8_t* half)
{
    const std::uint8_t* begin = half;
    const std::uint8_t* end = half + kHalf;
    while (begin + 1 < end && *begin == 0) ++begin;
    std::string value;
    if (*begin & 0x80) value.push_back('\0');
    value.append(begin, end);
    return std::string{static_cast<char>(der::kInteger), static_cast<char>(value.size())} + value;
}

}  // namespace

std::optional<P256Signature> P256SignatureFromDer(std::string_view bytes)
{
    const auto sequence = der::Only(bytes, der::kSequence);
    if (!sequence) return std::nullopt;
    der::Reader reader(*sequence);
    P256Signature signature{};
    if (!ReadHalf(reader, signature.data()) || !ReadHalf(reader, signature.data() + kHalf) || !reader.AtEnd())
        return std::nullopt;
    return signature;
}

std::string DerFromP256Signature(const P256Signature& signature)
{
    const std::string body = IntegerDer(signature.data()) + IntegerDer(signature.data() + kHalf);
    return std::string{static_cast<char>(der::kSequence), static_cast<char>(body.size())} + body;
}

}  // namespace tallowfin
