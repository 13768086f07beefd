// The PEM reader and the key file reader on any text. Properties:
// - a block's body decodes as a plain bit-by-bit base64 decoder with the same
//   strictness decodes it (canonical text only), or is refused by both;
// - the blocks read, written out again as PEM, read back the same;
// - a key is only ever taken from a block that is exactly the public key
//   structure of that key, so nothing else in a file can become a key.
#include "fuzz/fuzz_support.h"
#include "trust/key_file.h"
#include "trust/pem.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

using namespace tallowfin;

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::string& bytes)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = 0;
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<std::uint8_t>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) text.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=');
    }
    return text;
}

// Six bits a character, bytes as they fill; "=" only at the end, at most two,
// the text a whole number of groups, and the bits left over all zero.
std::optional<std::string> ReferenceDecode(const std::string& body)
{
    std::string text;
    for (const char c : body)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') text.push_back(c);
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i + padding < text.size(); ++i) {
        const char* found = std::strchr(kAlphabet, text[i]);
        if (!found || text[i] == '\0') return std::nullopt;
        bits = bits << 6 | static_cast<std::uint32_t>(found - kAlphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>(bits >> count));
            bits &= (1u << count) - 1;
        }
    }
    if (bits != 0) return std::nullopt;
    return out;
}

std::string Pem(const PemBlock& block)
{
    std::string text = "-----BEGIN " + block.label + "-----\n";
    const std::string body = Base64(block.der);
    for (std::size_t i = 0; i < body.size(); i += 64) text += body.substr(i, 64) + "\n";
    return text + "-----END " + block.label + "-----\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool asBody = input.ConsumeBool();
    const std::string text = input.ConsumeRemainingBytesAsString();

    // The text as the body of one block.
    if (asBody && text.find('-') == std::string::npos) {
        const PemReading reading = ReadPem("-----BEGIN PUBLIC KEY-----\n" + text + "\n-----END PUBLIC KEY-----\n");
        const auto reference = ReferenceDecode(text);
        FUZZ_CHECK_SAID(reading.problem.empty() == reference.has_value(), fuzz::Shown(text));
        if (reference) FUZZ_CHECK_SAID(reading.blocks.size() == 1 && reading.blocks[0].der == *reference, fuzz::Shown(text));
    }

    const PemReading reading = ReadPem(text);
    std::string again;
    for (const PemBlock& block : reading.blocks) again += Pem(block);
    const PemReading reread = ReadPem(again);
    FUZZ_CHECK(reread.problem.empty());
    FUZZ_CHECK(reread.blocks.size() == reading.blocks.size());
    for (std::size_t i = 0; i < reread.blocks.size(); ++i) {
        FUZZ_CHECK(reread.blocks[i].label == reading.blocks[i].label);
        FUZZ_CHECK(reread.blocks[i].der == reading.blocks[i].der);
    }

    const ListKeysReading keys = ReadListKeys(text);
    FUZZ_CHECK(keys.keys.empty() || keys.problem.empty());
    if (!keys.keys.empty()) {
        FUZZ_CHECK(keys.keys.size() == reading.blocks.size());
        for (std::size_t i = 0; i < keys.keys.size(); ++i)
            FUZZ_CHECK_SAID(reading.blocks[i].der == SpkiOfP256PublicKey(keys.keys[i]), fuzz::Shown(text));
    }
    return 0;
}
