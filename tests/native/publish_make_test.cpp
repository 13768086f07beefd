#include "common/md5.h"
#include "patch/memory_io.h"
#include "publish/cp949.h"
#include "publish/list_document.h"
#include "publish/signing.h"
#include "publish/url_text.h"
#include "publish/windows_names.h"
#include "tests/native/publish_test_support.h"
#include "tests/support/http_server.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace tallowfin::publish;
using namespace tallowfin::publish::test;

namespace {

struct Listed {
    std::string path, name, hash, downurl, regist;
};

std::string ValueOf(const XmlNode& entry, const char* name)
{
    const XmlNode* element = entry.FirstChildElement(name);
    return element && element->children.size() == 1 ? element->children[0].value : std::string();
}

std::vector<Listed> ReadBack(const fs::path& list)
{
    const XmlNode root = ReadListFile(list);
    EXPECT_EQ(root.name, "filelist");
    std::vector<Listed> entries;
    for (const auto& entry : root.children) {
        EXPECT_EQ(entry.name, "file");
        entries.push_back({ValueOf(entry, "path"), ValueOf(entry, "name"), ValueOf(entry, "hash"),
                           ValueOf(entry, "downurl"), ValueOf(entry, "regist")});
    }
    return entries;
}

// Nothing but the listed files: no list, no temporary file left behind.
std::vector<std::string> NamesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.push_back(Utf8(item.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kKoreanFolder = "\xED\x94\x8C\xEB\x9F\xAC\xEA\xB7\xB8\xEC\x9D\xB8";  // 플러그인
const std::string kKoreanFile = "\xED\x95\x9C\xEA\xB8\x80 \xEC\x9D\xB4\xEB\xA6\x84.dll";  // 한글 이름.dll

}  // namespace

TEST(PublishMake, ListsANestedReleaseSoEveryFolderCanBeCreated)
{
    TempFolder temp;
    const fs::path release = temp / "site/software/Tallowfin";
    WriteFile(release / "setup.exe", "program");
    WriteFile(release / "Engine.DLL", "engine");
    WriteFile(release / "data" / "readme.txt", "hello\n");
    WriteFile(release / "data" / "img" / "deep" / "b.bin", std::string(200000, 'b'));
    WriteFile(release / "data" / "img" / "a.png", "png");
    WriteFile(temp / ("site/software/Tallowfin/" + kKoreanFolder + "/" + kKoreanFile), "korean");
    WriteFile(release / "R&D" / "it's #1 + 50%.txt", "special");

    const fs::path list = release / "filelist.xml";
    const ToolRun run = RunTool({"make", Utf8(release), "-o", Utf8(list)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const auto entries = ReadBack(list);
    std::vector<std::pair<std::string, std::string>> order;
    for (const auto& e : entries) order.emplace_back(e.path, e.name);
    // Depth first, a folder's own files before its subfolders', names in byte order.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"%PROGRAM%", "Engine.DLL"},
        {"%PROGRAM%", "setup.exe"},
        {"%PROGRAM%\\R&D", "it's #1 + 50%.txt"},
        {"%PROGRAM%\\data", "readme.txt"},
        {"%PROGRAM%\\data\\img", "a.png"},
        {"%PROGRAM%\\data\\img\\deep", "b.bin"},
        {"%PROGRAM%\\" + kKoreanFolder, kKoreanFile},
    };
    EXPECT_EQ(order, expected);

    EXPECT_EQ(entries[3].hash, "b1946ac92492d2347c6235b4d2611184");  // MD5 of "hello\n"
    EXPECT_EQ(entries[5].hash, tallowfin::Md5Text(std::string(200000, 'b')));
    EXPECT_EQ(entries[2].downurl, "R%26D/it%27s%20%231%20%2B%2050%25.txt");
    EXPECT_EQ(entries[6].downurl, "%ED%94%8C%EB%9F%AC%EA%B7%B8%EC%9D%B8/"
                                  "%ED%95%9C%EA%B8%80%20%EC%9D%B4%EB%A6%84.dll");
    EXPECT_EQ(entries[5].downurl, "data/img/deep/b.bin");
    std::vector<std::string> regist;
    for (const auto& e : entries) regist.push_back(e.regist);
    EXPECT_EQ(regist, (std::vector<std::string>{"yes", "", "", "", "", "", "yes"}));

    const std::string xml = ReadFile(list);
    EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<filelist>\n  <file>\n    <path>"));
    EXPECT_NE(xml.find("<name>it&apos;s #1 + 50%.txt</name>"), std::string::npos);
    EXPECT_NE(xml.find("<path>%PROGRAM%\\R&amp;D</path>"), std::string::npos);

    // The list checks out against the folder and against a server of it.
    const ToolRun offline = RunTool({"verify", Utf8(list), "--dir", Utf8(release)});
    EXPECT_EQ(offline.status, 0) << offline.out;
    EXPECT_EQ(offline.out, "7 entries, no problems\n");
    tallowfin::test::HttpServer server(temp / "site");
    const ToolRun online = RunTool({"verify", Utf8(list), "--url", server.ProxyAddress() + "/software/Tallowfin"});
    EXPECT_EQ(online.status, 0) << online.out;
    EXPECT_EQ(server.CountRequests("/software/Tallowfin/R&D/it's #1 + 50%.txt"), 1u);
}

TEST(PublishMake, RootAndPrefixShapeEveryEntry)
{
    TempFolder temp;
    WriteFile(temp / "release/a.txt", "a");
    WriteFile(temp / "release/sub/b.txt", "b");
    const ToolRun run = RunTool({"make", Utf8(temp / "release"), "-o", Utf8(temp / "list.xml"), "--root",
                                 "C:\\Games\\Tallowfin\\", "--url-prefix", "HTTPS://cdn.example/v2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto entries = ReadBack(temp / "list.xml");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, "C:\\Games\\Tallowfin\\");
    EXPECT_EQ(entries[1].path, "C:\\Games\\Tallowfin\\sub");
    EXPECT_EQ(entries[1].downurl, "HTTPS://cdn.example/v2/sub/b.txt");
    EXPECT_EQ(PercentDecode(PercentEncodePath("a b/%41/\xED\x95\x9C")), "a b/%41/\xED\x95\x9C");
}

TEST(PublishMake, RefusesAFolderThatHoldsOnlyFolders)
{
    TempFolder temp;
    WriteFile(temp / "release/top.txt", "t");
    WriteFile(temp / "release/plugins/net/net.dll", "n");
    fs::create_directories(temp / "release/logs/old");
    const fs::path list = temp / "list.xml";
    const ToolRun run = RunTool({"make", Utf8(temp / "release"), "-o", Utf8(list)});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(CountLines(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("the folder \"plugins\" holds no file"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("plugins/net/net.dll"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(list));

    // A file in the folder lets the updater create it; an empty folder is
    // only reported, as no file of the release is lost with it.
    WriteFile(temp / "release/plugins/index.txt", "i");
    const ToolRun fixed = RunTool({"make", Utf8(temp / "release"), "-o", Utf8(list)});
    ASSERT_EQ(fixed.status, 0) << fixed.err;
    EXPECT_NE(fixed.err.find("warning: the empty folder \"logs\" is left out"), std::string::npos) << fixed.err;
    EXPECT_EQ(ReadBack(list).size(), 3u);
    EXPECT_EQ(RunTool({"verify", Utf8(list), "--dir", Utf8(temp / "release")}).status, 0);
}

TEST(PublishMake, LeavesTheListItWritesOutOfTheList)
{
    TempFolder temp;
    WriteFile(temp / "site/a.txt", "a");
    const fs::path list = temp / "site" / "filelist.xml";
    WriteFile(list, "an older list");
    ASSERT_EQ(RunTool({"make", Utf8(temp / "site"), "-o", Utf8(list)}).status, 0);
    ASSERT_EQ(RunTool({"make", Utf8(temp / "site"), "-o", Utf8(list)}).status, 0);
    const auto entries = ReadBack(list);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "a.txt");
    EXPECT_EQ(NamesIn(temp / "site"), (std::vector<std::string>{"a.txt", "filelist.xml"}));
}

TEST(PublishMake, BadInputFailsOnOneLineAndLeavesTheOldListAlone)
{
    struct Case {
        const char* what;
        std::vector<std::string> files;  // created in the release folder
        std::vector<std::string> arguments;  // RELEASE and LIST stand for the two paths
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no release folder", {}, {"make", "RELEASE/missing", "-o", "LIST"}, "does not exist"},
        {"a file as release", {"f"}, {"make", "RELEASE/f", "-o", "LIST"}, "is not a folder"},
        {"empty release", {}, {"make", "RELEASE", "-o", "LIST"}, "holds no files"},
        {"no output folder", {"a"}, {"make", "RELEASE", "-o", "RELEASE/none/list.xml"}, "does not exist"},
        {"output is a folder", {"a"}, {"make", "RELEASE", "-o", "RELEASE"}, "is a folder"},
        {"no output", {"a"}, {"make", "RELEASE"}, "-o FILELIST"},
        {"no command", {}, {}, "no command"},
        {"unknown command", {}, {"publish"}, "unknown command"},
        {"unknown option", {"a"}, {"make", "RELEASE", "-o", "LIST", "--force", "x"}, "unknown option"},
        {"option without value", {"a"}, {"make", "RELEASE", "-o"}, "needs a value"},
        {"two releases", {"a"}, {"make", "RELEASE", "RELEASE", "-o", "LIST"}, "unexpected argument"},
        {"ftp prefix", {"a"}, {"make", "RELEASE", "-o", "LIST", "--url-prefix", "ftp://cdn/x"}, "nor https://"},
        {"prefix of another host", {"a"}, {"make", "RELEASE", "-o", "LIST", "--url-prefix", "//cdn/x"}, "another host"},
        {"empty root", {"a"}, {"make", "RELEASE", "-o", "LIST", "--root", ""}, "root folder is empty"},
        {"name not in code page 949", {"caf\xC3\xA9.txt"}, {"make", "RELEASE", "-o", "LIST"}, "code page 949"},
        {"emoji", {"d/\xF0\x9F\x98\x80"}, {"make", "RELEASE", "-o", "LIST"}, "code page 949"},
        {"name Windows forbids", {"a:b.txt"}, {"make", "RELEASE", "-o", "LIST"}, "does not allow \":\""},
        {"device name", {"aux.txt"}, {"make", "RELEASE", "-o", "LIST"}, "device name"},
        {"names differing in case", {"Read.me", "read.me"}, {"make", "RELEASE", "-o", "LIST"}, "same name"},
        {"name not UTF-8", {"\xFF.txt"}, {"make", "RELEASE", "-o", "LIST"}, "not UTF-8"},
        // The updater would read these otherwise than they lie in the release.
        {"leading blank", {" leading.txt"}, {"make", "RELEASE", "-o", "LIST"}, "\" leading.txt\": the updater reads"},
        {"folder with a leading blank", {"a", " lib/b"}, {"make", "RELEASE", "-o", "LIST"}, "\" lib\": the updater"},
        {"placeholder folder", {"a", "%PROGRAM%/inside.txt"}, {"make", "RELEASE", "-o", "LIST"},
         "\"%PROGRAM%\": the list"},
        {"placeholder in a file name", {"x%PROGRAM%.txt"}, {"make", "RELEASE", "-o", "LIST"}, "so no name may hold it"},
        {"second placeholder in the root", {"a"}, {"make", "RELEASE", "-o", "LIST", "--root", "%PROGRAM%\\%PROGRAM%"},
         "after its start"},
        {"root with a leading blank", {"a"}, {"make", "RELEASE", "-o", "LIST", "--root", " C:\\x"}, "white space"},
        {"verify without source", {}, {"verify", "LIST"}, "--dir SERVED_DIR or --url BASE"},
        {"verify with both", {}, {"verify", "LIST", "--dir", "RELEASE", "--url", "http://h/"}, "either"},
        {"verify over ftp", {}, {"verify", "LIST", "--url", "ftp://h/"}, "not an http:// or https:// address"},
        {"time limit offline", {}, {"verify", "LIST", "--dir", "RELEASE", "--time-limit", "5"}, "goes with --url"},
        {"time limit of no time", {}, {"verify", "LIST", "--url", "http://h/", "--time-limit", "0"}, "from 1 to"},
        {"verify a missing list", {}, {"verify", "RELEASE/none.xml", "--dir", "RELEASE"}, "no list file"},
        {"diff limit without patches", {"a"}, {"make", "RELEASE", "-o", "LIST", "--diff-limit", "8"}, "goes with"},
        {"diff limit of nothing", {"a"}, {"make", "RELEASE", "-o", "LIST", "--patches-from", "RELEASE", "--diff-limit", "0"},
         "from 1 to 2047"},
        {"no earlier release", {"a"}, {"make", "RELEASE", "-o", "LIST", "--patches-from", "RELEASE/none"}, "is not a folder"},
        {"immutable with a prefix", {"a"}, {"make", "RELEASE", "-o", "LIST", "--immutable", "--url-prefix", "v2"},
         "do not go together"},
        {"bases that are no folder", {}, {"verify", "LIST", "--dir", "RELEASE", "--bases", "RELEASE/none"}, "is not a folder"},
        {"immutable twice", {"a"}, {"make", "RELEASE", "-o", "LIST", "--immutable", "--immutable"}, "given twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder temp;
        const fs::path release = temp / "release";
        fs::create_directories(release);
        for (const auto& file : c.files) WriteFile(temp / ("release/" + file), "x");
        const fs::path list = temp / "list.xml";
        WriteFile(list, "<old/>");
        std::vector<std::string> arguments;
        for (std::string argument : c.arguments) {
            if (argument.starts_with("RELEASE")) argument.replace(0, 7, Utf8(release));
            if (argument == "LIST") argument = Utf8(list);
            arguments.push_back(argument);
        }
        const ToolRun run = RunTool(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with("error: ")) << run.err;
        EXPECT_EQ(CountLines(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(ReadFile(list), "<old/>");
        EXPECT_EQ(NamesIn(temp.Path()), (std::vector<std::string>{"list.xml", "release"}));
    }
}

TEST(PublishNames, CodePage949AndWindowsRulesCatchWhatBreaksTheUpdater)
{
    EXPECT_EQ(FirstCharacterNotInCp949("\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 ok \xC3\x9F"), std::nullopt);  // 한국어, ß
    EXPECT_EQ(FirstCharacterNotInCp949("a\xC3\xA9\xF0\x9F\x98\x80"), "\xC3\xA9");                         // é first
    EXPECT_EQ(FirstCharacterNotInCp949("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(FirstCharacterNotInCp949("a\xFF"), "\xFF");

    for (const char* good : {"a.txt", "COM10", "console.txt", "a b.dll", "\xED\x95\x9C"})
        EXPECT_EQ(WindowsNameProblem(good), "") << good;
    for (const char* bad : {"", "..", "a?b", "a\\b", "end.", "end ", "CON", "nul.txt", "Lpt1.log", "tab\there"})
        EXPECT_NE(WindowsNameProblem(bad), "") << bad;
}

TEST(PublishMake, TellsWhatClientsWillDownload)
{
    TempFolder temp;
    const fs::path release = temp / "release";
    WriteFile(release / "same.txt", "same");
    WriteFile(release / "data" / "changed.bin", "version 1");
    const fs::path list = temp / "filelist.xml";
    const ToolRun first = RunTool({"make", Utf8(release), "-o", Utf8(list)});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("a client holding the previous list: none, no list was at the output path\n"
                             "a client with nothing installed downloads 2 files, 13 bytes\n"),
              std::string::npos)
        << first.out;

    // The previous list wrote the folder in another letter case and with a
    // doubled backslash: Windows sees the same place.
    std::string previous = ReadFile(list);
    previous.replace(previous.find("%PROGRAM%\\data"), 14, "%PROGRAM%\\\\DATA");
    WriteFile(list, previous);
    WriteFile(release / "data" / "changed.bin", "version 2!");
    WriteFile(release / "new.txt", "new");
    const ToolRun second = RunTool({"make", Utf8(release), "-o", Utf8(list)});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out.find("a client holding the previous list downloads 2 files, 13 bytes\n"
                              "a client with nothing installed downloads 3 files, 17 bytes\n"),
              std::string::npos)
        << second.out;

    const ToolRun again = RunTool({"make", Utf8(release), "-o", Utf8(list)});
    EXPECT_NE(again.out.find("previous list downloads 0 files, 0 bytes"), std::string::npos) << again.out;
    WriteFile(list, "not a list");
    const ToolRun unreadable = RunTool({"make", Utf8(release), "-o", Utf8(list)});
    EXPECT_EQ(unreadable.status, 0);
    EXPECT_NE(unreadable.out.find("not known, the list that was at the output path cannot be read"), std::string::npos)
        << unreadable.out;
}

TEST(PublishMake, RefusesAFileLargerThanTheUpdaterFetches)
{
    TempFolder temp;
    WriteFile(temp / "release/a.txt", "a");
    WriteFile(temp / "release/huge.bin", "");
    // Sparse: nothing is written, and the size is refused before any hashing.
    fs::resize_file(temp / "release/huge.bin", 0x80000000u);
    const ToolRun run = RunTool({"make", Utf8(temp / "release"), "-o", Utf8(temp / "list.xml")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("huge.bin\": it is 2147483648 bytes, more than the updater can fetch (2147483647 bytes)"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(temp / "list.xml"));
}

namespace {

// What a list says of an entry's patches: base, size, sha256 and address.
struct ListedPatchValues {
    std::string base, baseSha256, size, sha256, address;
};

std::vector<ListedPatchValues> PatchesOf(const fs::path& list, const std::string& name)
{
    std::vector<ListedPatchValues> patches;
    for (const auto& entry : ReadListFile(list).children) {
        if (ValueOf(entry, "name") != name) continue;
        for (const auto& child : entry.children)
            if (child.name == "patch")
                patches.push_back({child.Attribute("base").value_or(""), child.Attribute("base_sha256").value_or(""),
                                   child.Attribute("size").value_or(""), child.Attribute("sha256").value_or(""),
                                   child.children.at(0).value});
    }
    return patches;
}

std::string Applied(const std::string& patch, const std::string& base)
{
    tallowfin::patch::MemoryPatchInput input(tallowfin::patch::BytesOf(patch));
    tallowfin::patch::MemoryBaseInput baseInput(tallowfin::patch::BytesOf(base));
    tallowfin::patch::StringOutput output;
    const auto result = tallowfin::patch::ApplyPatch(input, baseInput, output);
    EXPECT_TRUE(result.Applied()) << result.detail;
    return output.bytes;
}

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

}  // namespace

TEST(PublishPatches, ListsAPatchFromEachEarlierCopyWhereItSavesMoreThanHalf)
{
    TempFolder temp;
    const fs::path site = temp / "site";
    // Two builds of one program for "prog.exe"; an older one made by hand.
    const std::string v1 = ReadFile("/usr/bin/i686-w64-mingw32-gcc-posix");
    const std::string v2 = ReadFile("/usr/bin/x86_64-w64-mingw32-gcc-posix");
    ASSERT_GT(v1.size(), 100000u);
    std::string v0 = v1;
    v0.replace(5000, 3000, RandomBytes(2000, 1));
    WriteFile(temp / "v0/prog.exe", v0);
    WriteFile(temp / "v1/prog.exe", v1);
    WriteFile(temp / "v1/same.txt", "same");
    WriteFile(temp / "v1/data/noise.bin", RandomBytes(200000, 2));  // new content shares nothing with it
    WriteFile(temp / "v1/data/big.bin", RandomBytes(2500000, 3));   // above the limit of 2 MiB
    // The first publication, then the second in the same folder.
    fs::copy(temp / "v1", site, fs::copy_options::recursive);
    const fs::path list = site / "filelist.xml";
    ASSERT_EQ(RunTool({"make", Utf8(site), "-o", Utf8(list)}).status, 0);
    WriteFile(site / "prog.exe", v2);
    WriteFile(site / "data/noise.bin", RandomBytes(200000, 4));
    WriteFile(site / "data/big.bin", RandomBytes(2500000, 5));
    WriteFile(site / "new.txt", "new");

    const std::vector<std::string> make = {"make", Utf8(site), "-o", Utf8(list), "--patches-from", Utf8(temp / "v1"),
                                           "--patches-from", Utf8(temp / "v0"), "--diff-limit", "2"};
    const ToolRun run = RunTool(make);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("diffing 1 of 3: \"prog.exe\""), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not listed: the patch is"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("note: \"data/big.bin\" is not diffed"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("diffed 3 files, listed 2 patches"), std::string::npos) << run.out;

    const auto patches = PatchesOf(list, "prog.exe");
    ASSERT_EQ(patches.size(), 2u);
    std::uint64_t patchBytes = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string& base = i == 0 ? v1 : v0;
        EXPECT_EQ(patches[i].base, tallowfin::Md5Text(base));
        EXPECT_EQ(patches[i].baseSha256, Sha256TextOf(base));
        EXPECT_TRUE(patches[i].address.starts_with("patches/prog.exe-" + patches[i].base + "-")) << patches[i].address;
        const std::string patch = ReadFile(site / PercentDecode(patches[i].address));
        EXPECT_EQ(patches[i].size, std::to_string(patch.size()));
        EXPECT_EQ(patches[i].sha256, Sha256TextOf(patch));
        EXPECT_LT(patch.size() * 10, v2.size()) << "two builds of one program differ little";
        EXPECT_TRUE(Applied(patch, base) == v2);
        if (i == 0) patchBytes = patch.size();
    }
    for (const char* name : {"noise.bin", "big.bin", "same.txt", "new.txt"}) EXPECT_TRUE(PatchesOf(list, name).empty()) << name;
    // The client of the first publication takes the patch from what it holds.
    const std::uint64_t whole = v2.size() + 200000 + 2500000 + 3;
    EXPECT_NE(run.out.find("a client holding the previous list downloads 4 files, " +
                           std::to_string(whole - v2.size() + patchBytes) + " bytes (1 through a patch; " +
                           std::to_string(whole) + " bytes whole)"),
              std::string::npos)
        << run.out;

    const ToolRun verified = RunTool({"verify", Utf8(list), "--dir", Utf8(site), "--bases", Utf8(temp / "v0"), "--bases",
                                      Utf8(temp / "v1")});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_EQ(verified.out, "5 entries, 2 patches (2 applied to their bases), no problems\n");

    // Published again: the same patches, and the patch folder in the release
    // is not taken for part of it.
    const std::string before = ReadFile(list);
    const ToolRun again = RunTool(make);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("warning: the folder \"patches\" is left out of the release"), std::string::npos);
    EXPECT_EQ(ReadFile(list), before);
}

TEST(PublishPatches, AnImmutablePublicationServesEveryFileUnderItsDigest)
{
    TempFolder temp;
    WriteFile(temp / "old/a.txt", "a, version 1");
    WriteFile(temp / "release/a.txt", "a, version 2, " + std::string(4000, 'a'));
    WriteFile(temp / "release/sub/b c.bin", "b");
    const fs::path served = temp / "served";
    fs::create_directories(served);
    const fs::path list = served / "filelist.xml";
    const std::vector<std::string> make = {"make", Utf8(temp / "release"), "-o", Utf8(list), "--immutable",
                                           "--patches-from", Utf8(temp / "old")};
    const ToolRun run = RunTool(make);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("objects: 2 copied, 0 already there"), std::string::npos) << run.out;
    const auto entries = ReadBack(list);
    ASSERT_EQ(entries.size(), 2u);
    const std::string a = ReadFile(temp / "release/a.txt");
    EXPECT_EQ(entries[0].downurl, "objects/" + Sha256TextOf(a) + "/a.txt");
    EXPECT_EQ(entries[1].downurl, "objects/" + Sha256TextOf("b") + "/b%20c.bin");
    EXPECT_EQ(ReadFile(served / "objects" / Sha256TextOf("b") / "b c.bin"), "b");
    const auto patches = PatchesOf(list, "a.txt");
    ASSERT_EQ(patches.size(), 1u);
    EXPECT_EQ(patches[0].address, "objects/" + patches[0].sha256 + "/a.txt.patch");
    EXPECT_TRUE(Applied(ReadFile(served / PercentDecode(patches[0].address)), "a, version 1") == a);

    tallowfin::test::HttpServer server(served);
    const ToolRun online = RunTool({"verify", Utf8(list), "--url", server.ProxyAddress() + "/", "--bases",
                                    Utf8(temp / "old")});
    EXPECT_EQ(online.out, "2 entries, 1 patch (1 applied to their bases), no problems\n");

    // A new publication adds objects and leaves every old one as it was.
    WriteFile(temp / "release/a.txt", "a, version 3");
    ASSERT_EQ(RunTool(make).status, 0);
    EXPECT_EQ(ReadFile(served / PercentDecode(entries[0].downurl)), a);
    EXPECT_EQ(ReadBack(list)[0].downurl, "objects/" + Sha256TextOf("a, version 3") + "/a.txt");
    EXPECT_EQ(RunTool({"verify", Utf8(list), "--dir", Utf8(served)}).status, 0);

    // A serial that is refused refuses the run before anything is diffed or
    // written beside the list.
    auto withSerial = [&](const char* serial) {
        std::vector<std::string> arguments = make;
        arguments.insert(arguments.end(), {"--serial", serial});
        return RunTool(arguments);
    };
    ASSERT_EQ(withSerial("7").status, 0);
    WriteFile(temp / "release/a.txt", "a, version 4");
    const ToolRun below = withSerial("6");
    EXPECT_EQ(below.status, 2);
    EXPECT_NE(below.err.find("below the previous list's (7)"), std::string::npos) << below.err;
    EXPECT_EQ(below.err.find("diffing"), std::string::npos) << below.err;
    EXPECT_FALSE(fs::exists(served / "objects" / Sha256TextOf("a, version 4")));
}

TEST(PublishMake, HelpTellsOfEveryCommandAndOption)
{
    const ToolRun help = RunTool({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* what : {"make RELEASE_DIR", "verify FILELIST", "keygen", "serial BASE", "make --root", "make --url-prefix",
                             "make --sign", "--public", "make --serial", "make --expires", "make --url",
                             "make --patches-from", "--diff-limit", "make --immutable", "verify --dir", "--url:",
                             "--time-limit", "verify --key", "verify --bases"})
        EXPECT_NE(help.out.find(what), std::string::npos) << what;
}
