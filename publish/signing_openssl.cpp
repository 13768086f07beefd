// Keys, signatures and SHA-256 through OpenSSL's libcrypto (Debian's
// libssl-dev), version 3.
#include "publish/signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "common/md5.h"
#include "publish/errors.h"
#include "publish/utf8.h"
#include "trust/signature_der.h"
#include "trust/signed_list_values.h"

namespace tallowfin::publish {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// The library's reason for the last failure, for a message.
std::string LibraryReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string MemoryText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// An encrypted key would make the library ask on the terminal; the tool runs
// in scripts, so it refuses instead.
int NoPassphrase(char*, int, int, void*) { return -1; }

// Whoever can read the private key can publish for every client: a key that
// other users of this machine may open is refused rather than used quietly.
void RefuseSharedKey(const std::filesystem::path& file, const std::string& shown)
{
    struct stat info{};
    if (stat(file.c_str(), &info) != 0 || (info.st_mode & (S_IRWXG | S_IRWXO)) == 0) return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw InputError("the private key " + shown + " is open to other users than its owner (mode " + mode +
                     "); make it private before signing with it: chmod 600 " + shown);
}

Pkey ReadPrivateKey(const std::filesystem::path& file)
{
    const std::string shown = Quoted(Utf8FromPath(file));
    RefuseSharedKey(file, shown);
    Bio bio(BIO_new_file(file.c_str(), "rb"));
    if (!bio) throw InputError("cannot read the private key " + shown);
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassphrase, nullptr));
    if (!key)
        throw InputError(shown + " holds no private key that can be read without a passphrase (" + LibraryReason() +
                         ")");
    char group[64] = {};
    if (!EVP_PKEY_is_a(key.get(), "EC") ||
        !EVP_PKEY_get_utf8_string_param(key.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) ||
        std::string_view(group) != "prime256v1")
        throw InputError(shown + " is not an ECDSA key on the curve P-256 (prime256v1)");
    // The updater takes the point in its uncompressed form.
    EVP_PKEY_set_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
    return key;
}

std::string SpkiOf(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    if (size <= 0) throw InputError("the public key cannot be written (" + LibraryReason() + ")");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
    OPENSSL_free(der);
    return bytes;
}

// Creates `file` for this content only if it does not exist, with `mode`.
void WriteNewFile(const std::filesystem::path& file, const std::string& content, mode_t mode)
{
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) throw InputError("cannot create " + Quoted(Utf8FromPath(file)));
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t got = write(fd, content.data() + written, content.size() - written);
        if (got <= 0) break;
        written += static_cast<std::size_t>(got);
    }
    const bool complete = written == content.size() && fsync(fd) == 0;
    if (close(fd) != 0 || !complete) {
        unlink(file.c_str());
        throw InputError("cannot write " + Quoted(Utf8FromPath(file)));
    }
}

}  // namespace

struct Sha256Digester::State {
    MdContext context{EVP_MD_CTX_new()};
};

Sha256Digester::Sha256Digester() : state_(std::make_unique<State>())
{
    if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 cannot be started (" + LibraryReason() + ")");
}

Sha256Digester::~Sha256Digester() = default;

void Sha256Digester::Update(const void* data, std::size_t size)
{
    if (EVP_DigestUpdate(state_->context.get(), data, size) != 1) throw std::runtime_error("SHA-256 failed");
}

std::string Sha256Digester::FinishText()
{
    Sha256Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &size) != 1 || size != digest.size())
        throw std::runtime_error("SHA-256 failed");
    return DigestText(digest);
}

bool CanSign() { return true; }

void GenerateKeyPair(const std::filesystem::path& privateFile, const std::filesystem::path& publicFile)
{
    for (const auto& file : {privateFile, publicFile}) {
        std::error_code error;
        if (std::filesystem::exists(std::filesystem::symlink_status(file, error)))
            throw InputError(Quoted(Utf8FromPath(file)) + " exists already; a key file is never overwritten");
    }
    Pkey key(EVP_EC_gen("P-256"));
    if (!key) throw std::runtime_error("no key could be made (" + LibraryReason() + ")");
    Bio privatePem(BIO_new(BIO_s_mem()));
    Bio publicPem(BIO_new(BIO_s_mem()));
    if (!privatePem || !publicPem ||
        PEM_write_bio_PrivateKey(privatePem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_PUBKEY(publicPem.get(), key.get()) != 1)
        throw std::runtime_error("the key cannot be written (" + LibraryReason() + ")");
    // Created with the owner's rights only, never widened afterwards: there
    // is no moment in which another user could open it.
    WriteNewFile(privateFile, MemoryText(privatePem.get()), 0600);
    try {
        WriteNewFile(publicFile, MemoryText(publicPem.get()), 0644);
    } catch (...) {
        // Half a pair is of no use; the private key goes with it.
        unlink(privateFile.c_str());
        throw;
    }
}

P256PublicKey PublicKeyOfPrivate(const std::filesystem::path& privateFile)
{
    const Pkey key = ReadPrivateKey(privateFile);
    const PublicKeyReading reading = ReadP256PublicKey(SpkiOf(key.get()));
    if (!reading.key) throw InputError(Quoted(Utf8FromPath(privateFile)) + ": " + reading.problem);
    return *reading.key;
}

std::string SignatureOf(const std::filesystem::path& privateFile, std::string_view bytes)
{
    const Pkey key = ReadPrivateKey(privateFile);
    MdContext context(EVP_MD_CTX_new());
    std::size_t size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()) != 1)
        throw std::runtime_error("the list cannot be signed (" + LibraryReason() + ")");
    std::string signature(size, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1)
        throw std::runtime_error("the list cannot be signed (" + LibraryReason() + ")");
    signature.resize(size);
    return signature;
}

bool SignedByOneOf(const std::vector<P256PublicKey>& keys, std::string_view bytes, std::string_view signatureDer)
{
    if (!P256SignatureFromDer(signatureDer)) return false;
    for (const P256PublicKey& candidate : keys) {
        const std::string spki = SpkiOfP256PublicKey(candidate);
        const auto* der = reinterpret_cast<const unsigned char*>(spki.data());
        const Pkey key(d2i_PUBKEY(nullptr, &der, static_cast<long>(spki.size())));
        MdContext context(EVP_MD_CTX_new());
        if (!key || !context ||
            EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
            continue;
        if (EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signatureDer.data()),
                             signatureDer.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                             bytes.size()) == 1)
            return true;
    }
    ERR_clear_error();
    return false;
}

}  // namespace tallowfin::publish
