// "make": the file list of a release folder.
#pragma once

#include "publish/immutable.h"
#include "publish/list_xml.h"
#include "publish/patches.h"
#include "publish/publication_cost.h"
#include "publish/release_scan.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallowfin::publish {

struct MakeOptions {
    std::filesystem::path releaseDir;
    std::filesystem::path output;
    std::string root = "%PROGRAM%";  // the local folder the release folder stands for
    std::string urlPrefix;           // put before every file's relative address
    // A signed list: the private key it is signed with, its signature written
    // beside it ("<output>.sig"); the public key the private one must belong
    // to; the serial. A serial without a key prepares the list for signing
    // elsewhere. A list with either has a serial and every entry's SHA-256.
    std::optional<std::filesystem::path> privateKey;
    std::optional<std::filesystem::path> publicKey;
    std::optional<std::uint64_t> serial;
    // A list prepared for signing expires this many days after it is made.
    std::optional<std::uint64_t> expiresInDays;
    // The serial of the list the server serves now, read by "make --url":
    // a new publication never goes below it.
    std::optional<std::uint64_t> servedSerial;
    // Patches from these earlier release folders, for files up to this size;
    // every file and patch under its digest's address (immutable.h); lines
    // telling of long work (diffing).
    std::vector<std::filesystem::path> patchesFrom{};
    std::uint64_t largestDiffed = kDefaultLargestDiffed;
    bool immutable = false;
    std::function<void(const std::string& line)> progress{};
};

// A list that lives longer gives a replay of it as long to keep clients from
// a newer one.
inline constexpr std::uint64_t kLongestExpiryDays = 3650;

struct MakeResult {
    std::size_t entries = 0;
    std::vector<std::string> emptyFolders;  // left out of the list
    Download forEveryone;                   // what a machine with nothing installed downloads
    bool previousRead = false;              // a list lay at the output path and could be read
    std::string previousProblem;            // why a list at the output path could not be read
    Download forPrevious;                   // what a machine holding that list downloads
    std::optional<std::uint64_t> serial;    // of a list prepared for signing
    std::optional<std::uint64_t> expires;   // its expiry, UTC seconds since 1970
    bool signedList = false;                // its signature was written beside it
    bool staleSignature = false;            // an unsigned list was written beside a signature of another list
    PatchSummary patches{};
    std::optional<PlacedObjects> objects{};  // of an immutable publication
    std::vector<std::string> skippedFolders{};  // the tool's own folders beside the list, found in the release
};

// The serial of a new publication: one more than the previous list's, or the
// current UTC time in seconds (`now`) where that is larger, so that a
// publisher who lost the previous list still publishes above it. Throws
// InputError past the largest serial.
std::uint64_t NextSerial(std::optional<std::uint64_t> previous, std::uint64_t now);

// Throws InputError for a serial no updater with keys takes at `now`: more
// than a day ahead of the clock. `previous` names the list it follows, when
// it was derived from one.
void CheckSerialAgainstClock(std::uint64_t serial, std::uint64_t now, const std::string& previous = {});

// The entries for scanned files, hashing each file. Throws InputError for a
// root or prefix the updater would misread, and for a file larger than it can
// fetch.
std::vector<ListEntry> EntriesOf(const ReleaseScan& scan, const std::string& root, const std::string& urlPrefix);

// Scans, hashes and writes the list atomically, after reading the list it
// replaces to tell what the new one costs. Throws InputError, also for a list
// larger than the updater reads.
MakeResult MakeFileList(const MakeOptions& options);

}  // namespace tallowfin::publish
