#include "trust/key_file.h"

#include "trust/pem.h"

namespace tallowfin {

ListKeysReading ReadListKeys(std::string_view pemText)
{
    ListKeysReading reading;
    const PemReading pem = ReadPem(pemText);
    if (!pem.problem.empty()) {
        reading.problem = pem.problem;
        return reading;
    }
    if (pem.blocks.empty()) {
        reading.problem = "no \"-----BEGIN PUBLIC KEY-----\" block";
        return reading;
    }
    for (std::size_t i = 0; i < pem.blocks.size(); ++i) {
        const PemBlock& block = pem.blocks[i];
        const std::string which = "block " + std::to_string(i + 1) + " (" + block.label + ")";
        if (block.label.find("PRIVATE KEY") != std::string::npos) {
            reading.problem = which + " is a private key: name the file of the public key, and keep the private one "
                                      "where only the publisher can read it";
            break;
        }
        if (block.label != "PUBLIC KEY") {
            reading.problem = which + " is not a public key";
            break;
        }
        const PublicKeyReading key = ReadP256PublicKey(block.der);
        if (!key.key) {
            reading.problem = which + ": " + key.problem;
            break;
        }
        reading.keys.push_back(*key.key);
    }
    if (!reading.problem.empty()) reading.keys.clear();
    return reading;
}

}  // namespace tallowfin
