#include "publish/patches.h"

#include "publish/atomic_file.h"
#include "publish/errors.h"
#include "publish/file_digest.h"
#include "publish/immutable.h"
#include "publish/patch_maker.h"
#include "publish/signing.h"
#include "publish/url_text.h"
#include "publish/utf8.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace tallowfin::publish {

namespace {

namespace fs = std::filesystem;

// A pair to diff: an entry and one earlier copy of its file.
struct Pair {
    std::size_t entry;
    fs::path base;
    FileDigests baseDigests;
    std::string release;  // the earlier release it comes from, for the messages
};

std::string RelativeName(const ReleaseFile& file)
{
    std::string name;
    for (const auto& folder : file.folders) name += folder + "/";
    return name + file.name;
}

std::string Percent(std::uint64_t part, std::uint64_t whole)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string WholeFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) throw InputError("cannot read " + Quoted(Utf8FromPath(file)));
    return bytes.str();
}

std::vector<Pair> PairsToDiff(const std::vector<ListEntry>& entries, const ReleaseScan& scan,
                              const PatchOptions& options, PatchSummary& summary)
{
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ReleaseFile& file = scan.files[i];
        std::set<std::string> bases;  // one patch per earlier content
        bool tooLarge = false;
        for (const auto& release : options.earlierReleases) {
            fs::path base = release;
            for (const auto& folder : file.folders) base /= PathFromUtf8(folder);
            base /= PathFromUtf8(file.name);
            std::error_code error;
            if (!fs::is_regular_file(base, error)) continue;
            const auto baseSize = fs::file_size(base, error);
            if (error) throw InputError("cannot read " + Quoted(Utf8FromPath(base)) + ": " + error.message());
            if (baseSize > options.largestDiffed || entries[i].bytes > options.largestDiffed) {
                tooLarge = true;
                continue;
            }
            FileDigests digests = DigestsOfFile(base);
            if (digests.md5 == entries[i].hash || !bases.insert(digests.md5).second) continue;
            pairs.push_back({i, std::move(base), std::move(digests), Utf8FromPath(release)});
        }
        if (tooLarge) summary.tooLarge.push_back(RelativeName(file));
    }
    return pairs;
}

}  // namespace

PatchSummary AddPatches(std::vector<ListEntry>& entries, const ReleaseScan& scan, const PatchOptions& options)
{
    PatchSummary summary;
    if (options.earlierReleases.empty()) return summary;
    if (!CanMakePatches())
        throw InputError("--patches-from: this build of the tool makes no patches (it has no suffix sort library); "
                         "publish with the Linux tool");
    for (const auto& release : options.earlierReleases) {
        std::error_code error;
        if (!fs::is_directory(release, error))
            throw InputError("the earlier release " + Quoted(Utf8FromPath(release)) + " is not a folder");
    }
    auto say = [&](const std::string& line) {
        if (options.progress) options.progress(line);
    };
    const std::vector<Pair> pairs = PairsToDiff(entries, scan, options, summary);
    const fs::path patchFolder = options.servedDir / PathFromUtf8(kPatchFolder);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const Pair& pair = pairs[k];
        ListEntry& entry = entries[pair.entry];
        const ReleaseFile& file = scan.files[pair.entry];
        say("diffing " + std::to_string(k + 1) + " of " + std::to_string(pairs.size()) + ": " +
            Quoted(RelativeName(file)) + " (" + std::to_string(entry.bytes) + " bytes) from " + Quoted(pair.release));
        // A large file takes a while: a line every tenth of it.
        std::uint64_t nextTenth = 1;
        const auto progress = [&](std::uint64_t done, std::uint64_t total) {
            if (total < (std::uint64_t{8} << 20) || done * 10 < nextTenth * total) return;
            nextTenth = done * 10 / total + 1;
            say("  " + Percent(done, total) + " matched");
        };
        const std::string patch =
            PatchBetween(WholeFile(pair.base), WholeFile(file.source), pair.baseDigests,
                         {entry.hash, entry.sha256}, progress);
        ++summary.diffed;
        if (patch.size() * 2 >= entry.bytes) {
            say("  not listed: the patch is " + std::to_string(patch.size()) + " bytes, not below half the file");
            continue;
        }
        ListedPatch listed{pair.baseDigests.md5, pair.baseDigests.sha256, patch.size(), Sha256TextOf(patch), {}};
        if (options.immutable) {
            listed.address = WriteObject(options.servedDir, listed.sha256, entry.name + ".patch", patch);
        } else {
            // Named by both digests: a patch between the same two files is the
            // same patch, and another never takes its name.
            const std::string name = entry.name + "-" + listed.base + "-" + entry.hash + ".patch";
            std::error_code error;
            fs::create_directories(patchFolder, error);
            if (error) throw InputError("cannot create " + Quoted(Utf8FromPath(patchFolder)) + ": " + error.message());
            WriteFileAtomically(patchFolder / PathFromUtf8(name), patch);
            listed.address = std::string(kPatchFolder) + "/" + PercentEncodePath(name);
        }
        say("  " + std::to_string(patch.size()) + " bytes (" + Percent(patch.size(), entry.bytes) + " of the file)");
        entry.patches.push_back(std::move(listed));
        ++summary.listed;
        summary.listedBytes += patch.size();
    }
    return summary;
}

}  // namespace tallowfin::publish
