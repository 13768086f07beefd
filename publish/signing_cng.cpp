// The Windows build of the tool verifies through the system's CNG, as the
// updater does. It neither makes keys nor signs: CNG takes no key file, and
// turning one into the system's form would be key parsing of our own. A
// Windows publisher signs with openssl (README, "Signing your updates").
#include "publish/signing.h"

#include "common/md5.h"
#include "publish/errors.h"
#include "trust/cng.h"
#include "trust/list_signature.h"

namespace tallowfin::publish {

namespace {

[[noreturn]] void CannotSign()
{
    throw InputError("this Windows build of tallowfin-publish verifies signatures but does not make keys or sign: "
                     "use the Linux build, or make the list with --serial N and sign it with "
                     "\"openssl dgst -sha256 -sign PRIVATE.pem -out filelist.xml.sig filelist.xml\"");
}

}  // namespace

struct Sha256Digester::State {
    Sha256 sha;
};

Sha256Digester::Sha256Digester() : state_(std::make_unique<State>()) {}
Sha256Digester::~Sha256Digester() = default;
void Sha256Digester::Update(const void* data, std::size_t size) { state_->sha.Update(data, size); }
std::string Sha256Digester::FinishText() { return DigestText(state_->sha.Finish()); }

bool CanSign() { return false; }

void GenerateKeyPair(const std::filesystem::path&, const std::filesystem::path&) { CannotSign(); }
P256PublicKey PublicKeyOfPrivate(const std::filesystem::path&) { CannotSign(); }
std::string SignatureOf(const std::filesystem::path&, std::string_view) { CannotSign(); }

bool SignedByOneOf(const std::vector<P256PublicKey>& keys, std::string_view bytes, std::string_view signatureDer)
{
    return ListSignedByOneOf(keys, bytes, signatureDer);
}

}  // namespace tallowfin::publish
