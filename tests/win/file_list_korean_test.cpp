// A list in UTF-8 naming Korean folders and files, read on a system whose ANSI
// code page is 949: values arrive as code page 949 bytes and name the right
// files on disk.
#include <gtest/gtest.h>

#include "common/com_ptr.h"
#include "common/limits.h"
#include "common/file_system.h"
#include "control/main_form.h"
#include "publish/errors.h"
#include "publish/served_list.h"
#include "tests/support/win_util.h"
#include "tests/win/fake_view.h"
#include "tests/win/updater_fixture.h"
#include "tests/win/worker_support.h"

namespace tallowfin::test {
namespace {

// "업데이트" and "설정.ini" in UTF-8 (for the list) and in code page 949 (for the
// ANSI file functions).
const std::string kFolderUtf8 = "\xEC\x97\x85\xEB\x8D\xB0\xEC\x9D\xB4\xED\x8A\xB8";
const std::string kFolder949 = "\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE";
const std::string kFileUtf8 = "\xEC\x84\xA4\xEC\xA0\x95.ini";
const std::string kFile949 = "\xBC\xB3\xC1\xA4.ini";

TEST(FileListKorean, NamesAreConvertedToCodePage949)
{
    // Wine takes code page 949 from LC_ALL, and needs the Linux locale itself
    // installed to give Korean names to files.
    ASSERT_EQ(GetACP(), 949u) << "run this test with LC_ALL=ko_KR.UTF-8";
    ComApartment com;
    ScratchDir dir("ko");
    const std::string app = dir.str() + "\\app";
    CreateDirectoryA(app.c_str(), nullptr);
    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    TMainForm form(view, door, internet, {"", app + "\\TallowfinUpdate.exe", ""});

    const std::string content = "[ko]";
    auto list = [&](const std::string& hash) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><filelist><file><path>%PROGRAM%\\" + kFolderUtf8 +
               "</path><name>" + kFileUtf8 + "</name><hash>" + hash + "</hash><downurl>ko/" + kFileUtf8 +
               "</downurl></file></filelist>";
    };
    const std::string listFile = dir.str() + "\\list.xml";
    WriteBytes(listFile, list(Md5Hex(content)));
    UpdateRecords records = form.CollectChangedFiles(listFile);
    // The folder was made under its Korean name, and the missing file is fetched.
    EXPECT_TRUE(DirectoryExists(app + "\\" + kFolder949));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->LocalPath, app + "\\" + kFolder949 + "\\" + kFile949);
    EXPECT_EQ(records[0]->Url, "ko/" + kFile949);

    // Once the file is there under that name, its digest matches.
    FileHandle file(CreateFileA(records[0]->LocalPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    file.reset();
    WriteBytes(listFile, list(Md5Hex(content)));
    EXPECT_TRUE(form.CollectChangedFiles(listFile).empty());
}

TEST(FileListKorean, NameTheCodePageCannotHoldFailsTheList)
{
    ASSERT_EQ(GetACP(), 949u);
    ComApartment com;
    ScratchDir dir("ko");
    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    TMainForm form(view, door, internet, {"", dir.str() + "\\TallowfinUpdate.exe", ""});
    // U+0E01 (a Thai letter) has no code page 949 form; a look-alike would
    // name another file.
    const std::string listFile = dir.str() + "\\list.xml";
    WriteBytes(listFile, "<l><f><path>%PROGRAM%</path><name>\xE0\xB8\x81.txt</name><hash>"
                         "00000000000000000000000000000000</hash><downurl>a</downurl></f></l>");
    EXPECT_ANY_THROW(form.CollectChangedFiles(listFile));
    EXPECT_FALSE(FileExists(listFile));
}

TEST(FileListKorean, FileNamedLikeTheUpdaterButForTheSecondByteOfACharacterIsInstalledLikeAnyOther)
{
    ASSERT_EQ(GetACP(), 949u);
    ComApartment com;
    ScratchDir dir("ko");
    ScratchDir temp("kotmp");
    ScopedEnv tmp("TMP", temp.str());
    // Two Hangul syllables, 0x81 0x41 and 0x81 0x61: their second bytes are
    // the bytes of 'A' and 'a'. The updater runs under the first name; the
    // list names the second (in UTF-8), another program altogether.
    const std::string updater = dir.str() + "\\\x81\x41.exe";
    const std::string other = dir.str() + "\\\x81\x61.exe";
    FileHandle file(CreateFileA(updater.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    WriteFile(file.get(), "updater", 7, &written, nullptr);
    file.reset();

    const std::string base = "http://updates.test/software/Tallowfin/";
    const std::string content = "another program";
    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    internet.replies[base + "filelist.xml"] = FakeReply::Serving(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><l><f><path>%PROGRAM%</path><name>\xEA\xB0\xB5.exe</name><hash>" +
        Md5Hex(content) + "</hash><downurl>other.exe</downurl></f></l>");
    internet.replies[base + "other.exe"] = FakeReply::Serving(content);
    TMainForm form(view, door, internet, {base, updater, ""});
    form.FormCreate();
    ASSERT_TRUE(PumpUntil([&] { return view.terminated > 0; }));
    PumpFor(std::chrono::milliseconds(50));  // the worker frees itself
    EXPECT_EQ(ReadWholeFile(other), content) << "installed under its own name";
    EXPECT_EQ(ReadWholeFile(updater), "updater");
    EXPECT_TRUE(form.SelfUpdateFile().empty()) << "not taken for the updater";
    EXPECT_FALSE(FileExists(dir.str() + "\\\x81\x41.Update"));
}

}  // namespace
}  // namespace tallowfin::test

namespace tallowfin::test {
namespace {

// A list the publishing tool makes of a release folder is read by the updater
// without error, and gives no record for an installation identical to it.
TEST(FileListKorean, ListsThePublishingToolMakesAreReadAsPublished)
{
    ASSERT_EQ(GetACP(), 949u);
    ComApartment com;
    ScratchDir dir("pub");
    const fs::path release = dir.path() / "release";
    fs::create_directories(release / "data" / "deep");
    WriteBytes(release / "TallowfinUpdate.exe", "the updater");
    WriteBytes(release / "data" / "a&b 'c'.txt", "escaped name");
    WriteBytes(release / "data" / "deep" / "x.dll", PatternBytes(70000, 4));
    // A Korean folder and file, named through the system's code page 949.
    const std::string korean = dir.str() + "\\release\\" + kFolder949;
    CreateDirectoryA(korean.c_str(), nullptr);
    FileHandle file(CreateFileA((korean + "\\" + kFile949).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    WriteFile(file.get(), "[ko]", 4, &written, nullptr);
    file.reset();

    const fs::path list = dir.path() / "filelist.xml";
    Process publish = Start(PublishExe(), "make \"" + release.string() + "\" -o \"" + list.string() + "\"", dir.path());
    ASSERT_EQ(publish.WaitExit(), 0u);

    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    TMainForm form(view, door, internet, {"", (release / "TallowfinUpdate.exe").string(), "", nullptr});
    fs::copy_file(list, dir.path() / "kept.xml");
    fs::copy_file(list, dir.path() / "checked.xml");
    EXPECT_TRUE(form.CollectChangedFiles(list.string()).empty());

    // One changed file gives one record, addressed where the tool put it.
    WriteBytes(release / "data" / "deep" / "x.dll", "changed");
    UpdateRecords records = form.CollectChangedFiles((dir.path() / "kept.xml").string());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->LocalPath, release.string() + "\\data\\deep\\x.dll");
    EXPECT_EQ(records[0]->Url, "data/deep/x.dll");

    // The Windows tool reads the list through the updater's own document
    // class and fetches through WinINet: it passes the list against the
    // folder and against a server of it, and fails it when a reply has no
    // length, as the updater would.
    const fs::path kept = dir.path() / "checked.xml";
    WriteBytes(release / "data" / "deep" / "x.dll", PatternBytes(70000, 4));
    auto verify = [&](const std::string& source) {
        Process run = Start(PublishExe(), "verify \"" + kept.string() + "\" " + source, dir.path());
        return run.WaitExit();
    };
    EXPECT_EQ(verify("--dir \"" + release.string() + "\""), 0u);
    // Served beside the files, as verify --url expects the list it checks.
    fs::copy_file(kept, release / "filelist.xml");
    HttpServer server(release);
    EXPECT_EQ(verify("--url " + server.ProxyAddress() + "/"), 0u);
    EXPECT_EQ(server.CountRequests("/data/deep/x.dll"), 1u);
    Fault noLength;
    noLength.noContentLength = true;
    server.SetFault("/data/deep/x.dll", noLength);
    EXPECT_EQ(verify("--url " + server.ProxyAddress() + "/"), 1u);

    // The served list's serial, read by the Windows tool through the same
    // document class from a file of its own in the temporary folder.
    std::string withSerial = ReadBytes(kept);
    withSerial.replace(withSerial.find("<filelist>"), 10, "<filelist serial=\"1796734207\">");
    publish::ServedBody served;
    served.url = "http://update.tallowfin.example/filelist.xml";
    served.outcome.state = publish::FetchOutcome::State::Found;
    served.bytes = withSerial;
    EXPECT_EQ(publish::ServedListSerial(served), 1796734207u);
    served.bytes = withSerial.substr(0, withSerial.size() / 2);
    EXPECT_THROW(publish::ServedListSerial(served), publish::InputError);
}

// The updater and the tool refuse a list one byte above the updater's limit,
// and both read one of exactly that size.
TEST(FileListKorean, TheUpdaterAndTheToolShareTheListLimit)
{
    ComApartment com;
    ScratchDir dir("limit");
    WriteBytes(dir.path() / "a.txt", "a");
    const std::string list = "<filelist><file><path>%PROGRAM%</path><name>a.txt</name><hash>" + Md5Hex("a") +
                             "</hash><downurl>a.txt</downurl></file></filelist>";
    MainThreadDoor door;
    FakeInternet internet;
    FakeView view;
    TMainForm form(view, door, internet, {"", (dir.path() / "TallowfinUpdate.exe").string(), "", nullptr});
    for (const std::uint64_t size : {limits::kLargestList, limits::kLargestList + 1}) {
        SCOPED_TRACE(size);
        const bool within = size <= limits::kLargestList;
        const fs::path file = dir.path() / "filelist.xml";
        WriteBytes(file, list + std::string(size - list.size(), ' '));
        Process tool = Start(PublishExe(), "verify \"" + file.string() + "\" --dir \"" + dir.str() + "\"", dir.path());
        EXPECT_EQ(tool.WaitExit(), within ? 0u : 1u);
        if (within)
            EXPECT_TRUE(form.CollectChangedFiles(file.string()).empty());
        else
            EXPECT_ANY_THROW(form.CollectChangedFiles(file.string()));
    }
}

}  // namespace
}  // namespace tallowfin::test
