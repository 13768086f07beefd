#include "publish/publication_cost.h"

#include "common/path_rules.h"

#include <algorithm>
#include <map>

namespace tallowfin::publish {

namespace {

std::string PlaceKey(const std::string& path, const std::string& name)
{
    std::string place = path + "\\" + name;
    for (char& c : place)
        if (c == '/') c = '\\';
    return AsciiLower(CollapseDoubledBackslashes(place));
}

}  // namespace

std::vector<InstalledFile> InstalledFilesOf(const XmlNode& root)
{
    std::vector<InstalledFile> files;
    for (const auto& entry : root.children) {
        if (entry.kind != XmlNodeKind::Element) continue;
        InstalledFile file{UpdaterValue(entry, "path").value_or(""), UpdaterValue(entry, "name").value_or(""),
                           UpdaterValue(entry, "hash").value_or("")};
        if (!file.path.empty() && !file.name.empty() && !file.hash.empty()) files.push_back(std::move(file));
    }
    return files;
}

Download DownloadAfter(const std::vector<ListEntry>& entries, const std::vector<InstalledFile>& previous)
{
    // A later entry for the same place is installed over an earlier one.
    std::map<std::string, std::string> held;
    for (const auto& file : previous) held[PlaceKey(file.path, file.name)] = file.hash;
    Download download;
    for (const auto& entry : entries) {
        const auto it = held.find(PlaceKey(entry.path, entry.name));
        if (it != held.end() && it->second == entry.hash) continue;
        ++download.files;
        download.wholeBytes += entry.bytes;
        // The client holds the file the previous list named; a file it
        // changed itself takes the whole file, as it would here.
        const std::string heldHash = it == held.end() ? std::string() : AsciiLower(it->second);
        const auto patch = std::find_if(entry.patches.begin(), entry.patches.end(),
                                        [&](const ListedPatch& p) { return !heldHash.empty() && p.base == heldHash; });
        if (patch != entry.patches.end()) {
            ++download.patched;
            download.bytes += patch->size;
        } else {
            download.bytes += entry.bytes;
        }
    }
    return download;
}

Download DownloadOfEverything(const std::vector<ListEntry>& entries) { return DownloadAfter(entries, {}); }

}  // namespace tallowfin::publish
