// File-system questions the updater asks, on ANSI paths.
#pragma once

#include <string>

namespace tallowfin {

// True for an existing file; a directory of that name does not count.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// The full path of the running executable (of the process's main module).
std::string OwnExecutablePath();

}  // namespace tallowfin
