// From a release the scan accepts to what the updater does with its list: the
// entries "make" writes must read back as written, pass "verify" without a
// problem, and install every file where it lies in the release.
#include "common/md5.h"
#include "common/path_rules.h"
#include "download/url_rules.h"
#include "fuzz/fuzz_support.h"
#include "publish/cp949.h"
#include "publish/file_digest.h"
#include "publish/list_document.h"
#include "publish/list_xml.h"
#include "publish/make_list.h"
#include "publish/release_scan.h"
#include "publish/served_files.h"
#include "publish/url_text.h"
#include "publish/utf8.h"
#include "publish/verify_list.h"
#include "publish/windows_names.h"
#include "trust/signed_list_values.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace tallowfin::publish;
using tallowfin::AsciiLower;
using tallowfin::ExpandProgramPath;
using tallowfin::Md5Text;
using tallowfin::fuzz::Shown;

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kProgramDirectory = "C:\\Program Files\\Tallowfin";

struct Contents {
    fs::path root;
    std::vector<fs::path> files;
    std::vector<std::string> digests;
};

Contents* contents = nullptr;

void RemoveContents()
{
    std::error_code ignored;
    if (contents) fs::remove_all(contents->root, ignored);
}

// A release folder: files by name, subfolders by name, in byte order.
struct Tree {
    std::map<std::string, std::size_t> files;  // name -> index of its content
    std::map<std::string, Tree> folders;
};

// A name as a Linux folder may hold it, made valid UTF-8; only names the
// scan accepts are kept, as the scan refuses the whole release otherwise.
std::optional<std::string> ScannableName(FuzzedDataProvider& data)
{
    const std::string raw = data.ConsumeRandomLengthString(24);
    std::string name;
    for (std::size_t i = 0; i < raw.size();) {
        const auto lead = static_cast<unsigned char>(raw[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
        if (i + length <= raw.size() && IsValidUtf8(std::string_view(raw).substr(i, length))) {
            name.append(raw, i, length);
            i += length;
        } else {
            name.push_back('_');
            ++i;
        }
    }
    if (!WindowsNameProblem(name).empty() || !ListedNameProblem(name).empty() || FirstCharacterNotInCp949(name))
        return std::nullopt;
    return name;
}

void Grow(Tree& tree, FuzzedDataProvider& data, std::size_t depth, std::size_t& budget)
{
    std::map<std::string, bool> folded;  // Windows sees one name per letter case
    auto fresh = [&](const std::string& name) { return folded.emplace(AsciiLower(name), true).second; };
    const auto fileCount = data.ConsumeIntegralInRange<std::size_t>(1, 4);
    for (std::size_t i = 0; i < fileCount && budget > 0; ++i) {
        const auto name = ScannableName(data);
        const auto content = data.ConsumeIntegralInRange<std::size_t>(0, contents->files.size() - 1);
        if (name && fresh(*name)) {
            tree.files.emplace(*name, content);
            --budget;
        }
    }
    if (depth == 0) return;
    const auto folderCount = data.ConsumeIntegralInRange<std::size_t>(0, 3);
    for (std::size_t i = 0; i < folderCount && budget > 0; ++i) {
        const auto name = ScannableName(data);
        if (!name || !fresh(*name)) continue;
        Tree sub;
        Grow(sub, data, depth - 1, budget);
        // A folder without files of its own is left out by the scan.
        if (!sub.files.empty()) tree.folders.emplace(*name, std::move(sub));
    }
}

// The scan's order: a folder's own files, then its subfolders depth first.
void Emit(const Tree& tree, std::vector<std::string>& folders, ReleaseScan& scan)
{
    for (const auto& [name, content] : tree.files) scan.files.push_back({folders, name, contents->files[content]});
    for (const auto& [name, sub] : tree.folders) {
        folders.push_back(name);
        Emit(sub, folders, scan);
        folders.pop_back();
    }
}

// A web server's view of the release uploaded below `prefix`: the path of
// the address percent-decoded, segment by segment.
class Uploaded : public ServedFiles {
public:
    Uploaded(const ReleaseScan& scan, std::string_view prefix)
    {
        for (const auto& file : scan.files) {
            std::string key(prefix);
            for (const auto& folder : file.folders) key += "/" + folder;
            key += "/" + file.name;
            served_[Normalized(key).value()] = DigestsOfFile(file.source);
        }
    }

    ServedFile Fetch(const std::string& downurl) override
    {
        if (tallowfin::IsAbsoluteUrl(downurl)) return {ServedFile::State::NotCheckable, {}, "elsewhere"};
        const auto key = Normalized(PercentDecodedPath(downurl));
        if (!key) return {ServedFile::State::Failed, {}, "climbs out"};
        const auto it = served_.find(*key);
        if (it == served_.end()) return {ServedFile::State::Missing, {}, "no file " + Shown(*key)};
        return {ServedFile::State::Found, it->second.md5, {}, it->second.sha256, it->second.size};
    }

    // The lists made here have no patches, the only content read whole.
    ServedContent Content(const std::string&, std::uint64_t) override
    {
        return {{ServedFile::State::NotCheckable, {}, "only digests are uploaded"}, {}};
    }

private:
    static std::string PercentDecodedPath(const std::string& downurl)
    {
        const std::string path = downurl.substr(0, downurl.find_first_of("?#"));
        std::string out;
        std::size_t from = 0;
        while (from <= path.size()) {
            const std::size_t slash = std::min(path.find('/', from), path.size());
            // Each segment decoded on its own: an encoded "/" stays inside it.
            std::string segment = PercentDecode(std::string_view(path).substr(from, slash - from));
            for (char& c : segment)
                if (c == '/') c = '\x01';
            out += "/" + segment;
            from = slash + 1;
        }
        return out;
    }

    static std::optional<std::string> Normalized(const std::string& path)
    {
        std::string out;
        std::size_t from = 0;
        while (from <= path.size()) {
            const std::size_t slash = std::min(path.find('/', from), path.size());
            const std::string segment = path.substr(from, slash - from);
            from = slash + 1;
            if (segment.empty() || segment == ".") continue;
            if (segment == "..") return std::nullopt;
            out += "/" + segment;
        }
        return out;
    }

    std::map<std::string, FileDigests> served_;
};


// Windows reads a run of backslashes inside a path as one.
std::string SingleBackslashes(std::string_view path)
{
    std::string out;
    for (const char c : path)
        if (c != '\\' || out.empty() || out.back() != '\\') out.push_back(c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    contents = new Contents;
    contents->root = fs::temp_directory_path() / ("tallowfin-fuzz-roundtrip-" + std::to_string(getpid()));
    fs::create_directories(contents->root);
    for (const std::string& content : {std::string(), std::string("one"), std::string("two\n"), std::string(70, 'x')}) {
        const fs::path file = contents->root / ("content" + std::to_string(contents->files.size()));
        std::ofstream(file, std::ios::binary) << content;
        contents->files.push_back(file);
        contents->digests.push_back(Md5Text(content));
    }
    std::atexit(RemoveContents);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);

    // Roots the updater can reach: its own folder or one level below it.
    static const std::pair<std::string_view, std::string_view> kRoots[] = {
        {"%PROGRAM%", ""}, {"%PROGRAM%\\", "\\"}, {"%PROGRAM%\\Data", "\\Data"}};
    const auto& [root, rootBelowProgram] = kRoots[data.ConsumeIntegralInRange<std::size_t>(0, 2)];
    static const std::string_view kPrefixes[] = {"", "files", "v1/files/", "http://cdn.example/rel",
                                                 "HTTPS://cdn.example/rel"};
    const std::string_view prefix = kPrefixes[data.ConsumeIntegralInRange<std::size_t>(0, 4)];

    Tree tree;
    std::size_t budget = 12;
    Grow(tree, data, 3, budget);
    if (tree.files.empty()) return 0;
    ReleaseScan scan;
    std::vector<std::string> folders;
    Emit(tree, folders, scan);

    const std::vector<ListEntry> entries = EntriesOf(scan, std::string(root), std::string(prefix));
    FUZZ_CHECK(entries.size() == scan.files.size());
    const std::string xml = FileListXml(entries);

    XmlNode list;
    try {
        list = ReadListBytes(xml);
    } catch (const ListDocumentError& error) {
        FUZZ_CHECK_SAID(false, std::string("the written list does not read: ") + error.what() + "\n" + Shown(xml));
    }
    FUZZ_CHECK(list.children.size() == entries.size());

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const XmlNode& entry = list.children[i];
        const ListEntry& written = entries[i];
        FUZZ_CHECK(entry.kind == XmlNodeKind::Element && entry.name == "file");
        const auto path = UpdaterValue(entry, "path");
        const auto name = UpdaterValue(entry, "name");
        const auto hash = UpdaterValue(entry, "hash");
        const auto downurl = UpdaterValue(entry, "downurl");
        FUZZ_CHECK(path && name && hash && downurl);
        FUZZ_CHECK_SAID(*path == written.path, Shown(written.path) + " reads back as " + Shown(*path));
        FUZZ_CHECK_SAID(*name == written.name, Shown(written.name) + " reads back as " + Shown(*name));
        FUZZ_CHECK(*hash == written.hash && *downurl == written.downurl);
        FUZZ_CHECK((entry.FirstChildElement("regist") != nullptr) == written.regist);
        // The size reads back as the length of the file it was made from.
        const auto size = UpdaterValue(entry, "size");
        FUZZ_CHECK(size && tallowfin::ReadListedSize(*size) == written.bytes);
        FUZZ_CHECK(written.bytes == fs::file_size(scan.files[i].source));

        // Where the updater puts the file: its folder expanded, a backslash,
        // the name; it must be where the file lies in the release.
        std::string intended = std::string(kProgramDirectory) + std::string(rootBelowProgram);
        for (const auto& folder : scan.files[i].folders) intended += "\\" + folder;
        intended += "\\" + scan.files[i].name;
        const std::string installed = ExpandProgramPath(*path, kProgramDirectory) + "\\" + *name;
        FUZZ_CHECK_SAID(SingleBackslashes(installed) == SingleBackslashes(intended),
                        "installs " + Shown(installed) + " instead of " + Shown(intended));
    }

    Uploaded served(scan, prefix);
    const VerifyReport report = VerifyListDocument(list, served);
    std::string problems;
    for (const auto& problem : report.problems) problems += "entry " + std::to_string(problem.entry) + ": " + problem.message + "\n";
    FUZZ_CHECK_SAID(report.problems.empty(), problems + Shown(xml));
    FUZZ_CHECK(report.notes.size() == (tallowfin::IsAbsoluteUrl(prefix) ? entries.size() : 0));
    return 0;
}
