// The patches of a publication. For every file that an earlier release
// (--patches-from, any number of them) holds at the same place with other
// content, the patch from that copy to the new file; the entry lists it when
// it is smaller than half the file. Patches go into "patches/" beside the
// list, or into "objects/" in an immutable publication.
#pragma once

#include "publish/list_xml.h"
#include "publish/release_scan.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin::publish {

inline constexpr std::string_view kPatchFolder = "patches";

// The maker holds about five times the earlier file and three times the new
// one in memory; larger files are not diffed.
inline constexpr std::uint64_t kDefaultLargestDiffed = std::uint64_t{64} << 20;

struct PatchOptions {
    std::vector<std::filesystem::path> earlierReleases;
    std::uint64_t largestDiffed = kDefaultLargestDiffed;
    std::filesystem::path servedDir;  // the list's folder
    bool immutable = false;
    std::function<void(const std::string& line)> progress{};
};

struct PatchSummary {
    std::size_t diffed = 0;           // pairs of files diffed
    std::size_t listed = 0;           // patches listed
    std::uint64_t listedBytes = 0;    // their bytes
    std::vector<std::string> tooLarge;  // files left undiffed for their size, relative, joined by "/"
};

// Adds the patches to the entries (`scan.files` in the entries' order) and
// writes them. Throws InputError: an earlier release that is no folder, a
// file that cannot be read, a build that makes no patches.
PatchSummary AddPatches(std::vector<ListEntry>& entries, const ReleaseScan& scan, const PatchOptions& options);

}  // namespace tallowfin::publish
