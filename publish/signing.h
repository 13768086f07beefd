// Keys, signatures and SHA-256 for the publishing tool, by the platform's own
// library: OpenSSL's libcrypto on Linux, CNG on Windows. The Windows build
// verifies only: reading or writing a private key file there would need key
// file parsing of our own, so a Windows publisher signs with openssl (see
// the README).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "trust/public_key.h"

namespace tallowfin::publish {

class Sha256Digester {
public:
    Sha256Digester();
    ~Sha256Digester();
    Sha256Digester(const Sha256Digester&) = delete;
    Sha256Digester& operator=(const Sha256Digester&) = delete;
    void Update(const void* data, std::size_t size);
    // The digest text (64 lower-case hexadecimal digits); feeding ends here.
    std::string FinishText();

private:
    struct State;
    std::unique_ptr<State> state_;
};

std::string Sha256TextOf(std::string_view bytes);

// Whether this build can make keys and sign.
bool CanSign();

// Writes a new P-256 key pair: the private key (PKCS#8 PEM) readable and
// writable by its owner only, the public key as the updater's build takes it.
// Neither file may exist: a key is never overwritten. Throws InputError.
void GenerateKeyPair(const std::filesystem::path& privateFile, const std::filesystem::path& publicFile);

// The public key of a private key file; throws InputError for a file that
// holds no unencrypted P-256 private key.
P256PublicKey PublicKeyOfPrivate(const std::filesystem::path& privateFile);

// The DER signature over the SHA-256 of `bytes`, exactly what
// `openssl dgst -sha256 -sign` writes. Throws InputError.
std::string SignatureOf(const std::filesystem::path& privateFile, std::string_view bytes);

// Whether `signatureDer` is a signature over `bytes` by one of `keys`, judged
// as the updater judges it (a signature in any but the strict DER form is
// not one).
bool SignedByOneOf(const std::vector<P256PublicKey>& keys, std::string_view bytes, std::string_view signatureDer);

// The signature file of a list: its name with ".sig" added.
std::filesystem::path SignatureFileOf(const std::filesystem::path& list);

// The keys of a public key file, as the updater's build reads them; throws
// InputError naming what is wrong with the file.
std::vector<P256PublicKey> ReadPublicKeyFile(const std::filesystem::path& file);

}  // namespace tallowfin::publish
