// A file of the public keys that file lists are signed with: the one the
// build puts into the updater, and the one the publishing tool checks lists
// and private keys against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "trust/public_key.h"

namespace tallowfin {

struct ListKeysReading {
    std::vector<P256PublicKey> keys;  // in file order
    std::string problem;              // empty when the file is usable as it is
};

// One or more "PUBLIC KEY" blocks, each an ECDSA key on P-256. Anything else
// in a block (a private key above all, which must never be built into a
// program or handed around) makes the whole file unusable, with the reason:
// a vendor who meant to build in two keys must not ship with one.
ListKeysReading ReadListKeys(std::string_view pemText);

}  // namespace tallowfin
