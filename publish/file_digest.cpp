#include "publish/file_digest.h"

#include "common/md5.h"
#include "publish/errors.h"
#include "publish/signing.h"
#include "publish/utf8.h"

#include <fstream>
#include <vector>

namespace tallowfin::publish {

FileDigests DigestsOfFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw InputError("cannot open " + Quoted(Utf8FromPath(file)));
    Md5 md5;
    Sha256Digester sha256;
    std::vector<char> buffer(std::size_t{1} << 16);
    std::uint64_t size = 0;
    for (;;) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = in.gcount();
        if (got > 0) {
            md5.Update(buffer.data(), static_cast<std::size_t>(got));
            sha256.Update(buffer.data(), static_cast<std::size_t>(got));
            size += static_cast<std::uint64_t>(got);
        }
        if (in.eof()) break;
        if (!in) throw InputError("cannot read " + Quoted(Utf8FromPath(file)));
    }
    return {DigestText(md5.Finish()), sha256.FinishText(), size};
}

}  // namespace tallowfin::publish
