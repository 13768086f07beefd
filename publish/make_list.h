// "make": the file list of a release folder.
#pragma once

#include "publish/list_xml.h"
#include "publish/release_scan.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tallowfin::publish {

struct MakeOptions {
    std::filesystem::path releaseDir;
    std::filesystem::path output;
    std::string root = "%PROGRAM%";  // the local folder the release folder stands for
    std::string urlPrefix;           // put before every file's relative address
};

struct MakeResult {
    std::size_t entries = 0;
    std::vector<std::string> emptyFolders;  // left out of the list
};

// The entries for scanned files, hashing each file. Throws InputError for a
// root or prefix the updater would misread.
std::vector<ListEntry> EntriesOf(const ReleaseScan& scan, const std::string& root, const std::string& urlPrefix);

// Scans, hashes and writes the list atomically. Throws InputError.
MakeResult MakeFileList(const MakeOptions& options);

}  // namespace tallowfin::publish
