#include "common/limits.h"
#include "common/md5.h"
#include "common/path_rules.h"
#include "publish/http_reply.h"
#include "publish/patch_maker.h"
#include "publish/signing.h"
#include "publish/url_text.h"
#include "publish/verify_list.h"
#include "tests/native/publish_test_support.h"
#include "tests/support/http_server.h"

#include <gtest/gtest.h>

#include <random>
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

// The entry with a "size" as its last value.
std::string Sized(const std::string& entry, const std::string& size)
{
    return entry.substr(0, entry.size() - 7) + "<size>" + size + "</size></file>";
}

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

    ToolRun Verify(const std::string& xml, bool overHttp, const std::string& seconds = "5")
    {
        WriteFile(temp_ / "filelist.xml", xml);
        // Served too, as it is after an upload: verify --url checks that the
        // server serves the very list.
        if (overHttp) WriteFile(served_ / "filelist.xml", xml);
        if (overHttp)
            return RunTool({"verify", Utf8(temp_ / "filelist.xml"), "--url", server_.ProxyAddress() + "/", "--time-limit",
                            seconds});
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
        {"ftp address", Entry(good, "b", kGoodHash, "ftp://cdn.example/good.bin"), "is neither http:// nor https://"},
        {"scheme without slashes", Entry(good, "b", kGoodHash, "mailto:good.bin"), "is neither http:// nor https://"},
        {"address of another host", Entry(good, "b", kGoodHash, "//cdn.example/good.bin"), "a reference to another host"},
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
        {"cut short", Entry(good, "b", Md5Text("other"), "other.bin"), "the body ended after 2 of 5 bytes", true},
        {"wrong content over HTTP", Entry(good, "b", kGoodHash, "other.bin"), "serves content with the digest", true},
        {"size that is no length", Sized(Entry(good, "b", kGoodHash, "good.bin"), "04"), "<size> is not a length"},
        {"size above the largest file", Sized(Entry(good, "b", kGoodHash, "good.bin"), "2147483648"), "<size> is not"},
        {"size other than served", Sized(Entry(good, "b", kGoodHash, "good.bin"), "5"), "serves 4 bytes, not the listed size 5"},
        {"size other than served over HTTP", Sized(Entry(good, "b", kGoodHash, "good.bin"), "3"),
         "serves 4 bytes, not the listed size 3", true},
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
        Sized(Entry("C:\\Tallowfin Data", "b.bin", kGoodHash, "good.bin"), "4"));
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
    EXPECT_NE(malformed.err.find("line 2, column 21 cannot be read as the updater reads it: Opening and ending tag "
                                 "mismatch: path line 2 and file"),
              std::string::npos)
        << malformed.err;
}

// Each way a reply can fail every client, served for real: the internet
// library reads it, verify judges it as the updater would take it.
TEST_F(PublishVerify, RepliesTheUpdaterCannotUseAreProblems)
{
    struct Case {
        const char* what;
        Fault fault;
        std::string message;
    };
    auto raw = [](const std::string& head, const std::string& body = "good") {
        Fault fault;
        fault.rawReply = head + "\r\n" + body;
        return fault;
    };
    Fault noLength;
    noLength.noContentLength = true;
    Fault loop;
    loop.status = 302;
    loop.location = "/good.bin";
    Fault toFtp;
    toFtp.status = 301;
    toFtp.location = "ftp://127.0.0.1/good.bin";
    Fault slow;
    slow.bytesPerSecond = 1;
    const std::vector<Case> cases = {
        // libcurl stops at these itself, and says why.
        {"status of four digits", raw("HTTP/1.1 2000 OK\r\nContent-Length: 4\r\n"), "Unsupported response code"},
        {"length with a plus", raw("HTTP/1.1 200 OK\r\nContent-Length: +4\r\n"), "length \"+4\", which the updater"},
        {"negative length", raw("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n"), "the updater counts the file as missing"},
        {"two lengths", raw("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 9\r\n"), "two different lengths"},
        {"gzip transfer coding", raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n", "0\r\n\r\n"),
         "transfer coding \"gzip, chunked\""},
        {"chunked", raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "4\r\ngood\r\n0\r\n\r\n"),
         "transfer coding \"chunked\" and so without a length"},
        {"no length", noLength, "without a length; the updater counts the file as missing"},
        {"above 2 GiB - 1", raw("HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n"),
         "is 2147483648 bytes long, more than the updater can fetch (2147483647 bytes)"},
        {"redirect to another scheme", toFtp, "which the updater cannot fetch"},
        {"endless redirects", loop, "after 10 redirects already"},
        // A byte a second never stalls long enough for a time-out per read.
        {"a byte a second", slow, "not complete within the time limit of 2 s"},
    };
    EXPECT_EQ(Verify(ListWith(""), true).out, "1 entry, no problems\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server_.SetFault("/good.bin", c.fault);
        const ToolRun run = Verify(ListWith(""), true, "2");
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("entry 1: downurl \"good.bin\" is not served: "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    }
}

TEST_F(PublishVerify, RedirectsAndUnusualHeadsTheUpdaterTakesPass)
{
    Fault moved;
    moved.status = 301;
    moved.location = "/sub%20dir/also.bin";
    server_.SetFault("/moved.bin", moved);
    Fault again;
    again.status = 307;
    again.location = server_.ProxyAddress() + "/moved.bin";
    server_.SetFault("/twice.bin", again);
    Fault folded;
    folded.rawReply = "HTTP/1.1 200 OK\r\nX-Note: one\r\n  folded\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nother";
    server_.SetFault("/folded.bin", folded);
    const ToolRun run = Verify(ListWith(Entry("%PROGRAM%", "a", Md5Text("also"), "moved.bin") +
                                        Entry("%PROGRAM%", "b", Md5Text("also"), "twice.bin") +
                                        Entry("%PROGRAM%", "c", Md5Text("other"), "folded.bin")),
                               true);
    EXPECT_EQ(run.out, "4 entries, no problems\n");
    EXPECT_EQ(server_.CountRequests("/sub dir/also.bin"), 2u);
}

TEST(PublishReplies, RedirectsAreJudgedByTheUpdatersRules)
{
    using namespace tallowfin::publish;
    HttpResponse moved;
    for (const char* line : {"HTTP/1.1 100 Continue\r\n", "HTTP/1.1 302 Found\r\n", "Location: x\r\n"})
        AddHeadLine(moved, line);
    ASSERT_EQ(moved.status, 302);
    using Kind = RedirectStep::Kind;
    EXPECT_EQ(JudgeRedirect("http://a/f", moved, "http://a/x", 0).kind, Kind::Follow);
    EXPECT_EQ(JudgeRedirect("http://a/f", moved, "HTTPS://a/x", 9).kind, Kind::Follow);
    EXPECT_EQ(JudgeRedirect("https://a/f", moved, "https://b/x", 0).kind, Kind::Follow);
    const RedirectStep down = JudgeRedirect("HTTPS://a/f", moved, "http://a/x", 0);
    EXPECT_EQ(down.kind, Kind::Refused);
    EXPECT_NE(down.problem.find("refuses a redirect from https:// to plain http://"), std::string::npos);
    EXPECT_EQ(JudgeRedirect("http://a/f", moved, "http://a/x", kMostRedirects).kind, Kind::Refused);
    EXPECT_EQ(JudgeRedirect("http://a/f", moved, "", 0).kind, Kind::NotARedirect);  // no Location
    AddHeadLine(moved, "HTTP/1.1 304 Not Modified");
    EXPECT_EQ(JudgeRedirect("http://a/f", moved, "http://a/x", 0).kind, Kind::NotARedirect);
    EXPECT_TRUE(moved.headers.empty());
    // A reply the updater takes: one plain length, however it is spelt.
    HttpResponse ok;
    for (const char* line : {"HTTP/1.0 200 OK", "content-length: 007", "Content-Length:007"}) AddHeadLine(ok, line);
    EXPECT_TRUE(JudgeFileReply(ok).usable);
    EXPECT_EQ(JudgeFileReply(ok).length, 7u);
}

TEST_F(PublishVerify, AnHttpsBaseAndHttpsAddressesAreTheUpdatersToo)
{
    // Offline an absolute https:// address is only noted; online an https
    // base is accepted, and a server that is not there fails each file.
    const ToolRun offline = Verify(ListWith(Entry("%PROGRAM%", "b", kGoodHash, "HTTPS://cdn.example/good.bin")), false);
    EXPECT_EQ(offline.status, 0);
    EXPECT_NE(offline.out.find("2 entries, no problems (1 not checked)"), std::string::npos) << offline.out;
    WriteFile(temp_ / "filelist.xml", ListWith(""));
    const ToolRun tls = RunTool({"verify", Utf8(temp_ / "filelist.xml"), "--url",
                                 "https://127.0.0.1:" + std::to_string(server_.Port()) + "/", "--time-limit", "5"});
    EXPECT_EQ(tls.status, 1) << tls.err;
    EXPECT_NE(tls.out.find("entry 1: downurl \"good.bin\" is not served: https://127.0.0.1:"), std::string::npos)
        << tls.out;
}

TEST_F(PublishVerify, ListsAndFilesAreHeldToTheUpdatersLimits)
{
    // Padded with white space after the document, which costs a parser nothing.
    const std::string list = ListWith("");
    const std::size_t limit = tallowfin::limits::kLargestList;
    const ToolRun atLimit = Verify(list + std::string(limit - list.size(), ' '), false);
    EXPECT_EQ(atLimit.out, "1 entry, no problems\n");
    const ToolRun above = Verify(list + std::string(limit + 1 - list.size(), ' '), false);
    EXPECT_EQ(above.status, 1);
    EXPECT_EQ(above.out, "list: the list is 8388609 bytes, more than the updater reads (8388608); every client "
                         "refuses it\n0 entries, 1 problem\n");

    // A sparse file one byte above the largest the updater fetches.
    WriteFile(served_ / "huge.bin", "");
    fs::resize_file(served_ / "huge.bin", tallowfin::limits::kLargestFile + 1);
    const ToolRun huge = Verify(ListWith(Entry("%PROGRAM%", "h", kGoodHash, "huge.bin")), false);
    EXPECT_NE(huge.out.find("entry 2: downurl \"huge.bin\" is not served: the file is 2147483648 bytes, more than the "
                            "updater can fetch"),
              std::string::npos)
        << huge.out;
}

TEST_F(PublishVerify, AListBrokenEverywhereIsReportedSoFarOnly)
{
    std::string entries;
    for (int i = 0; i < 600; ++i) entries += "<a/>";
    const ToolRun run = Verify(ListWith(entries), false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(CountLines(run.out), tallowfin::publish::kMostProblems + 2);
    EXPECT_NE(run.out.find("list: stopped at entry 252 after 1000 problems"), std::string::npos) << run.out.substr(0, 200);
    EXPECT_NE(run.out.find("601 entries, 1001 problems\n"), std::string::npos);
}

TEST_F(PublishVerify, PatchesThatDoNotMakeTheEntrysFileAreProblems)
{
    std::mt19937 random(12);
    std::string base(100000, '\0');
    for (char& c : base) c = static_cast<char>(random());
    std::string result = base;
    for (std::size_t at = 0; at < result.size(); at += 1500) result[at] = '!';
    WriteFile(temp_ / "bases/old/base.bin", base);
    WriteFile(served_ / "new.bin", result);
    const tallowfin::publish::FileDigests baseDigests{Md5Text(base), tallowfin::publish::Sha256TextOf(base)};
    const std::string patch =
        tallowfin::publish::PatchBetween(base, result, baseDigests, {Md5Text(result), tallowfin::publish::Sha256TextOf(result)}, {});
    std::string damaged = patch;
    damaged[damaged.size() / 2] ^= 0x10;
    WriteFile(served_ / "p/good.patch", patch);
    WriteFile(served_ / "p/damaged.patch", damaged);
    WriteFile(served_ / "p/short.patch", patch.substr(0, patch.size() / 2));

    auto patched = [&](const std::string& hash, const std::string& address, const std::string& bytes,
                       const std::string& baseMd5 = {}, const std::string& size = {}) {
        return "<file><path>%PROGRAM%</path><name>b</name><hash>" + hash + "</hash><downurl>new.bin</downurl>" +
               "<patch base=\"" + (baseMd5.empty() ? baseDigests.md5 : baseMd5) + "\" base_sha256=\"" +
               baseDigests.sha256 + "\" size=\"" + (size.empty() ? std::to_string(bytes.size()) : size) +
               "\" sha256=\"" + tallowfin::publish::Sha256TextOf(bytes) + "\">" + address + "</patch></file>";
    };
    auto verify = [&](const std::string& second) {
        WriteFile(temp_ / "filelist.xml", ListWith(second));
        return RunTool({"verify", Utf8(temp_ / "filelist.xml"), "--dir", Utf8(served_), "--bases", Utf8(temp_ / "bases")});
    };
    const std::string hash = Md5Text(result);
    const ToolRun good = verify(patched(hash, "p/good.patch", patch));
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_EQ(good.out, "2 entries, 1 patch (1 applied to their bases), no problems\n");

    struct Case {
        const char* what;
        std::string entry;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"damaged, listed as it is", patched(hash, "p/damaged.patch", damaged), "applied to "},
        {"damaged on the server", patched(hash, "p/damaged.patch", patch), "not the listed sha256"},
        {"cut short", patched(hash, "p/short.patch", patch.substr(0, patch.size() / 2)), "has a header describing"},
        {"another size listed", patched(hash, "p/good.patch", patch, {}, std::to_string(patch.size() + 1)),
         "is " + std::to_string(patch.size()) + " bytes, not the listed"},
        {"on an entry of another file", patched(Md5Text("other"), "p/good.patch", patch), "not the entry's hash"},
        {"listed from another base", patched(hash, "p/good.patch", patch, Md5Text("x")), "not its base"},
        {"not served", patched(hash, "p/gone.patch", patch), "is not served: no file"},
        {"no size", patched(hash, "p/good.patch", patch, {}, "12x"), "has no size of decimal digits"},
        {"no address", patched(hash, "", patch), "has no address"},
        {"a header of another kind", patched(hash, "new.bin", result), "is not a well-formed patch: not a patch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun run = verify(c.entry);
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find("entry 2: patch \""), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("entry 1: "), std::string::npos) << run.out;
    }
}
