#include "trust/cng.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "common/win_error.h"

namespace tallowfin {

namespace {

[[noreturn]] void Fail(NTSTATUS status, const char* what)
{
    // CNG reports NTSTATUS codes; the system text of the matching Win32 code
    // is what a person can read.
    throw WinError(static_cast<DWORD>(status), what);
}

BCryptAlgorithm OpenAlgorithm(const wchar_t* name)
{
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (const NTSTATUS status = BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0); status < 0)
        Fail(status, "Opening the system's cryptography failed");
    return BCryptAlgorithm(handle);
}

}  // namespace

Sha256::Sha256() : algorithm_(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM))
{
    BCRYPT_HASH_HANDLE handle = nullptr;
    // Without a buffer of ours the system keeps the hash's state itself.
    if (const NTSTATUS status = BCryptCreateHash(algorithm_.get(), &handle, nullptr, 0, nullptr, 0, 0); status < 0)
        Fail(status, "Starting a SHA-256 digest failed");
    hash_.reset(handle);
}

void Sha256::Update(const void* data, std::size_t size)
{
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, ULONG_MAX / 2));
        if (const NTSTATUS status = BCryptHashData(hash_.get(), bytes, piece, 0); status < 0)
            Fail(status, "Taking a SHA-256 digest failed");
        bytes += piece;
        size -= piece;
    }
}

Sha256Digest Sha256::Finish()
{
    Sha256Digest digest{};
    if (const NTSTATUS status = BCryptFinishHash(hash_.get(), digest.data(), digest.size(), 0); status < 0)
        Fail(status, "Finishing a SHA-256 digest failed");
    return digest;
}

Sha256Digest Sha256Of(std::string_view bytes)
{
    Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    return sha.Finish();
}

bool VerifiesP256(const P256PublicKey& key, const Sha256Digest& digest, const P256Signature& signature)
{
    const BCryptAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    const BCRYPT_ECCKEY_BLOB head{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(key.size() / 2)};
    std::copy_n(reinterpret_cast<const UCHAR*>(&head), sizeof head, blob.data());
    std::copy(key.begin(), key.end(), blob.begin() + sizeof head);
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob.data(),
                            static_cast<ULONG>(blob.size()), 0) < 0)
        return false;
    const BCryptKey imported(handle);
    // The system's call takes its arguments as writable; it writes none of them.
    auto hash = digest;
    auto rs = signature;
    return BCryptVerifySignature(imported.get(), nullptr, hash.data(), static_cast<ULONG>(hash.size()), rs.data(),
                                 static_cast<ULONG>(rs.size()), 0) >= 0;
}

}  // namespace tallowfin
