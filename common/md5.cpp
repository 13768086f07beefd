// MD5 after RFC 1321. The block function is the hot loop of every installation
// check, so it is written for speed: blocks are read straight from the
// caller's buffer, the 64 steps are unrolled by hand, and the round functions
// use forms that shorten the dependency chain through `a`.
#include "common/md5.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tallowfin {

namespace {

// memcpy compiles to a single load on x86 and stays correct on targets that
// fault on unaligned words or store them big-endian (the byte swap is only
// emitted there).
inline std::uint32_t LoadLe32(const std::uint8_t* p) noexcept
{
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    }
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t v) noexcept
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t Rotl(std::uint32_t v, int s) noexcept
{
    return (v << s) | (v >> (32 - s));
}

// The message word and the constant are added to `a` before the round
// function, so that addition overlaps with the previous step's work; only the
// round function and the rotate remain on the critical path.

// F = (b & c) | (~b & d), as a single select: one instruction shorter.
#define TF_MD5_F(a, b, c, d, x, s, k)              \
    a += (x) + (k);                                \
    a += (d) ^ ((b) & ((c) ^ (d)));                \
    a = Rotl(a, s) + (b)

// G = (b & d) | (c & ~d). The two halves never both have a bit set, so they
// can be added separately; the (c & ~d) half does not depend on b, the result
// of the step before, and is computed while b is still in flight.
#define TF_MD5_G(a, b, c, d, x, s, k)              \
    a += (x) + (k);                                \
    a += (c) & ~(d);                               \
    a += (b) & (d);                                \
    a = Rotl(a, s) + (b)

#define TF_MD5_H(a, b, c, d, x, s, k)              \
    a += (x) + (k);                                \
    a += (b) ^ (c) ^ (d);                          \
    a = Rotl(a, s) + (b)

#define TF_MD5_I(a, b, c, d, x, s, k)              \
    a += (x) + (k);                                \
    a += (c) ^ ((b) | ~(d));                       \
    a = Rotl(a, s) + (b)

constexpr std::uint32_t kInitial[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

}  // namespace

void Md5::Reset() noexcept
{
    std::memcpy(state_, kInitial, sizeof state_);
    length_ = 0;
    pendingSize_ = 0;
}

void Md5::Blocks(const std::uint8_t* data, std::size_t count) noexcept
{
    std::uint32_t a = state_[0];
    std::uint32_t b = state_[1];
    std::uint32_t c = state_[2];
    std::uint32_t d = state_[3];

    for (; count != 0; --count, data += 64) {
        // Loading the sixteen words up front lets the compiler keep them in
        // registers or fold them into the adds, whichever is cheaper.
        const std::uint32_t x0 = LoadLe32(data + 0), x1 = LoadLe32(data + 4), x2 = LoadLe32(data + 8),
                            x3 = LoadLe32(data + 12), x4 = LoadLe32(data + 16), x5 = LoadLe32(data + 20),
                            x6 = LoadLe32(data + 24), x7 = LoadLe32(data + 28), x8 = LoadLe32(data + 32),
                            x9 = LoadLe32(data + 36), x10 = LoadLe32(data + 40), x11 = LoadLe32(data + 44),
                            x12 = LoadLe32(data + 48), x13 = LoadLe32(data + 52), x14 = LoadLe32(data + 56),
                            x15 = LoadLe32(data + 60);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        TF_MD5_F(a, b, c, d, x0, 7, 0xd76aa478u);
        TF_MD5_F(d, a, b, c, x1, 12, 0xe8c7b756u);
        TF_MD5_F(c, d, a, b, x2, 17, 0x242070dbu);
        TF_MD5_F(b, c, d, a, x3, 22, 0xc1bdceeeu);
        TF_MD5_F(a, b, c, d, x4, 7, 0xf57c0fafu);
        TF_MD5_F(d, a, b, c, x5, 12, 0x4787c62au);
        TF_MD5_F(c, d, a, b, x6, 17, 0xa8304613u);
        TF_MD5_F(b, c, d, a, x7, 22, 0xfd469501u);
        TF_MD5_F(a, b, c, d, x8, 7, 0x698098d8u);
        TF_MD5_F(d, a, b, c, x9, 12, 0x8b44f7afu);
        TF_MD5_F(c, d, a, b, x10, 17, 0xffff5bb1u);
        TF_MD5_F(b, c, d, a, x11, 22, 0x895cd7beu);
        TF_MD5_F(a, b, c, d, x12, 7, 0x6b901122u);
        TF_MD5_F(d, a, b, c, x13, 12, 0xfd987193u);
        TF_MD5_F(c, d, a, b, x14, 17, 0xa679438eu);
        TF_MD5_F(b, c, d, a, x15, 22, 0x49b40821u);

        TF_MD5_G(a, b, c, d, x1, 5, 0xf61e2562u);
        TF_MD5_G(d, a, b, c, x6, 9, 0xc040b340u);
        TF_MD5_G(c, d, a, b, x11, 14, 0x265e5a51u);
        TF_MD5_G(b, c, d, a, x0, 20, 0xe9b6c7aau);
        TF_MD5_G(a, b, c, d, x5, 5, 0xd62f105du);
        TF_MD5_G(d, a, b, c, x10, 9, 0x02441453u);
        TF_MD5_G(c, d, a, b, x15, 14, 0xd8a1e681u);
        TF_MD5_G(b, c, d, a, x4, 20, 0xe7d3fbc8u);
        TF_MD5_G(a, b, c, d, x9, 5, 0x21e1cde6u);
        TF_MD5_G(d, a, b, c, x14, 9, 0xc33707d6u);
        TF_MD5_G(c, d, a, b, x3, 14, 0xf4d50d87u);
        TF_MD5_G(b, c, d, a, x8, 20, 0x455a14edu);
        TF_MD5_G(a, b, c, d, x13, 5, 0xa9e3e905u);
        TF_MD5_G(d, a, b, c, x2, 9, 0xfcefa3f8u);
        TF_MD5_G(c, d, a, b, x7, 14, 0x676f02d9u);
        TF_MD5_G(b, c, d, a, x12, 20, 0x8d2a4c8au);

        TF_MD5_H(a, b, c, d, x5, 4, 0xfffa3942u);
        TF_MD5_H(d, a, b, c, x8, 11, 0x8771f681u);
        TF_MD5_H(c, d, a, b, x11, 16, 0x6d9d6122u);
        TF_MD5_H(b, c, d, a, x14, 23, 0xfde5380cu);
        TF_MD5_H(a, b, c, d, x1, 4, 0xa4beea44u);
        TF_MD5_H(d, a, b, c, x4, 11, 0x4bdecfa9u);
        TF_MD5_H(c, d, a, b, x7, 16, 0xf6bb4b60u);
        TF_MD5_H(b, c, d, a, x10, 23, 0xbebfbc70u);
        TF_MD5_H(a, b, c, d, x13, 4, 0x289b7ec6u);
        TF_MD5_H(d, a, b, c, x0, 11, 0xeaa127fau);
        TF_MD5_H(c, d, a, b, x3, 16, 0xd4ef3085u);
        TF_MD5_H(b, c, d, a, x6, 23, 0x04881d05u);
        TF_MD5_H(a, b, c, d, x9, 4, 0xd9d4d039u);
        TF_MD5_H(d, a, b, c, x12, 11, 0xe6db99e5u);
        TF_MD5_H(c, d, a, b, x15, 16, 0x1fa27cf8u);
        TF_MD5_H(b, c, d, a, x2, 23, 0xc4ac5665u);

        TF_MD5_I(a, b, c, d, x0, 6, 0xf4292244u);
        TF_MD5_I(d, a, b, c, x7, 10, 0x432aff97u);
        TF_MD5_I(c, d, a, b, x14, 15, 0xab9423a7u);
        TF_MD5_I(b, c, d, a, x5, 21, 0xfc93a039u);
        TF_MD5_I(a, b, c, d, x12, 6, 0x655b59c3u);
        TF_MD5_I(d, a, b, c, x3, 10, 0x8f0ccc92u);
        TF_MD5_I(c, d, a, b, x10, 15, 0xffeff47du);
        TF_MD5_I(b, c, d, a, x1, 21, 0x85845dd1u);
        TF_MD5_I(a, b, c, d, x8, 6, 0x6fa87e4fu);
        TF_MD5_I(d, a, b, c, x15, 10, 0xfe2ce6e0u);
        TF_MD5_I(c, d, a, b, x6, 15, 0xa3014314u);
        TF_MD5_I(b, c, d, a, x13, 21, 0x4e0811a1u);
        TF_MD5_I(a, b, c, d, x4, 6, 0xf7537e82u);
        TF_MD5_I(d, a, b, c, x11, 10, 0xbd3af235u);
        TF_MD5_I(c, d, a, b, x2, 15, 0x2ad7d2bbu);
        TF_MD5_I(b, c, d, a, x9, 21, 0xeb86d391u);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }

    state_[0] = a;
    state_[1] = b;
    state_[2] = c;
    state_[3] = d;
}

#undef TF_MD5_F
#undef TF_MD5_G
#undef TF_MD5_H
#undef TF_MD5_I

void Md5::Update(const void* data, std::size_t size) noexcept
{
    if (size == 0) return;  // data may be null then; memcpy must not see it
    auto in = static_cast<const std::uint8_t*>(data);
    length_ += size;

    if (pendingSize_ != 0) {
        const std::size_t take = std::min(size, sizeof pending_ - pendingSize_);
        std::memcpy(pending_ + pendingSize_, in, take);
        pendingSize_ += take;
        in += take;
        size -= take;
        if (pendingSize_ < sizeof pending_) return;
        Blocks(pending_, 1);
        pendingSize_ = 0;
    }

    const std::size_t whole = size / 64;
    if (whole != 0) {
        Blocks(in, whole);
        in += whole * 64;
        size -= whole * 64;
    }
    if (size != 0) {
        std::memcpy(pending_, in, size);
        pendingSize_ = size;
    }
}

Md5Digest Md5::Finish() noexcept
{
    const std::uint64_t bits = length_ * 8;

    // The padding: a 1 bit, zeros up to 56 bytes into a block, then the
    // length in bits. Written in place after the pending bytes, so it costs
    // one block, or two when fewer than 8 bytes are left for the length.
    pending_[pendingSize_++] = 0x80;
    if (pendingSize_ > 56) {
        std::memset(pending_ + pendingSize_, 0, sizeof pending_ - pendingSize_);
        Blocks(pending_, 1);
        pendingSize_ = 0;
    }
    std::memset(pending_ + pendingSize_, 0, 56 - pendingSize_);
    StoreLe32(pending_ + 56, static_cast<std::uint32_t>(bits));
    StoreLe32(pending_ + 60, static_cast<std::uint32_t>(bits >> 32));
    Blocks(pending_, 1);

    Md5Digest digest;
    for (int i = 0; i < 4; ++i) StoreLe32(digest.data() + 4 * i, state_[i]);
    Reset();
    return digest;
}

std::string DigestText(std::span<const std::uint8_t> digest)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(digest.size() * 2, '\0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    return text;
}

std::optional<std::string> ReadDigestText(std::string_view text, std::size_t bytes)
{
    if (text.size() != 2 * bytes) return std::nullopt;
    std::string digest(text);
    for (char& c : digest) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return digest;
}

std::string Md5Text(std::string_view bytes)
{
    Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return DigestText(md5.Finish());
}

}  // namespace tallowfin
