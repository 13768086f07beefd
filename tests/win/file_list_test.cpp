// Reading the file list with the platform's XML parser and comparing the
// installed files by digest: which records come out, in which order, and what
// a list that cannot be read leaves behind.
#include <gtest/gtest.h>

#include <thread>

#include "common/com_ptr.h"
#include "common/path_rules.h"
#include "control/main_form.h"
#include "tests/support/win_util.h"
#include "tests/win/fake_view.h"
#include "tests/win/updater_fixture.h"
#include "tests/win/worker_support.h"

namespace tallowfin::test {
namespace {

const std::string kZeroHash = "d41d8cd98f00b204e9800998ecf8427e";  // MD5 of no input

class FileListTest : public ::testing::Test {
protected:
    FileListTest() { fs::create_directories(dir.path() / "app"); }

    std::string App() const { return (dir.path() / "app").string(); }
    std::string WriteList(const std::string& xml)
    {
        auto path = dir.path() / ("list" + std::to_string(++lists) + ".xml");
        WriteBytes(path, xml);
        return path.string();
    }
    static std::string Entry(const std::string& path, const std::string& name, const std::string& hash,
                             const std::string& url, const std::string& extra = "")
    {
        return "<file><path>" + path + "</path><name>" + name + "</name><hash>" + hash + "</hash><downurl>" + url +
               "</downurl>" + extra + "</file>";
    }
    static std::string List(const std::string& entries) { return "<filelist>" + entries + "</filelist>"; }

    // The (Url, LocalPath) of each record; the list file must be gone afterwards.
    std::vector<std::pair<std::string, std::string>> Collect(const std::string& xml) { return Collect(xml, form); }
    std::vector<std::pair<std::string, std::string>> Collect(const std::string& xml, TMainForm& reader)
    {
        const std::string file = WriteList(xml);
        UpdateRecords records = reader.CollectChangedFiles(file);
        EXPECT_FALSE(fs::exists(file)) << "the list is deleted once read";
        std::vector<std::pair<std::string, std::string>> result;
        for (auto& r : records) {
            EXPECT_TRUE(r->Description.empty());
            EXPECT_TRUE(r->TempFile.empty());
            result.emplace_back(r->Url, r->LocalPath);
        }
        return result;
    }
    // A list that must fail: it throws, and the list file is gone.
    void ExpectFailure(const std::string& xml) { ExpectFailure(xml, form); }
    void ExpectFailure(const std::string& xml, TMainForm& reader)
    {
        const std::string file = WriteList(xml);
        EXPECT_ANY_THROW(reader.CollectChangedFiles(file)) << xml;
        EXPECT_FALSE(fs::exists(file));
    }

    ComApartment com;
    ScratchDir dir{"list"};
    int lists = 0;
    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    TMainForm form{view, door, internet, {"", (dir.path() / "app" / "TallowfinUpdate.exe").string(), ""}};
};

TEST_F(FileListTest, ChangedAndMissingFilesGiveRecordsInListOrder)
{
    WriteBytes(dir.path() / "app" / "same.txt", "same");
    WriteBytes(dir.path() / "app" / "upper.txt", "upper");
    WriteBytes(dir.path() / "app" / "empty.txt", "");
    WriteBytes(dir.path() / "app" / "zero.txt", "");
    const std::string xml = List(
        Entry("%PROGRAM%", "same.txt", Md5Hex("same"), "same.txt") +        // unchanged: no record
        Entry("%PROGRAM%", "missing.txt", Md5Hex("x"), "missing.txt") +     // missing: always a record
        Entry("%PROGRAM%", "empty.txt", Md5Hex("x"), "empty.txt") +         // zero bytes, other digest
        Entry("%PROGRAM%", "zero.txt", kZeroHash, "zero.txt") +             // zero bytes, digest of no input
        Entry("%PROGRAM%", "upper.txt", AsciiUpper(Md5Hex("upper")), "HTTP://other.test/u.txt") +
        Entry("%PROGRAM%\\", "slash.txt", Md5Hex("x"), "slash.txt") +
        Entry("%PROGRAM%", "missing.txt", Md5Hex("x"), "again.txt"));
    EXPECT_EQ(Collect(xml), (std::vector<std::pair<std::string, std::string>>{
                                {"missing.txt", App() + "\\missing.txt"},
                                {"empty.txt", App() + "\\empty.txt"},
                                {"HTTP://other.test/u.txt", App() + "\\upper.txt"},
                                {"slash.txt", App() + "\\\\slash.txt"},
                                {"again.txt", App() + "\\missing.txt"},
                            }));
}

TEST_F(FileListTest, RecordsCarryTheDigestTheListGaveThemForTheInstallation)
{
    const std::string upper = AsciiUpper(Md5Hex("u"));
    UpdateRecords records = form.CollectChangedFiles(WriteList(
        List(Entry("%PROGRAM%", "a", Md5Hex("a"), "a") + Entry("%PROGRAM%", "u", upper, "u", "<size>2147483647</size>") +
             Entry("%PROGRAM%", "z", Md5Hex(""), "z", "<size>0</size>"))));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]->Listed.Md5, Md5Hex("a"));
    EXPECT_EQ(records[1]->Listed.Md5, upper) << "as listed, letter case included";
    EXPECT_FALSE(records[0]->Installed);
    // The length the transfer is held to, where the entry gives one.
    EXPECT_EQ(records[0]->Size, std::nullopt);
    EXPECT_EQ(records[1]->Size, 2147483647u);
    EXPECT_EQ(records[2]->Size, 0u);
}

TEST_F(FileListTest, PlaceholderAndDirectories)
{
    const std::string base = dir.str();
    const std::string xml = List(
        // Only the upper-case placeholder is expanded, every time it occurs.
        Entry(base + "\\%program%", "a", Md5Hex("x"), "a") +
        Entry("%PROGRAM%\\sub%PROGRAM%", "b", Md5Hex("x"), "b") +
        // One level is created; a folder whose parent is missing is not.
        Entry("%PROGRAM%\\new", "c", Md5Hex("x"), "c") +
        Entry(base + "\\no\\such", "d", Md5Hex("x"), "d"));
    auto records = Collect(xml);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].second, base + "\\%program%\\a");
    EXPECT_TRUE(fs::is_directory(base + "\\%program%"));
    EXPECT_EQ(records[1].second, App() + "\\sub" + App() + "\\b");
    EXPECT_TRUE(fs::is_directory(App() + "\\new"));
    EXPECT_EQ(records[3].second, base + "\\no\\such\\d");
    EXPECT_FALSE(fs::exists(base + "\\no"));
}

TEST_F(FileListTest, ValuesAreLookedUpByExactNameFirstElementFirst)
{
    WriteBytes(dir.path() / "app" / "f.txt", "f");
    const std::string hash = Md5Hex("f");
    const std::string xml =
        "<anything>"
        // Extra elements, attributes and a different entry name change nothing;
        // order within the entry does not matter; the first "path" counts.
        "<entry kind='x'><downurl id='1'>f.txt</downurl><extra>1</extra><path>%PROGRAM%</path>"
        "<path>C:\\elsewhere</path><name>f.txt</name><hash>" + hash + "</hash></entry>"
        // "Path" is not "path": this entry's first "path" is the lower-case one.
        "<item><Path>C:\\wrong</Path><path>%PROGRAM%</path><name>g.txt</name><hash>" + hash +
        "</hash><downurl>g.txt</downurl></item>"
        // Patches, in any place and of any content, are not this reader's:
        // the entry is read as if they were not there.
        "<file><patch base='" + hash + "' size='10' sha256='" + std::string(64, 'a') + "'>patches/h.patch</patch>"
        "<path>%PROGRAM%</path><name>h.txt</name><hash>" + hash + "</hash><patch><future kind='x'/></patch>"
        "<downurl>h.txt</downurl><patch/></file>"
        "</anything>";
    EXPECT_EQ(Collect(xml), (std::vector<std::pair<std::string, std::string>>{{"g.txt", App() + "\\g.txt"},
                                                                             {"h.txt", App() + "\\h.txt"}}));
}

TEST_F(FileListTest, RegistNeverChangesTheRecords)
{
    std::vector<std::pair<std::string, std::string>> first;
    for (const std::string regist : {"", "<regist/>", "<regist></regist>", "<regist>yes</regist>", "<regist>no</regist>",
                                     "<regist><![CDATA[whatever]]></regist>"}) {
        auto records = Collect(List(Entry("%PROGRAM%", "x.dll", Md5Hex("x"), "x.dll", regist)));
        if (first.empty()) first = records;
        EXPECT_EQ(records, first) << regist;
    }
    EXPECT_EQ(first.size(), 1u);
}

TEST_F(FileListTest, IndentationChangesNothing)
{
    const std::string compact = List(Entry("%PROGRAM%", "a", Md5Hex("x"), "a") + Entry("%PROGRAM%", "b", Md5Hex("x"), "b"));
    const std::string indented =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<filelist>\r\n\t<file>\r\n\t\t<path>%PROGRAM%</path>\r\n"
        "\t\t<name>a</name>\r\n\t\t<hash>" + Md5Hex("x") + "</hash>\r\n\t\t<downurl>a</downurl>\r\n\t</file>\n"
        "   <file>  <path>%PROGRAM%</path>  <name>b</name> <hash>" + Md5Hex("x") +
        "</hash>\n<downurl>b</downurl></file>\n\n</filelist>\n";
    EXPECT_EQ(Collect(compact), Collect(indented));
    EXPECT_TRUE(Collect("<filelist>\n  \n</filelist>").empty());
    EXPECT_TRUE(Collect("<filelist/>").empty());
}

TEST_F(FileListTest, ListsThatCannotBeRead)
{
    const std::string good = Entry("%PROGRAM%", "a", Md5Hex("x"), "a");
    ExpectFailure(List(good + "<!-- a comment -->"));
    ExpectFailure(List(good + "stray text"));
    ExpectFailure(List(good + "<![CDATA[data]]>"));
    ExpectFailure(List(good + "<?pi data?>"));
    ExpectFailure(List("<file><name>a</name><hash>" + Md5Hex("x") + "</hash><downurl>a</downurl></file>"));
    ExpectFailure(List("<file><path>%PROGRAM%</path><hash>" + Md5Hex("x") + "</hash><downurl>a</downurl></file>"));
    ExpectFailure(List("<file><path>%PROGRAM%</path><name>a</name><downurl>a</downurl></file>"));
    ExpectFailure(List("<file><path>%PROGRAM%</path><name>a</name><hash>" + Md5Hex("x") + "</hash></file>"));
    ExpectFailure(List(Entry("%PROGRAM%", "a", "", "a")));
    ExpectFailure(List(Entry("%PROGRAM%", "a", "<![CDATA[]]>", "a")));
    ExpectFailure(List(Entry("", "a", Md5Hex("x"), "a")));
    ExpectFailure(List(Entry("%PROGRAM%", "<b>a</b>", Md5Hex("x"), "a")));
    ExpectFailure(List(Entry("%PROGRAM%", "a", Md5Hex("x"), "a", "<regist><yes/></regist>")));
    // A size that is no length in bytes the updater fetches.
    for (const char* size : {"", "012", "-1", "1e3", "2147483648", "12 bytes"})
        ExpectFailure(List(Entry("%PROGRAM%", "a", Md5Hex("x"), "a", std::string("<size>") + size + "</size>")));
    // A document type, harmless or not, in any encoding the parser reads: a
    // list has no use for one, and a parser may ignore its prohibition.
    const std::string declared = "<!DOCTYPE filelist [<!ENTITY p \"%PROGRAM%\">]>" + List(Entry("&p;", "a", Md5Hex("x"), "a"));
    ExpectFailure(declared);
    std::string utf16 = "\xFF\xFE";
    for (char c : "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + declared) utf16.append({c, '\0'});
    ExpectFailure(utf16);
    ExpectFailure("<filelist><file>");
    ExpectFailure("not xml at all");
    ExpectFailure("");
    EXPECT_ANY_THROW(form.CollectChangedFiles(""));
    EXPECT_ANY_THROW(form.CollectChangedFiles((dir.path() / "no-such-list.xml").string()));
}

TEST_F(FileListTest, DirectoriesOfEarlierEntriesRemainWhenALaterOneFails)
{
    ExpectFailure(List(Entry("%PROGRAM%\\first", "a", Md5Hex("x"), "a") + Entry("%PROGRAM%\\second", "b", "", "b")));
    EXPECT_TRUE(fs::is_directory(App() + "\\first"));
    EXPECT_FALSE(fs::exists(App() + "\\second"));
}

TEST_F(FileListTest, FileHeldOpenForWritingFailsTheList)
{
    const fs::path held = dir.path() / "app" / "held.bin";
    WriteBytes(held, "held");
    FileHandle writer(CreateFileA(held.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    ExpectFailure(List(Entry("%PROGRAM%\\before", "a", Md5Hex("x"), "a") + Entry("%PROGRAM%", "held.bin", Md5Hex("x"), "held.bin")));
    EXPECT_TRUE(fs::is_directory(App() + "\\before"));
    writer.reset();
    EXPECT_EQ(Collect(List(Entry("%PROGRAM%", "held.bin", Md5Hex("held"), "held.bin"))).size(), 0u);
}

// Readers that hash in parallel or answer from a digest cache find what the
// plain reader finds, and fail where it fails.
TEST_F(FileListTest, ParallelHashingAndTheDigestCacheChangeNoOutcome)
{
    std::string entries;
    for (int i = 0; i < 60; ++i) {
        // Built by appending: GCC 12 warns (-Wrestrict, wrongly) about a
        // literal put before a temporary string.
        const std::string part = std::string("part").append(std::to_string(i % 4));
        const std::string folder = std::string("%PROGRAM%\\").append(part);
        const std::string name = std::string("file").append(std::to_string(i)).append(".bin");
        const std::string bytes = PatternBytes(static_cast<std::size_t>(1000 + 997 * i), static_cast<unsigned>(i));
        fs::create_directories(App() + "\\" + part);
        // Every third file differs from its entry, every fifth is missing.
        if (i % 5 != 4) WriteBytes(App() + "\\" + part + "\\" + name, bytes);
        entries += Entry(folder, name, Md5Hex(i % 3 == 1 ? bytes + "!" : bytes), name);
    }
    fs::create_directories(App() + "\\part0\\dir.bin");
    entries += Entry("%PROGRAM%\\part0", "dir.bin", kZeroHash, "dir.bin");
    entries += Entry("%PROGRAM%\\new", "n.bin", kZeroHash, "n.bin");
    const std::string list = List(entries);
    const auto expected = Collect(list);
    ASSERT_EQ(expected.size(), 16u + 12u + 2u);  // changed, missing, a folder and a new folder's file
    // Files settle, so that a cache remembers them all.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));

    ScratchDir cacheDir{"cache"};
    const std::string exe = (dir.path() / "app" / "TallowfinUpdate.exe").string();
    for (unsigned threads : {1u, 2u, 8u}) {
        for (const std::string& cache : {std::string(), cacheDir.str()}) {
            TMainForm reader{view, door, internet, {"", exe, "", nullptr, cache, threads}};
            EXPECT_EQ(Collect(list, reader), expected) << threads << " threads, cache " << cache;
            // The cache now holds the files: read again, from it.
            EXPECT_EQ(Collect(list, reader), expected) << threads << " threads, again";
        }
    }
    EXPECT_GT(fs::file_size(cacheDir.path() / "digests.bin"), 60u * 50);

    // A file that cannot be read fails every reader at its place in the list:
    // the folders before it are made, those after it are not.
    const fs::path held = dir.path() / "app" / "part2" / "file2.bin";
    FileHandle writer(CreateFileA(held.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    // Its state as the cache knows it changes: no cache can vouch for it.
    ASSERT_TRUE(SetEndOfFile(writer.get()));
    for (unsigned threads : {1u, 8u}) {
        for (const std::string& cache : {std::string(), cacheDir.str()}) {
            TMainForm reader{view, door, internet, {"", exe, "", nullptr, cache, threads}};
            ExpectFailure(List(Entry("%PROGRAM%\\before", "a", kZeroHash, "a") + entries +
                               Entry("%PROGRAM%\\after", "b", kZeroHash, "b")),
                          reader);
            EXPECT_TRUE(fs::is_directory(App() + "\\before"));
            EXPECT_FALSE(fs::exists(App() + "\\after"));
        }
    }
}

}  // namespace
}  // namespace tallowfin::test
