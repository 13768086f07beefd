// Run by the configuration on the build machine, never shipped: reads the key
// file named by TALLOWFIN_LIST_KEYS with the reader the updater's tests
// check, has OpenSSL confirm that every point lies on the curve, and writes
// the keys as C++ initialisers for the updater's entry to include.
//   embed_list_keys KEYS.pem OUT.inc
// Exit status 1, with the reason on standard error, for a file to refuse.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "trust/key_file.h"

namespace {

using namespace tallowfin;

bool OnTheCurve(const P256PublicKey& key)
{
    const std::string spki = SpkiOfP256PublicKey(key);
    const auto* bytes = reinterpret_cast<const unsigned char*>(spki.data());
    EVP_PKEY* pkey = d2i_PUBKEY(nullptr, &bytes, static_cast<long>(spki.size()));
    if (!pkey) return false;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(pkey, nullptr);
    const bool valid = context && EVP_PKEY_public_check(context) == 1;
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(pkey);
    return valid;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: embed_list_keys KEYS.pem OUT.inc\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s cannot be read\n", argv[1]);
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const ListKeysReading reading = ReadListKeys(text);
    if (!reading.problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reading.problem.c_str());
        return 1;
    }
    std::ostringstream out;
    out << "// Made by the build from " << argv[1] << ": the keys a file list's signature must verify with\n"
        << "// (X, then Y, of each P-256 point).\n";
    for (std::size_t i = 0; i < reading.keys.size(); ++i) {
        if (!OnTheCurve(reading.keys[i])) {
            std::fprintf(stderr, "%s: key %zu is not a point of the curve P-256\n", argv[1], i + 1);
            return 1;
        }
        out << "{{";
        for (std::size_t b = 0; b < reading.keys[i].size(); ++b) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", reading.keys[i][b]);
            out << (b == 0 ? "" : ",") << (b % 16 == 0 ? "\n    " : " ") << hex;
        }
        out << "}},\n";
    }
    // Written only when it changes, so that a new configuration does not
    // rebuild the updater for the same keys.
    std::ifstream old(argv[2], std::ios::binary);
    const std::string before((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
    if (before != out.str()) std::ofstream(argv[2], std::ios::binary | std::ios::trunc) << out.str();
    return 0;
}
