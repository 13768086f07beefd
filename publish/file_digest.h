// The digest texts of a file on disk, as the list carries them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tallowfin::publish {

struct FileDigests {
    std::string md5;     // the entry's "hash"
    std::string sha256;  // the entry's "sha256", which a signed list adds
    std::uint64_t size = 0;  // the bytes digested: the entry's "size"
};

// Reads the file once, in chunks, so a release of large files needs little
// memory. Throws InputError naming the file when it cannot be opened or read.
FileDigests DigestsOfFile(const std::filesystem::path& file);

}  // namespace tallowfin::publish
