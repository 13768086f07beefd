// The signature of a file list as openssl writes it (the DER SEQUENCE of the
// two INTEGERs r and s of an ECDSA signature) and the form the system's
// verification takes: r then s, each as 32 big-endian bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowfin {

using P256Signature = std::array<std::uint8_t, 64>;

// The longest DER signature over P-256: a SEQUENCE of two 33-byte INTEGERs.
// A longer signature file is not read at all.
inline constexpr std::size_t kLongestSignatureDer = 72;

// r || s of a DER signature, or nothing when it is not exactly one strict
// DER SEQUENCE of two positive INTEGERs of at most 32 significant bytes each,
// in their shortest form, with nothing before, between or after them. Zero is
// refused: no valid signature has it. Whether r and s lie below the curve's
// order is the verifier's business.
std::optional<P256Signature> P256SignatureFromDer(std::string_view der);

// The DER form of r || s, the one form P256SignatureFromDer takes back.
std::string DerFromP256Signature(const P256Signature& signature);

}  // namespace tallowfin
