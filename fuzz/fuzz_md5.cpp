// MD5 against a second implementation kept as plain as RFC 1321 reads, fed
// in one piece and in arbitrary pieces.
#include "common/md5.h"
#include "fuzz/fuzz_support.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using tallowfin::DigestText;
using tallowfin::Md5;
using tallowfin::Md5Digest;
using tallowfin::Md5Text;

namespace {

std::uint32_t RotateLeft(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// The whole message padded in one buffer, then every block in four plain
// rounds; no streaming state to get wrong.
Md5Digest ReferenceMd5(const std::uint8_t* bytes, std::size_t size)
{
    static const unsigned kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    static const std::array<std::uint32_t, 64> kSine = [] {
        std::array<std::uint32_t, 64> table{};
        // floor(abs(sin(i + 1)) * 2^32), written out to depend on no libm.
        const std::uint32_t values[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
            0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
            0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
            0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
            0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
            0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
            0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
        for (int i = 0; i < 64; ++i) table[i] = values[i];
        return table;
    }();

    std::vector<std::uint8_t> message(bytes, bytes + size);
    message.push_back(0x80);
    while (message.size() % 64 != 56) message.push_back(0);
    const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
    for (int i = 0; i < 8; ++i) message.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));

    std::uint32_t a0 = 0x67452301, b0 = 0xefcdab89, c0 = 0x98badcfe, d0 = 0x10325476;
    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            const std::uint8_t* p = &message[block + 4 * i];
            m[i] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        }
        std::uint32_t a = a0, b = b0, c = c0, d = d0;
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            if (i < 16) f = (b & c) | (~b & d), g = i;
            else if (i < 32) f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
            else if (i < 48) f = b ^ c ^ d, g = (3 * i + 5) % 16;
            else f = c ^ (b | ~d), g = (7 * i) % 16;
            const std::uint32_t next = b + RotateLeft(a + f + kSine[i] + m[g], kShift[i]);
            a = d;
            d = c;
            c = b;
            b = next;
        }
        a0 += a, b0 += b, c0 += c, d0 += d;
    }
    Md5Digest digest{};
    const std::uint32_t words[4] = {a0, b0, c0, d0};
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(words[i / 4] >> (8 * (i % 4)));
    return digest;
}

std::string Hex(const Md5Digest& digest)
{
    std::string out;
    for (const auto b : digest) {
        out.push_back("0123456789abcdef"[b >> 4]);
        out.push_back("0123456789abcdef"[b & 0xF]);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const auto cutSeed = data.ConsumeIntegral<std::uint64_t>();
    const std::vector<std::uint8_t> message = data.ConsumeRemainingBytes<std::uint8_t>();
    const Md5Digest expected = ReferenceMd5(message.data(), message.size());

    Md5 whole;
    whole.Update(message.data(), message.size());
    const Md5Digest digest = whole.Finish();
    FUZZ_CHECK(digest == expected);
    FUZZ_CHECK(DigestText(digest) == Hex(expected));
    FUZZ_CHECK(Md5Text(std::string_view(reinterpret_cast<const char*>(message.data()), message.size())) == Hex(expected));

    // Finishing starts afresh: the same object now digests the empty text.
    FUZZ_CHECK(whole.Finish() == ReferenceMd5(nullptr, 0));

    // Pieces of any size, empty ones included, make no difference.
    tallowfin::fuzz::Choices choose(cutSeed);
    Md5 pieces;
    for (std::size_t at = 0; at < message.size();) {
        const std::size_t piece = std::min<std::size_t>(message.size() - at, choose.Below(3) == 0 ? choose.Below(130) : choose.Below(9));
        pieces.Update(message.data() + at, piece);
        at += piece;
    }
    FUZZ_CHECK(pieces.Finish() == expected);
    return 0;
}
