// Turns a release folder into the files the updater installs, in an order it
// can install them in.
//
// The updater creates the folder of an entry when it meets the entry, one
// level only, so a folder's parent must have been created by an earlier entry.
// Files are therefore listed folder by folder, depth first: a folder's own
// files before those of its subfolders, names in byte order of their UTF-8
// text, which keeps the list stable from run to run.
//
// A folder without files of its own can be created by no entry. When files lie
// below one, the updater could never install them, so the scan refuses the
// release and names the folder. A folder with nothing in it at all loses no
// file: it is left out and reported, as the list cannot carry it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin::publish {

struct ReleaseFile {
    std::vector<std::string> folders;  // from the release folder down, UTF-8
    std::string name;                  // UTF-8
    std::filesystem::path source;
};

struct ReleaseScan {
    std::vector<ReleaseFile> files;         // in installation order
    std::vector<std::string> emptyFolders;  // left out; relative, joined by "/"
    std::vector<std::string> skippedFolders{};  // folders of `skip` found in the release; relative, joined by "/"
};

// Why the updater would not install a file or folder of this name where it
// lies in the release, though Windows can create it; empty when it would.
std::string ListedNameProblem(std::string_view name);

// Files and folders equivalent to one in `skip` (the list being written and
// the tool's folders beside it, when they lie in the release folder) are left
// out. Throws InputError for a release the updater
// cannot install: names Windows or code page 949 cannot hold, names it would
// read otherwise (ListedNameProblem), names that differ only in letter case,
// links to folders, special files, folders reachable by no entry, no files at
// all.
ReleaseScan ScanRelease(const std::filesystem::path& releaseDir, const std::vector<std::filesystem::path>& skip = {});

}  // namespace tallowfin::publish
