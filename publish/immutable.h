// An immutable publication: every file and patch served under an address made
// of its SHA-256, "objects/<sha256>/<name>" beside the list, so that whatever
// a cache holds under an address is right for ever and the list is the one
// file that changes. The updater needs nothing for it: it fetches whatever
// address an entry gives.
#pragma once

#include "publish/list_xml.h"
#include "publish/release_scan.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin::publish {

inline constexpr std::string_view kObjectFolder = "objects";

// The address, relative to the list, of content with this SHA-256 text served
// under this (UTF-8) name.
std::string ObjectAddress(const std::string& sha256, const std::string& name);

// Writes `bytes` as the object of that digest and name beside the list, unless
// it is there already; returns its address.
std::string WriteObject(const std::filesystem::path& servedDir, const std::string& sha256, const std::string& name,
                        std::string_view bytes);

struct PlacedObjects {
    std::size_t copied = 0;  // files copied into objects/
    std::size_t kept = 0;    // already there from an earlier publication
};

// Copies the file of every entry (`scan.files`, in the entries' order) into
// objects/ and points the entry's downurl at it. An object already there with
// the file's size is kept: objects are written whole (copied, then renamed)
// and never change, and verify reads them. Throws InputError.
PlacedObjects PlaceObjects(std::vector<ListEntry>& entries, const ReleaseScan& scan,
                           const std::filesystem::path& servedDir);

}  // namespace tallowfin::publish
