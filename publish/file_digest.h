// The digest text of a file on disk, as the list carries it.
#pragma once

#include <filesystem>
#include <string>

namespace tallowfin::publish {

// Reads the file in chunks, so a release of large files needs little memory.
// Throws InputError naming the file when it cannot be opened or read.
std::string DigestOfFile(const std::filesystem::path& file);

}  // namespace tallowfin::publish
