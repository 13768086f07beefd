// What the tool's signing needs on every platform.
#include "publish/signing.h"

#include "publish/errors.h"
#include "publish/utf8.h"
#include "trust/key_file.h"

#include <fstream>
#include <sstream>

namespace tallowfin::publish {

std::string Sha256TextOf(std::string_view bytes)
{
    Sha256Digester digester;
    digester.Update(bytes.data(), bytes.size());
    return digester.FinishText();
}

std::filesystem::path SignatureFileOf(const std::filesystem::path& list)
{
    std::filesystem::path signature = list;
    signature += ".sig";
    return signature;
}

std::vector<P256PublicKey> ReadPublicKeyFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw InputError("cannot read the public key file " + Quoted(Utf8FromPath(file)));
    std::ostringstream text;
    text << in.rdbuf();
    const ListKeysReading reading = ReadListKeys(text.str());
    if (!reading.problem.empty())
        throw InputError(Quoted(Utf8FromPath(file)) + " is not a key file the updater's build takes: " + reading.problem);
    return reading.keys;
}

}  // namespace tallowfin::publish
