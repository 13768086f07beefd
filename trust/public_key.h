// The public keys a file list is signed with: ECDSA over the curve P-256, as
// `openssl ec -pubout` writes them (a DER SubjectPublicKeyInfo with the
// uncompressed point), and the form the system takes (X then Y, each as 32
// big-endian bytes).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowfin {

using P256PublicKey = std::array<std::uint8_t, 64>;

struct PublicKeyReading {
    std::optional<P256PublicKey> key;
    std::string problem;  // why there is no key, for the person who chose the file
};

// The point of a SubjectPublicKeyInfo that names an elliptic-curve key on
// P-256 by its object identifier and holds the uncompressed point. Any other
// key (RSA, another curve, a compressed point, explicit curve parameters,
// anything after the structure) is refused with the reason. Whether the point
// lies on the curve is left to the library that imports it.
PublicKeyReading ReadP256PublicKey(std::string_view spkiDer);

// The SubjectPublicKeyInfo of a point, the one form ReadP256PublicKey takes.
std::string SpkiOfP256PublicKey(const P256PublicKey& key);

}  // namespace tallowfin
