#include "trust/pem.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace tallowfin {

namespace {

constexpr std::string_view kDashes = "-----";
constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Canonical base64: four characters to three bytes, padding only to complete
// the last group, and the bits the padding leaves over all zero.
std::optional<std::string> DecodeBase64(std::string_view body)
{
    std::string digits;
    for (const char c : body)
        if (!IsBlank(c)) digits.push_back(c);
    if (digits.size() % 4 != 0) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 4) {
        const bool last = i + 4 == digits.size();
        const std::size_t padding = last ? (digits[i + 3] == '=') + (digits[i + 2] == '=' && digits[i + 3] == '=') : 0;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int value = k >= 4 - padding ? 0 : Base64Value(digits[i + k]);
            if (value < 0) return std::nullopt;
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        const char bytes[3] = {static_cast<char>(group >> 16), static_cast<char>(group >> 8), static_cast<char>(group)};
        if (padding == 2 && (group & 0xFFFF) != 0) return std::nullopt;
        if (padding == 1 && (group & 0xFF) != 0) return std::nullopt;
        out.append(bytes, 3 - padding);
    }
    return out;
}

// The label of a "-----BEGIN label-----" or "-----END label-----" line that
// starts at `line`, or nothing.
std::optional<std::string_view> LabelAfter(std::string_view line, std::string_view opener)
{
    if (!line.starts_with(opener)) return std::nullopt;
    line.remove_prefix(opener.size());
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    if (!line.ends_with(kDashes)) return std::nullopt;
    line.remove_suffix(kDashes.size());
    if (line.find_first_of("-\r\n") != std::string_view::npos) return std::nullopt;
    return line;
}

}  // namespace

PemReading ReadPem(std::string_view text)
{
    PemReading reading;
    std::size_t at = 0;
    auto nextLine = [&]() {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        return line;
    };
    while (at < text.size()) {
        const auto label = LabelAfter(nextLine(), kBegin);
        if (!label) continue;  // words between blocks
        const std::size_t bodyStart = at;
        std::optional<std::string_view> endLabel;
        std::size_t bodyEnd = bodyStart;
        while (at < text.size() && !endLabel) {
            bodyEnd = at;
            const std::string_view line = nextLine();
            if (line.starts_with(kDashes)) {
                endLabel = LabelAfter(line, kEnd);
                if (!endLabel) break;
            }
        }
        const std::string name(*label);
        if (!endLabel) {
            reading.problem = "the block \"" + name + "\" has no \"-----END " + name + "-----\" line";
            return reading;
        }
        if (*endLabel != *label) {
            reading.problem = "the block \"" + name + "\" ends as \"" + std::string(*endLabel) + "\"";
            return reading;
        }
        auto der = DecodeBase64(text.substr(bodyStart, bodyEnd - bodyStart));
        if (!der) {
            reading.problem = "the block \"" + name + "\" is not well-formed base64";
            return reading;
        }
        reading.blocks.push_back({name, std::move(*der)});
    }
    return reading;
}

}  // namespace tallowfin
