// A reader of the few DER structures the trust code meets (a signature, a
// public key): one tag, length and value at a time, over bytes in memory.
// Strict, as DER is: a length in the fewest bytes, never indefinite, and no
// value running past its container. Nothing here trusts what it reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tallowfin::der {

inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kObjectId = 0x06;
inline constexpr std::uint8_t kSequence = 0x30;

struct Element {
    std::uint8_t tag = 0;
    std::string_view value;
};

class Reader {
public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}

    // The next element, if it has this tag and a well-formed length within
    // the bytes left; nothing otherwise (and the reader is then spent).
    std::optional<std::string_view> Take(std::uint8_t tag);
    // The next element, whatever its tag.
    std::optional<Element> TakeAny();
    bool AtEnd() const { return rest_.empty(); }

private:
    std::nullopt_t Spent();

    std::string_view rest_;
};

// The whole of `bytes` as exactly one element of this tag, nothing after it.
std::optional<std::string_view> Only(std::string_view bytes, std::uint8_t tag);

}  // namespace tallowfin::der
