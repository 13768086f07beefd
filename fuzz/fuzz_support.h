// What the fuzz targets share: how a broken property stops the run, and text
// shaped like what the updater really handles.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tallowfin::fuzz {

// Printable form of bytes for a failure message: the input file libFuzzer
// keeps is the reproducer, this only says which values disagreed.
inline std::string Shown(std::string_view bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && c != '"' && c != '\\') {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xF]);
        }
    }
    return out + "\"";
}

[[noreturn]] inline void PropertyFailed(const char* condition, const char* file, int line, const std::string& detail)
{
    std::fprintf(stderr, "\nproperty broken: %s\n  at %s:%d\n", condition, file, line);
    if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
    // A trap rather than an exception: libFuzzer treats it like a sanitizer
    // finding and writes the input out as crash-*.
    __builtin_trap();
}

// Byte values of the code page 949 double-byte characters: any lead byte from
// 0x81 to 0xFE, and a trail byte that is a letter or 0x81 to 0xFE. No trail
// byte is a quote, a blank, a backslash, a colon or a dot, which is what lets
// byte-wise path rules work on such text.
inline bool IsCp949TrailByte(unsigned char b)
{
    return (b >= 0x41 && b <= 0x5A) || (b >= 0x61 && b <= 0x7A) || (b >= 0x81 && b <= 0xFE);
}

inline unsigned char Cp949TrailFrom(unsigned char any)
{
    const unsigned index = any % (26u + 26u + 126u);
    if (index < 26) return static_cast<unsigned char>(0x41 + index);
    if (index < 52) return static_cast<unsigned char>(0x61 + index - 26);
    return static_cast<unsigned char>(0x81 + index - 52);
}

// Text whose double-byte characters are all complete, as every name and path
// in the ANSI code page is: a lead byte (0x81 to 0xFE) keeps the next byte,
// made a trail byte if it is none, and a lead byte left without one is
// dropped. Real code page 949 text passes unchanged. `avoid` bytes (and zero)
// standing alone become `instead`.
inline std::string Cp949Text(FuzzedDataProvider& data, std::size_t maxBytes, std::string_view avoid, char instead)
{
    const std::string raw = data.ConsumeRandomLengthString(maxBytes);
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto b = static_cast<unsigned char>(raw[i]);
        if (b >= 0x81 && b <= 0xFE) {
            if (i + 1 == raw.size()) break;
            const auto next = static_cast<unsigned char>(raw[++i]);
            text.push_back(static_cast<char>(b));
            text.push_back(static_cast<char>(IsCp949TrailByte(next) ? next : Cp949TrailFrom(next)));
        } else if (b == 0 || avoid.find(static_cast<char>(b)) != std::string_view::npos) {
            text.push_back(instead);
        } else {
            text.push_back(static_cast<char>(b));
        }
    }
    return text;
}

// A tiny generator for decisions that need not steer the fuzzer one by one.
class Choices {
public:
    explicit Choices(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    std::uint64_t Next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    // True once in `n` times.
    bool OneIn(unsigned n) { return Next() % n == 0; }
    unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }

private:
    std::uint64_t state_;
};

}  // namespace tallowfin::fuzz

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) ::tallowfin::fuzz::PropertyFailed(#condition, __FILE__, __LINE__, {}); \
    } while (0)

#define FUZZ_CHECK_SAID(condition, detail)                                                       \
    do {                                                                                         \
        if (!(condition)) ::tallowfin::fuzz::PropertyFailed(#condition, __FILE__, __LINE__, (detail)); \
    } while (0)
