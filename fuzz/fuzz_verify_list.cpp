// The publishing tool's list check on arbitrary documents, against a real
// served folder on disk: it must account for every entry, and an entry it
// passes must be one the updater reads and installs correctly. It must also
// never find a file outside the served folder.
#include "common/md5.h"
#include "common/path_rules.h"
#include "fuzz/fuzz_support.h"
#include "publish/list_document.h"
#include "publish/served_files.h"
#include "publish/url_text.h"
#include "publish/verify_list.h"
#include "publish/windows_names.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>

using namespace tallowfin::publish;
using tallowfin::AsciiLower;
using tallowfin::Md5Text;
using tallowfin::fuzz::Shown;

namespace fs = std::filesystem;

namespace {

// A file outside the served folder, which no address may reach.
constexpr std::string_view kSecret = "secret";

struct Folder {
    fs::path root;
    std::set<std::string> servedDigests;
    std::unique_ptr<ServedFiles> served;
};

Folder* folder = nullptr;

void Write(const fs::path& path, std::string_view content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

void RemoveFolder()
{
    std::error_code ignored;
    if (folder) fs::remove_all(folder->root, ignored);
}

// Records what each address gave, and stops the run when an address reaches
// past the folder.
class Watched : public ServedFiles {
public:
    ServedFile Fetch(const std::string& downurl) override
    {
        ServedFile file = folder->served->Fetch(downurl);
        if (file.state == ServedFile::State::Found)
            FUZZ_CHECK_SAID(folder->servedDigests.contains(file.digest),
                            "downurl " + Shown(downurl) + " reached a file outside the served folder");
        results[downurl] = file;
        return file;
    }
    // A patch's bytes, with the same watch.
    ServedContent Content(const std::string& downurl, std::uint64_t largest) override
    {
        ServedContent content = folder->served->Content(downurl, largest);
        if (content.file.state == ServedFile::State::Found)
            FUZZ_CHECK_SAID(folder->servedDigests.contains(content.file.digest),
                            "a patch address " + Shown(downurl) + " reached a file outside the served folder");
        return content;
    }
    std::map<std::string, ServedFile> results;
};

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A value as the updater reads it; an empty one fails the list as well.
std::optional<std::string> NonEmptyValue(const XmlNode& entry, std::string_view name)
{
    std::optional<std::string> value = UpdaterValue(entry, name);
    if (value && value->empty()) return std::nullopt;
    return value;
}

bool SameFindings(const std::vector<Finding>& a, const std::vector<Finding>& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].entry != b[i].entry || a[i].message != b[i].message) return false;
    return true;
}

// An entry that passed: the updater finds every value, the hash compares
// equal to its own lower-case digest, the name is one Windows creates, and
// the address serves exactly the listed content, or could not be checked and
// says so.
void CheckPassedEntry(const XmlNode& entry, std::size_t position, const VerifyReport& report, const Watched& watched)
{
    FUZZ_CHECK(entry.kind == XmlNodeKind::Element);
    const auto path = NonEmptyValue(entry, "path");
    const auto name = NonEmptyValue(entry, "name");
    const auto hash = NonEmptyValue(entry, "hash");
    const auto downurl = NonEmptyValue(entry, "downurl");
    FUZZ_CHECK(path && name && hash && downurl);
    // What the updater makes of the path and name is what the list says.
    FUZZ_CHECK_SAID(path->find("%PROGRAM%", 1) == std::string::npos, Shown(*path));
    for (const char* value : {"path", "name"}) {
        const XmlNode& only = entry.FirstChildElement(value)->children.front();
        FUZZ_CHECK_SAID(only.kind != XmlNodeKind::Text || only.value == Trimmed(only.value), Shown(only.value));
    }
    FUZZ_CHECK_SAID(hash->size() == 32 && hash->find_first_not_of("0123456789abcdef") == std::string::npos, *hash);
    FUZZ_CHECK_SAID(WindowsNameProblem(*name).empty(), Shown(*name));
    for (const char c : *downurl) FUZZ_CHECK(static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x80);
    FUZZ_CHECK_SAID(RelativeAddressProblem(*downurl).empty(), Shown(*downurl));

    const auto fetched = watched.results.find(*downurl);
    FUZZ_CHECK(fetched != watched.results.end());
    if (fetched->second.state == ServedFile::State::Found) {
        FUZZ_CHECK(fetched->second.digest == *hash);
    } else {
        FUZZ_CHECK(fetched->second.state == ServedFile::State::NotCheckable);
        bool noted = false;
        for (const auto& note : report.notes) noted |= note.entry == position;
        FUZZ_CHECK(noted);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    folder = new Folder;
    folder->root = fs::temp_directory_path() / ("tallowfin-fuzz-verify-" + std::to_string(getpid()));
    const fs::path served = folder->root / "served";
    const std::map<std::string, std::string> files = {
        {"good.bin", "good"}, {"sub dir/also.bin", "also"}, {"\xED\x95\x9C.bin", "korean"}, {"a%41.bin", "percent"}};
    for (const auto& [name, content] : files) {
        Write(served / fs::path(std::u8string(name.begin(), name.end())), content);
        folder->servedDigests.insert(Md5Text(content));
    }
    // Decoys beside the served folder under the names it serves: an address
    // that climbs out by any route lands on one of them.
    Write(folder->root / "secret.bin", kSecret);
    for (const auto& [name, content] : files)
        Write(folder->root / fs::path(std::u8string(name.begin(), name.end())), std::string(kSecret) + content);
    folder->served = ServedFromFolder(served);
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    XmlNode root;
    try {
        root = ReadListBytes(std::string_view(reinterpret_cast<const char*>(bytes), size));
    } catch (const ListDocumentError&) {
        return 0;
    }

    Watched watched;
    const VerifyReport report = VerifyListDocument(root, watched);
    FUZZ_CHECK(report.entries == root.children.size());
    if (root.children.empty()) FUZZ_CHECK(report.problems.size() == 1 && report.problems[0].entry == 0);

    std::vector<bool> troubled(report.entries + 1, false);
    for (const auto& problem : report.problems) {
        FUZZ_CHECK(problem.entry <= report.entries);
        FUZZ_CHECK(!problem.message.empty());
        troubled[problem.entry] = true;
    }
    for (const auto& note : report.notes) FUZZ_CHECK(note.entry >= 1 && note.entry <= report.entries);

    Watched again;
    const VerifyReport second = VerifyListDocument(root, again);
    FUZZ_CHECK(SameFindings(report.problems, second.problems) && SameFindings(report.notes, second.notes));

    FUZZ_CHECK(report.checked == root.children.size() || report.problems.size() > kMostProblems);
    for (std::size_t i = 0; i < report.checked; ++i)
        if (!troubled[i + 1]) CheckPassedEntry(root.children[i], i + 1, report, watched);
    return 0;
}
