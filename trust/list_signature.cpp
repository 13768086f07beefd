#include "trust/list_signature.h"

#include <algorithm>

#include "trust/cng.h"
#include "trust/signature_der.h"

namespace tallowfin {

bool ListSignedByOneOf(const std::vector<P256PublicKey>& keys, std::string_view list, std::string_view signatureDer)
{
    const auto signature = P256SignatureFromDer(signatureDer);
    if (!signature) return false;
    const Sha256Digest digest = Sha256Of(list);
    return std::any_of(keys.begin(), keys.end(),
                       [&](const P256PublicKey& key) { return VerifiesP256(key, digest, *signature); });
}

}  // namespace tallowfin
