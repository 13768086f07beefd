// Whether a fetched file list is the one its publisher signed.
#pragma once

#include <string_view>
#include <vector>

#include "trust/public_key.h"

namespace tallowfin {

// True when `signatureDer` (the bytes of "filelist.xml.sig", as
// `openssl dgst -sha256 -sign` writes them) is a signature over the SHA-256
// of exactly the bytes `list` by one of `keys`: any one will do, so that an
// updater holding an old and a new key takes lists signed with either while
// a vendor changes keys. A malformed signature verifies with none.
bool ListSignedByOneOf(const std::vector<P256PublicKey>& keys, std::string_view list, std::string_view signatureDer);

}  // namespace tallowfin
