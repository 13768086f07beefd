// SHA-256 and the check of an ECDSA P-256 signature, by the system's own
// cryptography (CNG, bcrypt.dll): the updater carries no cryptographic code.
#pragma once

#include <cstddef>

#include "common/handle.h"
#include "trust/public_key.h"
#include "trust/signature_der.h"
#include "trust/signed_list_values.h"

namespace tallowfin {

class Sha256 {
public:
    // Throws WinError when the system has no SHA-256.
    Sha256();
    void Update(const void* data, std::size_t size);
    // Finishes the digest; the object cannot be fed afterwards.
    Sha256Digest Finish();

private:
    BCryptAlgorithm algorithm_;
    BCryptHash hash_;
};

Sha256Digest Sha256Of(std::string_view bytes);

// Whether `signature` is the signature of `digest` by `key`. A key the
// system does not take (a point off the curve) verifies nothing.
bool VerifiesP256(const P256PublicKey& key, const Sha256Digest& digest, const P256Signature& signature);

}  // namespace tallowfin
