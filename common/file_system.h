// File-system questions the updater asks, on ANSI paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/handle.h"

namespace tallowfin {

// True for an existing file; a directory of that name does not count.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Whether two paths name one existing file, told by the volume's serial number
// and the file's index on it rather than by the texts, which can differ for
// one file (letter case, short names, "..") and, compared carelessly, agree
// for two. None when either cannot be opened to ask.
std::optional<bool> SameExistingFile(const std::string& a, const std::string& b);
// The whole content of a file; none when it cannot be read or is larger than
// `largest` bytes.
inline constexpr std::size_t kLargestWholeFile = 0x7FFFFFFF;
std::optional<std::string> ReadWholeFile(const std::string& path, std::size_t largest = kLargestWholeFile);
std::optional<std::string> ReadWholeFile(const std::wstring& path);
// The same from an open file, from where it stands to its end.
std::optional<std::string> ReadWholeFile(const FileHandle& file, std::size_t largest = kLargestWholeFile);
// The full path of the running executable (of the process's main module).
std::string OwnExecutablePath();

}  // namespace tallowfin
