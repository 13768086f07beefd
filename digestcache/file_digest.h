// The digest text of a local file, as the updater compares it with the one
// the server lists for that file.
#pragma once

#include <cstddef>
#include <string>

namespace tallowfin {

// Empty text when no file exists under `path` (a directory of that name does
// not count); otherwise the file's MD5 digest text, read in chunks so memory
// stays flat whatever the size. The file is opened sharing reads only: one
// that another process has open for writing is still changing, and is an
// error like any file that exists but cannot be opened or read (WinError).
std::string FileDigestText(const std::string& path);

// The same with a chosen read size; the hashing benchmark measures the
// default through it.
std::string FileDigestText(const std::string& path, std::size_t chunkSize);

// The same for the file's SHA-256, by the system's cryptography, for the
// files a signed list names.
std::string FileSha256Text(const std::string& path);

}  // namespace tallowfin
