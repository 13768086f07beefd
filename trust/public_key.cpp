#include "trust/public_key.h"

#include <algorithm>

#include "trust/der.h"

namespace tallowfin {

namespace {

using namespace std::string_view_literals;

// The object identifiers, as their DER contents.
constexpr std::string_view kEcPublicKey = "\x2A\x86\x48\xCE\x3D\x02\x01"sv;      // 1.2.840.10045.2.1
constexpr std::string_view kP256 = "\x2A\x86\x48\xCE\x3D\x03\x01\x07"sv;         // 1.2.840.10045.3.1.7
constexpr std::string_view kRsa = "\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01"sv;      // 1.2.840.113549.1.1.1

// Everything before the point: the structure's head, the two identifiers and
// the head of the bit string (no unused bits, the uncompressed form 0x04).
constexpr std::string_view kSpkiHead =
    "\x30\x59\x30\x13\x06\x07\x2A\x86\x48\xCE\x3D\x02\x01\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07\x03\x42\x00\x04"sv;

PublicKeyReading Refused(std::string problem) { return {std::nullopt, std::move(problem)}; }

}  // namespace

PublicKeyReading ReadP256PublicKey(std::string_view bytes)
{
    const auto info = der::Only(bytes, der::kSequence);
    if (!info) return Refused("not a public key: no DER SubjectPublicKeyInfo");
    der::Reader parts(*info);
    const auto algorithm = parts.Take(der::kSequence);
    const auto bits = algorithm ? parts.Take(der::kBitString) : std::nullopt;
    if (!bits || !parts.AtEnd()) return Refused("not a public key: no DER SubjectPublicKeyInfo");

    der::Reader names(*algorithm);
    const auto kind = names.Take(der::kObjectId);
    if (!kind) return Refused("not a public key: its algorithm has no identifier");
    if (*kind == kRsa) return Refused("an RSA key, not an ECDSA key on the curve P-256");
    if (*kind != kEcPublicKey) return Refused("not an elliptic-curve key (ECDSA on the curve P-256 is needed)");
    const auto element = names.TakeAny();
    if (!element || element->tag != der::kObjectId)
        return Refused("an elliptic-curve key whose curve is not named (explicit parameters); P-256 is needed");
    if (element->value != kP256 || !names.AtEnd())
        return Refused("an elliptic-curve key on another curve; P-256 (prime256v1) is needed");

    // No unused bits, then the uncompressed point: 0x04, X, Y.
    if (bits->size() == 1 + 33 && (bits->at(1) == '\x02' || bits->at(1) == '\x03'))
        return Refused("a P-256 key with a compressed point; write it uncompressed (openssl ec -pubout does)");
    if (bits->size() != 1 + 65 || bits->at(0) != '\0' || bits->at(1) != '\x04')
        return Refused("a P-256 key whose point is not 65 bytes in the uncompressed form");
    P256PublicKey key{};
    std::copy(bits->begin() + 2, bits->end(), key.begin());
    return {key, {}};
}

std::string SpkiOfP256PublicKey(const P256PublicKey& key)
{
    std::string der(kSpkiHead);
    der.append(key.begin(), key.end());
    return der;
}

}  // namespace tallowfin
