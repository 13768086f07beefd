// MD5 (RFC 1321) and the updater's digest text: the digest bytes in the order
// the algorithm delivers them, two lower-case hexadecimal digits each (the
// same text for the SHA-256 of a signed list).
#pragma once

#include <array>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tallowfin {

using Md5Digest = std::array<std::uint8_t, 16>;

class Md5 {
public:
    Md5() noexcept { Reset(); }
    void Reset() noexcept;
    void Update(const void* data, std::size_t size) noexcept;
    // Finishes the digest; the object starts afresh afterwards.
    Md5Digest Finish() noexcept;

private:
    void Blocks(const std::uint8_t* data, std::size_t count) noexcept;

    std::uint32_t state_[4];
    std::uint64_t length_;  // bytes fed so far
    std::uint8_t pending_[64];
    std::size_t pendingSize_;
};

std::string DigestText(std::span<const std::uint8_t> digest);
// A digest of `bytes` bytes written as text by someone else: exactly twice as
// many hexadecimal digits, in either case (publishing tools on Windows often
// print capitals), given back as the digest text above; nothing for any other
// text. Two texts of one digest then compare equal as they should.
std::optional<std::string> ReadDigestText(std::string_view text, std::size_t bytes);
std::string Md5Text(std::string_view bytes);

}  // namespace tallowfin
