// MD5 and its digest text: published answers, every way of splitting the
// input, and a plain second implementation to compare lengths against.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/md5.h"

namespace tallowfin {
namespace {

// Straight from the algorithm's description, sharing nothing with the code
// under test: the constants come from the sine function, the steps run in a
// loop, and the padding is built as a whole message.
std::string ReferenceMd5(const std::string& input)
{
    std::uint32_t k[64];
    for (int i = 0; i < 64; ++i)
        k[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    static const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

    std::string message = input + '\x80';
    while (message.size() % 64 != 56) message += '\0';
    const std::uint64_t bits = std::uint64_t{input.size()} * 8;
    for (int i = 0; i < 8; ++i) message += static_cast<char>(bits >> (8 * i));

    std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            m[i] = 0;
            for (int j = 3; j >= 0; --j) m[i] = m[i] << 8 | static_cast<std::uint8_t>(message[block + 4 * i + j]);
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            const std::uint32_t sum = a + f + k[i] + m[g];
            const int s = shifts[i / 16][i % 4];
            a = d;
            d = c;
            c = b;
            b = b + (sum << s | sum >> (32 - s));
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    std::string text;
    char hex[3];
    for (std::uint32_t word : h)
        for (int i = 0; i < 4; ++i) {
            std::snprintf(hex, sizeof hex, "%02x", (word >> (8 * i)) & 0xFF);
            text += hex;
        }
    return text;
}

std::string Bytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(random());
    return bytes;
}

// Feeds `bytes` cut at the given offsets (ascending, within the input).
std::string ChunkedText(const std::string& bytes, const std::vector<std::size_t>& cuts)
{
    Md5 md5;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        md5.Update(bytes.data() + from, cut - from);
        from = cut;
    }
    md5.Update(bytes.data() + from, bytes.size() - from);
    return DigestText(md5.Finish());
}

TEST(Md5, GivesThePublishedDigestsOfTheTestSuite)
{
    EXPECT_EQ(Md5Text(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Text("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Text("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Text("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Text("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Text("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string digits;
    for (int i = 0; i < 8; ++i) digits += "1234567890";
    EXPECT_EQ(Md5Text(digits), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, AgreesWithMd5sumAroundThePaddingBoundaries)
{
    // Obtained on the build machine with `head -c N /dev/zero | tr '\0' x | md5sum`.
    const std::pair<std::size_t, const char*> answers[] = {
        {55, "04364420e25c512fd958a70738aa8f72"},  {56, "668a72d5ba17f08e62dabcafad6db14b"},
        {57, "693037871c4a9d3d8685018905cb530a"},  {63, "7dc2ca208106a2f703567bdff99d8981"},
        {64, "c1bb4f81d892b2d57947682aeb252456"},  {65, "1bc932052302d074bdec39795fe00cf6"},
        {119, "ab347a5f68c8a443cfcddc633f12c24f"}, {120, "fb98667f98096de92620b64f46e1c5b5"},
        {128, "d69cb61a6ee87200676eb0d4b90edbcb"}, {200, "30a83621ce5422fbdfdd539777458c78"},
    };
    for (const auto& [size, digest] : answers) {
        EXPECT_EQ(Md5Text(std::string(size, 'x')), digest) << size;
        EXPECT_EQ(ReferenceMd5(std::string(size, 'x')), digest) << "reference, " << size;
    }

    // Every byte value, high bits included: with python3 writing bytes
    // i & 0xFF for i in 0..999 into md5sum.
    std::string all(1000, '\0');
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>(i & 0xFF);
    EXPECT_EQ(Md5Text(all), "cbecbdb0fdd5cec1e242493b6008cc79");
}

TEST(Md5, MatchesTheReferenceForEveryLengthUpTo200)
{
    for (std::size_t size = 0; size <= 200; ++size) {
        const std::string bytes = Bytes(size, static_cast<unsigned>(size));
        const std::string expected = ReferenceMd5(bytes);
        EXPECT_EQ(Md5Text(bytes), expected) << size;

        Md5 byByte;
        for (char c : bytes) byByte.Update(&c, 1);
        EXPECT_EQ(DigestText(byByte.Finish()), expected) << "one byte at a time, " << size;
    }
}

TEST(Md5, GivesTheSameDigestHoweverTheInputIsSplit)
{
    const std::string bytes = Bytes(1000, 7);
    const std::string whole = Md5Text(bytes);
    ASSERT_EQ(whole, ReferenceMd5(bytes));

    // Two pieces, cut anywhere, and three pieces cut on either side of where
    // the buffered tail reaches the length field or fills a block.
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) EXPECT_EQ(ChunkedText(bytes, {cut}), whole) << cut;
    for (std::size_t first : {1u, 8u, 54u, 55u, 56u, 57u, 63u, 64u, 65u})
        for (std::size_t second = first; second <= first + 130; ++second)
            EXPECT_EQ(ChunkedText(bytes, {first, second}), whole) << first << "," << second;

    std::mt19937 random(42);
    for (int round = 0; round < 500; ++round) {
        std::vector<std::size_t> cuts(random() % 40);
        for (auto& cut : cuts) cut = random() % (bytes.size() + 1);
        std::sort(cuts.begin(), cuts.end());
        EXPECT_EQ(ChunkedText(bytes, cuts), whole) << "round " << round;
    }

    // A null pointer with no bytes is a legal empty piece.
    Md5 md5;
    md5.Update(nullptr, 0);
    md5.Update(bytes.data(), bytes.size());
    md5.Update(nullptr, 0);
    EXPECT_EQ(DigestText(md5.Finish()), whole);
}

TEST(Md5, CountsLengthsBeyondFourGigabits)
{
    // The bit count no longer fits 32 bits past 512 MiB. Obtained with
    // `head -c 537919488 /dev/zero | md5sum` (513 MiB).
    const std::vector<char> zeros(1 << 20, 0);
    Md5 md5;
    for (int i = 0; i < 513; ++i) md5.Update(zeros.data(), zeros.size());
    EXPECT_EQ(DigestText(md5.Finish()), "f3a8799d64129a6fd8a5aa56f199ac54");
}

TEST(Md5, StartsAfreshAfterFinishAndReset)
{
    Md5 md5;
    md5.Update("message ", 8);
    EXPECT_EQ(DigestText(md5.Finish()), ReferenceMd5("message "));
    md5.Update("abc", 3);
    EXPECT_EQ(DigestText(md5.Finish()), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(DigestText(md5.Finish()), "d41d8cd98f00b204e9800998ecf8427e");

    // A block's worth and a tail pending, then discarded.
    const std::string noise = Bytes(100, 3);
    md5.Update(noise.data(), noise.size());
    md5.Reset();
    md5.Update("abc", 3);
    EXPECT_EQ(DigestText(md5.Finish()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, WritesTheDigestAsLowerCaseHexInByteOrder)
{
    Md5Digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_EQ(DigestText(digest), "00112233445566778899aabbccddeeff");
    // Read back in either case as the same text; anything but a digest of
    // that length is none.
    EXPECT_EQ(ReadDigestText("00112233445566778899AABBccddEEFF", 16), DigestText(digest));
    for (const char* text : {"", "00112233445566778899aabbccddeef", "00112233445566778899aabbccddeeff0",
                             "0011223344556677 899aabbccddeeff", "g0112233445566778899aabbccddeeff"})
        EXPECT_EQ(ReadDigestText(text, 16), std::nullopt) << text;
}

}  // namespace
}  // namespace tallowfin
