// What a new list costs the clients that fetch it: the files, and their
// bytes, that the updater will download on a machine holding the previous
// publication, and on one with nothing installed.
#pragma once

#include "publish/list_document.h"
#include "publish/list_xml.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tallowfin::publish {

struct Download {
    std::size_t files = 0;
    std::uint64_t bytes = 0;       // patches counted where a client can take one
    std::size_t patched = 0;       // files a patch brings
    std::uint64_t wholeBytes = 0;  // the files' own bytes
};

// The entries of a list as the updater takes them: where the file goes and
// the digest it must have. Entries the updater could not read are left out.
struct InstalledFile {
    std::string path;
    std::string name;
    std::string hash;
};
std::vector<InstalledFile> InstalledFilesOf(const XmlNode& root);

// A machine holding `previous` keeps every file whose place (as Windows sees
// it: either separator, any letter case) and digest are the same in `entries`,
// and downloads the others: a patch where the entry has one from the file it
// holds, else the whole file.
Download DownloadAfter(const std::vector<ListEntry>& entries, const std::vector<InstalledFile>& previous);

Download DownloadOfEverything(const std::vector<ListEntry>& entries);

}  // namespace tallowfin::publish
