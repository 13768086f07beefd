// The worker's decisions against a scripted internet layer: which events come
// in which order for each outcome, what lands in the temporary files, and how
// the thread hands over to the main thread.
#include <gtest/gtest.h>

#include <stdexcept>

#include "common/win_error.h"
#include "download/kept_list.h"
#include "download/kept_list_internet.h"
#include "tests/support/win_util.h"
#include "tests/win/worker_support.h"

namespace tallowfin::test {
namespace {

namespace fs = std::filesystem;

const std::string kBase = "http://updates.test/software/Tallowfin/";

class WebThreadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(WorkerTempFiles().empty()); }
    void TearDown() override { EXPECT_EQ(internet.openHandles, 0) << "an internet handle was left open"; }

    RunResult Run(std::vector<TUpdateRec*> records, std::function<void(const Event&)> onEvent = {})
    {
        return RunThrough(internet, std::move(records), std::move(onEvent));
    }
    RunResult RunThrough(InternetLayer& layer, std::vector<TUpdateRec*> records,
                         std::function<void(const Event&)> onEvent = {})
    {
        RunResult result = RunWorker(layer, kBase, std::move(records), std::move(onEvent));
        EXPECT_TRUE(result.terminated);
        EXPECT_TRUE(result.terminateOnMainThread);
        EXPECT_TRUE(result.eventsOnMainThread);
        EXPECT_TRUE(result.destroyed);
        return result;
    }

    ScratchDir temp{"wt"};
    ScopedEnv tmp{"TMP", temp.str()};
    FakeInternet internet;
};

TEST_F(WebThreadTest, EmptyRecordListConnectsAndDisconnects)
{
    RunResult r = Run({});
    EXPECT_EQ(r.events, (std::vector<Event>{{wsConnected, "Connected", 0, 0}, {wsDisconnected, "Disconnected", 0, 0}}));
    EXPECT_EQ(r.finalStatus, wsDisconnected);
    EXPECT_EQ(internet.agent, std::string("WebUpdater by vorlane\xA9"));
    EXPECT_EQ(internet.agent.size(), 22u);
}

TEST_F(WebThreadTest, NoSessionGivesOneEventOnly)
{
    internet.sessionFails = true;
    TUpdateRec rec{"", "filelist.xml", "", ""};
    RunResult r = Run({&rec});
    EXPECT_EQ(r.events, (std::vector<Event>{{wsNoNetwork, "Could not initialize network", 0, 0}}));
    EXPECT_EQ(r.finalStatus, wsNoNetwork);
    EXPECT_TRUE(internet.opened.empty());
}

TEST_F(WebThreadTest, FetchedFileReportsEveryReadAndTheFinalEmptyOne)
{
    FakeReply reply;
    reply.length = 8292;
    reply.reads = {4096, 4096, 100};
    internet.replies[kBase + "data/a.bin"] = reply;
    TUpdateRec rec{"a file", "data/a.bin", "", ""};
    RunResult r = Run({&rec});
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsTransferring, "Downloading a file", 8292, 0},
                            {wsProgress, "", 8292, 4096},
                            {wsProgress, "", 8292, 8192},
                            {wsProgress, "", 8292, 8292},
                            {wsProgress, "", 8292, 8292},
                            {wsCompleted, "Transfer completed", 8292, 8292},
                            {wsDisconnected, "Disconnected", 8292, 8292},
                        }));
    ASSERT_FALSE(rec.TempFile.empty());
    EXPECT_EQ(r.tempFilesAtTerminate, std::vector<std::string>{rec.TempFile});
    // A fresh "~wu" name in the system's temporary folder, holding the body.
    EXPECT_EQ(rec.TempFile.rfind(SystemTempDir() + "~wu", 0), 0u) << rec.TempFile;
    EXPECT_EQ(ReadBytes(rec.TempFile), FakeInternet::BodyOf(reply));
    std::filesystem::remove(rec.TempFile);
}

TEST_F(WebThreadTest, ZeroByteResourceGivesOneProgressEventAndAnEmptyFile)
{
    FakeReply reply;
    reply.length = 0;
    internet.replies[kBase + "empty"] = reply;
    TUpdateRec rec{"", "empty", "", ""};
    RunResult r = Run({&rec});
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsTransferring, "Downloading ", 0, 0},
                            {wsProgress, "", 0, 0},
                            {wsCompleted, "Transfer completed", 0, 0},
                            {wsDisconnected, "Disconnected", 0, 0},
                        }));
    ASSERT_FALSE(rec.TempFile.empty());
    EXPECT_EQ(ReadBytes(rec.TempFile), "");
    std::filesystem::remove(rec.TempFile);
}

TEST_F(WebThreadTest, UrlThatCannotBeOpened)
{
    TUpdateRec rec{"", "missing", "", ""};
    RunResult r = Run({&rec});
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsFileError, "Could not start transferring remote file", 0, 0},
                            {wsDisconnected, "Disconnected", 0, 0},
                        }));
    EXPECT_TRUE(rec.TempFile.empty());
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(WebThreadTest, ReplyWithoutLengthNamesTheFullUrl)
{
    FakeReply reply;  // no length: a missing Content-Length, or a reply that is not 200
    reply.reads = {10};
    internet.replies[kBase + "sub/x.dat"] = reply;
    TUpdateRec rec{"", "sub/x.dat", "", "keep"};
    RunResult r = Run({&rec});
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsFileError, "File " + kBase + "sub/x.dat does not exist", 0, 0},
                            {wsDisconnected, "Disconnected", 0, 0},
                        }));
    EXPECT_EQ(rec.TempFile, "keep");  // left as it was
    EXPECT_EQ(internet.readsDone, 0);
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(WebThreadTest, FailedReadReportsItsOwnErrorAndLeavesNoFile)
{
    FakeReply reply;
    reply.length = 9000;
    reply.reads = {4096, 4096, 808};
    reply.failingRead = 1;
    reply.readError = ERROR_INTERNET_CONNECTION_RESET;
    internet.replies[kBase + "f"] = reply;
    TUpdateRec rec{"f", "f", "", ""};
    RunResult r = Run({&rec});
    ASSERT_EQ(r.events.size(), 7u);
    EXPECT_EQ(r.events[3], (Event{wsProgress, "", 9000, 4096}));
    EXPECT_EQ(r.events[4], (Event{wsProgress, "", 9000, 4096}));  // the failed read delivers 0 bytes
    EXPECT_EQ(r.events[5], (Event{wsFileError,
                                  "Error retrieving remote file: " + SystemErrorText(ERROR_INTERNET_CONNECTION_RESET),
                                  9000, 4096}));
    EXPECT_EQ(r.events[6].kind, wsDisconnected);
    EXPECT_TRUE(rec.TempFile.empty());
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(WebThreadTest, BodyEndingBeforeItsLengthIsAFailedTransfer)
{
    FakeReply reply;
    reply.length = 10000;
    reply.reads = {4096, 904};  // then the connection closes: 5000 of 10000 bytes
    internet.replies[kBase + "cut"] = reply;
    TUpdateRec rec{"cut", "cut", "", ""};
    RunResult r = Run({&rec});
    ASSERT_EQ(r.events.size(), 8u);
    EXPECT_EQ(r.events[5], (Event{wsProgress, "", 10000, 5000}));
    EXPECT_EQ(r.events[6].kind, wsFileError);
    EXPECT_EQ(r.events[6].message.rfind("Error retrieving remote file: ", 0), 0u);
    EXPECT_TRUE(rec.TempFile.empty());
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(WebThreadTest, BodyLongerThanItsLengthFailsAsSoonAsItPassesIt)
{
    // Announced 5000 bytes, then more keeps coming: not the announced file.
    FakeReply longer;
    longer.length = 5000;
    longer.reads = {4096, 4096, 4096, 4096};
    internet.replies[kBase + "longer"] = longer;
    FakeReply empty;  // announced empty, yet a byte arrives
    empty.length = 0;
    empty.reads = {1};
    internet.replies[kBase + "empty"] = empty;
    TUpdateRec a{"a", "longer", "", ""}, b{"b", "empty", "", ""};
    RunResult r = Run({&a, &b});
    const std::string failed = "Error retrieving remote file: " + SystemErrorText(ERROR_INVALID_DATA);
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsTransferring, "Downloading a", 5000, 0},
                            {wsProgress, "", 5000, 4096},
                            {wsFileError, failed, 5000, 4096},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsTransferring, "Downloading b", 0, 0},
                            {wsFileError, failed, 0, 0},
                            {wsDisconnected, "Disconnected", 0, 0},
                        }));
    EXPECT_EQ(internet.readsDone, 3) << "reading stops at the read that passes the length";
    EXPECT_TRUE(a.TempFile.empty() && b.TempFile.empty());
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(WebThreadTest, TemporaryFolderThatCannotBeWritten)
{
    ScopedEnv missing("TMP", temp.str() + "\\does-not-exist");
    FakeReply reply;
    reply.length = 5;
    reply.reads = {5};
    internet.replies[kBase + "t"] = reply;
    TUpdateRec rec{"t", "t", "", ""};
    RunResult r = Run({&rec});
    ASSERT_EQ(r.events.size(), 7u);
    EXPECT_EQ(r.events[4], (Event{wsProgress, "", 5, 5}));
    EXPECT_EQ(r.events[5].kind, wsFileError);
    EXPECT_EQ(r.events[5].message.rfind("Error retrieving remote file: ", 0), 0u);
    EXPECT_NE(r.events[5].message, "Error retrieving remote file: ");
    EXPECT_TRUE(rec.TempFile.empty());
}

TEST_F(WebThreadTest, FirstRecordFailingDoesNotStopTheOthers)
{
    FakeReply good;
    good.length = 3;
    good.reads = {3};
    internet.replies[kBase + "b"] = good;
    internet.replies["http://other.test/c"] = good;
    TUpdateRec a{"", "a", "", ""}, b{"", "b", "", ""}, c{"", "http://other.test/c", "", ""};
    RunResult r = Run({&a, &b, &c});
    EXPECT_EQ(internet.opened, (std::vector<std::string>{kBase + "a", kBase + "b", "http://other.test/c"}));
    EXPECT_TRUE(a.TempFile.empty());
    EXPECT_FALSE(b.TempFile.empty());
    EXPECT_FALSE(c.TempFile.empty());
    EXPECT_EQ(r.events.back().kind, wsDisconnected);
    std::filesystem::remove(b.TempFile);
    std::filesystem::remove(c.TempFile);
}

TEST_F(WebThreadTest, UrlsAreAbsoluteOnlyWithAnHttpOrHttpsSchemeInAnyCase)
{
    TUpdateRec recs[] = {{"", "HTTP://Host.Test/A.bin", "", ""},
                         {"", " http://host.test/b", "", ""},
                         {"", "HttpS://host.test/c", "", ""},
                         {"", "filelist.xml", "", ""},
                         {"", "/d", "", ""}};
    Run({&recs[0], &recs[1], &recs[2], &recs[3], &recs[4]});
    EXPECT_EQ(internet.opened, (std::vector<std::string>{"HTTP://Host.Test/A.bin", kBase + " http://host.test/b",
                                                         "HttpS://host.test/c", kBase + "filelist.xml",
                                                         kBase + "/d"}));
}

TEST_F(WebThreadTest, HandlerThatRaisesEndsTheRunWithOneFailedEvent)
{
    FakeReply reply;
    reply.length = 8192;
    reply.reads = {4096, 4096};
    internet.replies[kBase + "x"] = reply;
    internet.replies[kBase + "y"] = reply;
    TUpdateRec x{"", "x", "", ""}, y{"", "y", "", ""};
    bool raised = false;
    RunResult r = Run({&x, &y}, [&](const Event& e) {
        if (e.kind == wsProgress && !raised) {
            raised = true;
            throw std::runtime_error("handler failed");
        }
    });
    ASSERT_GE(r.events.size(), 2u);
    EXPECT_EQ(r.events.back().kind, wsFailed);
    EXPECT_EQ(std::count_if(r.events.begin(), r.events.end(), [](auto& e) { return e.kind == wsFailed; }), 1);
    EXPECT_EQ(std::count_if(r.events.begin(), r.events.end(), [](auto& e) { return e.kind == wsDisconnected; }), 0);
    EXPECT_EQ(r.finalStatus, wsFailed);
    // The remaining record is not fetched, and the half-written file is gone.
    EXPECT_EQ(internet.opened, std::vector<std::string>{kBase + "x"});
    EXPECT_TRUE(x.TempFile.empty());
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(WebThreadTest, EveryEventIsARendezvous)
{
    // While the main thread holds an event, the worker reads nothing more: at
    // each progress event exactly as many reads have been made as reported.
    FakeReply reply;
    reply.length = 4096 * 6;
    reply.reads = {4096, 4096, 4096, 4096, 4096, 4096};
    internet.replies[kBase + "r"] = reply;
    TUpdateRec rec{"", "r", "", ""};
    int progress = 0;
    bool inStep = true;
    Run({&rec}, [&](const Event& e) {
        if (e.kind != wsProgress) return;
        ++progress;
        Sleep(5);
        inStep = inStep && internet.readsDone == progress;
    });
    EXPECT_EQ(progress, 7);
    EXPECT_TRUE(inStep);
    std::filesystem::remove(rec.TempFile);
}

// ---- The list asked for only if it changed ---------------------------------------

class KeptListTest : public WebThreadTest {
protected:
    KeptListTest()
    {
        FakeReply reply = FakeReply::Serving(body);
        reply.headers = {{"ETag", "\"v1\""}, {"Last-Modified", "Tue, 08 Dec 2026 09:00:00 GMT"}};
        internet.replies[listUrl] = reply;
    }

    // One file-list pass through the layer: its events, and the list the
    // worker stored, which is then deleted as the reader deletes it.
    std::pair<std::vector<Event>, std::string> FetchList(InternetLayer& through)
    {
        TUpdateRec rec{"info on available updates", "filelist.xml", "", ""};
        RunResult r = RunThrough(through, {&rec});
        const std::string stored = rec.TempFile.empty() ? "(none)" : ReadBytes(rec.TempFile);
        if (!rec.TempFile.empty()) fs::remove(rec.TempFile);
        return {r.events, stored};
    }
    std::pair<std::vector<Event>, std::string> FetchList() { return FetchList(layer); }

    void AnswerNotModified()
    {
        FakeReply notModified;
        notModified.status = 304;
        notModified.headers = {{"ETag", "\"v1\""}};
        internet.replies[listUrl] = notModified;
    }

    const std::string listUrl = kBase + "filelist.xml";
    const std::string body = PatternBytes(10000, 3);
    ScratchDir keptDir{"kept"};
    const std::string keptFile = (keptDir.path() / "one" / "two" / "filelist.kept").string();
    std::uint64_t now = 1796720000;  // the layer's clock, in UTC seconds
    KeptListInternet layer{internet, listUrl, keptFile, [this] { return now; }};
};

TEST_F(KeptListTest, UnchangedListIsReadFromTheKeptCopyExactlyAsIfItHadArrived)
{
    const auto fetched = FetchList();
    EXPECT_EQ(fetched.second, body);
    EXPECT_EQ(internet.sentHeaders, std::vector<std::string>{""}) << "nothing kept yet: asked for whole";
    ASSERT_TRUE(fs::exists(keptFile));

    AnswerNotModified();
    const int readsBefore = internet.readsDone;
    EXPECT_EQ(FetchList(), fetched) << "the same events, the same list";
    EXPECT_EQ(internet.sentHeaders.back(),
              "If-None-Match: \"v1\"\r\nIf-Modified-Since: Tue, 08 Dec 2026 09:00:00 GMT\r\n");
    EXPECT_EQ(internet.readsDone, readsBefore) << "nothing read from the server";
    EXPECT_EQ(FetchList(), fetched) << "and again";
}

TEST_F(KeptListTest, OnlyAWholeListWithSomethingToAskWithIsKept)
{
    FetchList();
    const std::string good = ReadBytes(keptFile);

    // Cut short: the pass fails, the copy kept before stays as it was.
    FakeReply cut = FakeReply::Serving(PatternBytes(10000, 4));
    cut.headers = {{"ETag", "\"v2\""}};
    cut.failingRead = 1;
    internet.replies[listUrl] = cut;
    EXPECT_EQ(FetchList().second, "(none)");
    EXPECT_EQ(ReadBytes(keptFile), good);

    // A reply the server gives nothing to ask with replaces what was kept by
    // nothing: the old copy must never stand in for it.
    internet.replies[listUrl] = FakeReply::Serving("new list");
    EXPECT_EQ(FetchList().second, "new list");
    EXPECT_FALSE(fs::exists(keptFile));
    internet.replies[listUrl].headers = {{"ETag", "\"v3\""}};
    FetchList();
    AnswerNotModified();
    EXPECT_EQ(FetchList().second, "new list");
    EXPECT_EQ(internet.sentHeaders.back(), "If-None-Match: \"v3\"\r\n");
}

TEST_F(KeptListTest, AWeekOldCopyIsNotOfferedAndTheListFetchedWholeIsKeptAnew)
{
    // A copy kept a week ago is still offered; a second later it is not,
    // and the list fetched whole is kept anew from then.
    FakeReply whole = FakeReply::Serving(body);
    whole.headers = {{"ETag", "\"v1\""}};
    internet.replies[listUrl] = whole;
    FetchList();
    AnswerNotModified();
    now += kLongestKeptSeconds;
    EXPECT_EQ(FetchList().second, body);
    EXPECT_EQ(internet.sentHeaders.back(), "If-None-Match: \"v1\"\r\n");
    now += 1;
    internet.replies[listUrl] = whole;
    EXPECT_EQ(FetchList().second, body);
    EXPECT_EQ(internet.sentHeaders.back(), "");
    AnswerNotModified();
    EXPECT_EQ(FetchList().second, body);
    EXPECT_EQ(internet.sentHeaders.back(), "If-None-Match: \"v1\"\r\n");
    // The clock set back before the copy was kept: its age is unknown.
    now -= 10;
    internet.replies[listUrl] = whole;
    FetchList();
    EXPECT_EQ(internet.sentHeaders.back(), "");
}

}  // namespace
}  // namespace tallowfin::test
