#include "control/md5.h"
#include "control/path_rules.h"
#include "publish/url_text.h"
#include "tests/native/publish_test_support.h"
#include "tests/support/http_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tallowfin::publish::test;
using tallowfin::Md5Text;
using tallowfin::publish::PercentEncodePath;
using tallowfin::test::Fault;
using tallowfin::test::HttpServer;

namespace {

std::string Entry(const std::string& path, const std::string& name, const std::string& hash, const std::string& downurl)
{
    return "<file><path>" + path + "</path><name>" + name + "</name><hash>" + hash + "</hash><downurl>" + downurl +
           "</downurl></file>";
}

const std::string kGoodHash = Md5Text("good");

// A first entry that is right, then what the case puts after it, so a check
// that blames the wrong entry shows.
std::string ListWith(const std::string& children)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<filelist>\n" +
           Entry("%PROGRAM%", "good.bin", kGoodHash, "good.bin") + "\n" + children + "\n</filelist>\n";
}

class PublishVerify : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(served_ / "good.bin", "good");
        WriteFile(served_ / "other.bin", "other");
        WriteFile(served_ / "sub dir/also.bin", "also");
        // Beside the served folder, with the content the lists ask for: an
        // address that gets out by any route would find it.
        WriteFile(temp_ / "good.bin", "good");
    }

    ToolRun Verify(const std::string& xml, bool overHttp)
    {
        WriteFile(temp_ / "filelist.xml", xml);
        if (overHttp) return RunTool({"verify", Utf8(temp_ / "filelist.xml"), "--url", server_.ProxyAddress() + "/"});
        return RunTool({"verify", Utf8(temp_ / "filelist.xml"), "--dir", Utf8(served_)});
    }

    TempFolder temp_;
    fs::path served_ = temp_ / "served";
    HttpServer server_{served_};
};

}  // namespace

TEST_F(PublishVerify, FindsEveryKindOfProblemAtItsEntry)
{
    struct Case {
        const char* what;
        std::string second;  // the list's second child
        std::string message;
        bool overHttp = false;
    };
    const std::string good = "%PROGRAM%";
    std::string outside = "C%3A";  // the decoy beside the served folder, encoded whole
    for (const char c : Utf8(temp_ / "good.bin")) outside += c == '/' ? std::string("%2F") : PercentEncodePath({&c, 1});
    const std::vector<Case> cases = {
        {"missing element", "<file><path>%PROGRAM%</path><name>a</name><downurl>good.bin</downurl></file>",
         "no <hash> element"},
        {"empty element", Entry(good, "", kGoodHash, "good.bin"), "<name> is empty"},
        {"blank element", Entry(good, "  \n ", kGoodHash, "good.bin"), "<name> is empty"},
        {"element in a value", Entry("<b>%PROGRAM%</b>", "a", kGoodHash, "good.bin"), "<path> holds the element <b>"},
        {"comment in a value", Entry(good, "a<!--x-->b", kGoodHash, "good.bin"), "holds text, comment, text"},
        {"comment entry", "<!-- retired: old.dll -->", "a comment where an entry element must be"},
        {"instruction entry", "<?skip this?>", "a processing instruction where"},
        {"text entry", "stray words", "a text where"},
        {"CDATA entry", "<![CDATA[x]]>", "a CDATA section where"},
        {"upper-case hash", Entry(good, "b", tallowfin::AsciiUpper(kGoodHash), "good.bin"), "upper-case digits"},
        {"short hash", Entry(good, "b", kGoodHash.substr(1), "good.bin"), "is not 32 hexadecimal digits"},
        {"hash of other letters", Entry(good, "b", std::string(32, 'g'), "good.bin"), "is not 32 hexadecimal digits"},
        {"https address", Entry(good, "b", kGoodHash, "https://cdn.example/good.bin"), "is https://"},
        {"ftp address", Entry(good, "b", kGoodHash, "ftp://cdn.example/good.bin"), "is not http://"},
        {"non-ASCII address", Entry(good, "b", kGoodHash, "\xED\x95\x9C.bin"), "non-ASCII"},
        {"file missing", Entry(good, "b", kGoodHash, "gone.bin"), "is not served: no file"},
        {"address climbing out", Entry(good, "b", kGoodHash, "../served/good.bin"), "leaves the served folder"},
        {"encoded climb", Entry(good, "a.bin", kGoodHash, "..%2Fgood.bin"), "is not served: it leaves the served folder"},
        {"encoded backslash climb", Entry(good, "b", kGoodHash, "sub%20dir/%2E%2E%5C..%5Cgood.bin"), "leaves the served"},
        {"climb Windows would trim", Entry(good, "b", kGoodHash, "..%20/good.bin"), "leaves the served folder"},
        {"encoded absolute path", Entry(good, "b", kGoodHash, outside.substr(4)), "is not served: no file"},
        {"encoded drive", Entry(good, "b", kGoodHash, outside), "leaves the served folder"},
        {"wrong content", Entry(good, "b", kGoodHash, "other.bin"), "serves content with the digest " + Md5Text("other")},
        {"name not in code page 949", Entry(good, "caf\xC3\xA9.bin", kGoodHash, "good.bin"), "code page 949"},
        {"emoji folder", Entry("%PROGRAM%\\\xF0\x9F\x98\x80", "b", kGoodHash, "good.bin"), "code page 949"},
        {"name Windows forbids", Entry(good, "a|b", kGoodHash, "good.bin"), "does not allow \"|\""},
        {"folder without parent", Entry("%PROGRAM%\\lib\\net", "b", kGoodHash, "good.bin"), "cannot be created"},
        {"placeholder in lower case", Entry("%program%\\lib", "b", kGoodHash, "good.bin"), "cannot be created"},
        {"placeholder twice", Entry("%PROGRAM%\\%PROGRAM%", "b", kGoodHash, "good.bin"), "\"%PROGRAM%\" after its start"},
        {"placeholder after a drive", Entry("C:\\%PROGRAM%", "b", kGoodHash, "good.bin"), "after its start"},
        // The updater reads text trimmed: not the name the list's author meant.
        {"name with a leading blank", Entry(good, " leading.txt", kGoodHash, "good.bin"),
         "name \" leading.txt\" begins or ends with white space; the updater reads it trimmed, as \"leading.txt\""},
        {"path with a line break after it", Entry("%PROGRAM%\n", "b", kGoodHash, "good.bin"), "path \"%PROGRAM%\\x0A\" begins"},
        {"relative folder", Entry("lib", "b", kGoodHash, "good.bin"), "neither below %PROGRAM% nor absolute"},
        {"status 404", Entry(good, "b", Md5Text("also"), "sub%20dir/also.bin"), "answers status 404", true},
        {"cut short", Entry(good, "b", Md5Text("other"), "other.bin"), "closed after 2 of 5 bytes", true},
        {"wrong content over HTTP", Entry(good, "b", kGoodHash, "other.bin"), "serves content with the digest", true},
    };
    Fault notFound;
    notFound.status = 404;
    server_.SetFault("/sub dir/also.bin", notFound);
    Fault cut;
    cut.cutAfter = 2;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The server cuts only the case that asks for it.
        if (std::string(c.what) == "cut short") server_.SetFault("/other.bin", cut);
        const ToolRun run = Verify(ListWith(c.second), c.overHttp);
        server_.SetFault("/other.bin", Fault{});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("entry 2: "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("entry 1: "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("2 entries, 1 problem"), std::string::npos) << run.out;
    }
}

TEST_F(PublishVerify, AcceptsWhatTheUpdaterReadsCorrectly)
{
    const std::string list = ListWith(
        // CDATA and text with blanks around it; the first <name> counts and
        // everything the updater ignores may be there.
        "<entry kind='x'><path><![CDATA[%PROGRAM%\\Lib]]></path><name>other.bin</name><name>x</name>"
        "<hash>\n  " + Md5Text("other") + "\n  </hash><downurl> other.bin </downurl><regist><any/></regist>note</entry>\n" +
        // Folder names differ in letter case and separators only.
        Entry("%PROGRAM%\\lib/Net\\", "a.bin", Md5Text("also"), "sub%20dir/also.bin") + "\n" +
        Entry("%PROGRAM%\\LIB\\net\\deep", "\xED\x95\x9C.bin", Md5Text("also"), "sub%20dir/./also.bin?v=2") + "\n" +
        Entry("C:\\Tallowfin Data", "b.bin", kGoodHash, "good.bin"));
    for (const bool overHttp : {false, true}) {
        const ToolRun run = Verify(list, overHttp);
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(run.out, "5 entries, no problems\n");
    }

    // An absolute address is fetched from its server online and only noted offline.
    const std::string absolute = ListWith(Entry("%PROGRAM%", "b", Md5Text("other"),
                                                "HTTP://127.0.0.1:" + std::to_string(server_.Port()) + "/other.bin"));
    const ToolRun offline = Verify(absolute, false);
    EXPECT_EQ(offline.status, 0);
    EXPECT_NE(offline.out.find("note: entry 2: downurl"), std::string::npos) << offline.out;
    EXPECT_NE(offline.out.find("2 entries, no problems (1 not checked)"), std::string::npos) << offline.out;
    server_.ClearRequests();
    EXPECT_EQ(Verify(absolute, true).out, "2 entries, no problems\n");
    EXPECT_EQ(server_.CountRequests("/other.bin"), 1u);
}

TEST_F(PublishVerify, AFolderProblemIsReportedOnceAndTheListAsAWhole)
{
    const ToolRun run = Verify(ListWith(Entry("%PROGRAM%\\a\\b", "x", kGoodHash, "good.bin") +
                                        Entry("%PROGRAM%\\a\\b", "y", kGoodHash, "good.bin") +
                                        Entry("%PROGRAM%\\a\\b\\c", "z", kGoodHash, "good.bin")),
                               false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.find("entry 3: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("entry 4: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("4 entries, 2 problems"), std::string::npos) << run.out;

    const ToolRun empty = Verify("<filelist/>", false);
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out, "list: the list has no entries\n0 entries, 1 problem\n");

    const ToolRun malformed = Verify("<filelist>\n<file><path>x</file>\n</filelist>", false);
    EXPECT_EQ(malformed.status, 2);
    EXPECT_EQ(malformed.out, "");
    EXPECT_EQ(CountLines(malformed.err), 1u);
    EXPECT_NE(malformed.err.find("line 2, column 14 is not well-formed XML: </file> does not close <path>"),
              std::string::npos)
        << malformed.err;
}
