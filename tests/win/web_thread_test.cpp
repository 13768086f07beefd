// The worker's decisions against a scripted internet layer: which events come
// in which order for each outcome, what lands in the temporary files, and how
// the thread hands over to the main thread.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "common/md5.h"
#include "common/win_error.h"
#include "download/kept_part.h"
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

    RunResult Run(std::vector<TUpdateRec*> records, std::function<void(const Event&)> onEvent = {},
                  const WorkerSettings& settings = {})
    {
        return RunThrough(internet, std::move(records), std::move(onEvent), settings);
    }
    RunResult RunThrough(InternetLayer& layer, std::vector<TUpdateRec*> records,
                         std::function<void(const Event&)> onEvent = {}, const WorkerSettings& settings = {})
    {
        RunResult result = RunWorker(layer, kBase, std::move(records), std::move(onEvent), settings);
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

TEST_F(WebThreadTest, FetchedFileReportsItsStartItsWholeLengthAndItsCompletion)
{
    FakeReply reply;
    reply.length = 8292;
    reply.reads = {4096, 4096, 100};
    internet.replies[kBase + "data/a.bin"] = reply;
    TUpdateRec rec{"a file", "data/a.bin", "", ""};
    RunResult r = Run({&rec});
    // Reads that come within one progress interval give one progress event,
    // the file's last, which the window shows whole.
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsTransferring, "Downloading a file", 8292, 0},
                            {wsProgress, "", 8292, 8292},
                            {wsCompleted, "Transfer completed", 8292, 8292},
                            {wsDisconnected, "Disconnected", 8292, 8292},
                        }));
    ASSERT_FALSE(rec.TempFile.empty());
    EXPECT_EQ(r.tempFilesAtTerminate, std::vector<std::string>{rec.TempFile});
    // A fresh "~wu" name in the system's temporary folder, holding the body.
    EXPECT_EQ(rec.TempFile.rfind(SystemTempDir() + "~wu", 0), 0u) << rec.TempFile;
    EXPECT_EQ(ReadBytes(rec.TempFile), FakeInternet::BodyOf(reply));
    // Large reads, never past the announced length and one byte.
    EXPECT_EQ(internet.askedBytes, 8293u + 4197u + 101u + 1u);
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
    ASSERT_EQ(r.events.size(), 5u);
    EXPECT_EQ(r.events[3], (Event{wsFileError,
                                  "Error retrieving remote file: " + SystemErrorText(ERROR_INTERNET_CONNECTION_RESET),
                                  9000, 4096}));
    EXPECT_EQ(r.events[4].kind, wsDisconnected);
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
    ASSERT_EQ(r.events.size(), 5u);
    EXPECT_EQ(r.events[3].kind, wsFileError);
    EXPECT_EQ(r.events[3].position, 5000);
    EXPECT_EQ(r.events[3].message.rfind("Error retrieving remote file: ", 0), 0u);
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
                            {wsFileError, failed, 5000, 4096},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsTransferring, "Downloading b", 0, 0},
                            {wsFileError, failed, 0, 0},
                            {wsDisconnected, "Disconnected", 0, 0},
                        }));
    EXPECT_EQ(internet.readsDone, 3) << "reading stops at the read that passes the length";
    EXPECT_EQ(internet.deliveredBytes, 5001u + 1u) << "never more than the length and one byte is taken";
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
    ASSERT_EQ(r.events.size(), 5u);
    EXPECT_EQ(r.events[2], (Event{wsTransferring, "Downloading t", 5, 0}));
    EXPECT_EQ(r.events[3].kind, wsFileError);
    EXPECT_EQ(r.events[3].message.rfind("Error retrieving remote file: ", 0), 0u);
    EXPECT_NE(r.events[3].message, "Error retrieving remote file: ");
    EXPECT_EQ(internet.readsDone, 0) << "nothing read where it cannot be kept";
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

TEST_F(WebThreadTest, ProgressIsPostedAtIntervalsWithoutWaitingAndOtherEventsAreWaitedFor)
{
    // Reads 10 ms apart by the worker's clock: a progress event every 30 ms,
    // then the last, at the file's end. While the main thread holds the first
    // one, the worker reads on; while it holds any other event, it does not.
    FakeReply reply = FakeReply::Serving(PatternBytes(4096 * 7, 5));
    reply.msPerRead = 10;
    internet.replies[kBase + "r"] = reply;
    TUpdateRec rec{"", "r", "", ""};
    bool readOnWhileHeld = false, waitedFor = true;
    RunResult r = Run({&rec}, [&](const Event& e) {
        if (e.kind == wsProgress && !readOnWhileHeld) {
            // All its reads (and the final empty one) while this one is held.
            readOnWhileHeld = WaitUntil([&] { return internet.readsDone == 8; }, std::chrono::seconds(10));
            return;
        }
        const int before = internet.readsDone;
        Sleep(50);
        waitedFor = waitedFor && internet.readsDone == before;
    }, {.clock = [this] { return internet.now.load(); }});
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsTransferring, "Downloading ", 28672, 0},
                            {wsProgress, "", 28672, 12288},
                            {wsProgress, "", 28672, 24576},
                            {wsProgress, "", 28672, 28672},
                            {wsCompleted, "Transfer completed", 28672, 28672},
                            {wsDisconnected, "Disconnected", 28672, 28672},
                        }));
    EXPECT_TRUE(readOnWhileHeld) << "the worker waited for a progress event";
    EXPECT_TRUE(waitedFor) << "the worker read on during an event it must wait for";
    std::filesystem::remove(rec.TempFile);
}

TEST_F(WebThreadTest, ReplyOfAnotherLengthThanListedOrLargerThanTakenIsRefusedBeforeItsBody)
{
    internet.replies[kBase + "sized"] = FakeReply::Serving(PatternBytes(6000, 1));
    FakeReply huge;
    huge.length = 100 * 1024 * 1024;
    huge.reads = {4096};
    internet.replies[kBase + "filelist.xml.sig"] = huge;
    internet.replies[kBase + "exact"] = FakeReply::Serving(PatternBytes(72, 3));
    TUpdateRec sized{"", "sized", "", ""}, signature{"", "filelist.xml.sig", "", ""}, exact{"", "exact", "", ""};
    sized.Size = 5000;
    signature.Largest = 72;
    exact.Largest = 72;
    exact.Size = 72;
    RunResult r = Run({&sized, &signature, &exact});
    EXPECT_EQ(r.events[2], (Event{wsFileError, "File " + kBase + "sized is announced with 6000 bytes; its entry gives 5000", 0, 0}));
    EXPECT_EQ(r.events[4], (Event{wsFileError, "File " + kBase + "filelist.xml.sig is announced with 104857600 bytes, more than the 72 taken", 0, 0}));
    EXPECT_EQ(internet.readsDone, 2) << "only the file within its bounds was read";
    EXPECT_EQ(internet.abandoned, 1) << "the 100 MiB reply is given up unread, the error-page-sized one closed";
    EXPECT_TRUE(sized.TempFile.empty() && signature.TempFile.empty());
    EXPECT_EQ(ReadBytes(exact.TempFile), PatternBytes(72, 3));
    std::filesystem::remove(exact.TempFile);
}

// ---- Transfers that ended early, resumed ------------------------------------------

class ResumeTest : public WebThreadTest {
protected:
    ResumeTest()
    {
        record.Listed.Md5 = Md5Text(body);
        Serve(body, "\"v1\"");
    }

    // The server's answer to a request without a range.
    FakeReply& Serve(const std::string& bytes, const std::string& tag)
    {
        FakeReply& reply = internet.replies[url] = FakeReply::Serving(bytes);
        reply.headers = {{"ETag", tag}};
        return reply;
    }
    // The next transfer ends after `blocks` reads of 4 KiB: it slows to a
    // drip that its pace cuts off.
    void SlowAfter(std::size_t blocks)
    {
        FakeReply& reply = internet.replies[url];
        reply.reads.resize(blocks);
        reply.reads.resize(blocks + 100, 10);
        reply.msPerRead = 25000;
    }
    // A 206 from byte `first` to the end of `bytes`, with Content-Range `range`.
    void AnswerRangesWith(const std::string& bytes, std::size_t first, const std::string& range)
    {
        FakeReply& reply = internet.rangedReplies[url] = FakeReply::Serving(bytes.substr(first));
        reply.status = 206;
        reply.headers = {{"ETag", "\"v1\""}, {"Content-Range", range}};
    }

    // One pass over the record: its events, and what it fetched ("(none)"),
    // which is then deleted as the controller deletes it once used.
    std::pair<std::vector<Event>, std::string> Fetch()
    {
        record.TempFile.clear();
        RunResult r = Run({&record}, {}, {.partsFolder = parts.str(), .clock = [this] { return internet.now.load(); }});
        if (record.TempFile.empty()) return {r.events, "(none)"};
        EXPECT_EQ(fs::path(record.TempFile).parent_path(), parts.path()) << "finished where it was kept";
        std::string bytes = ReadBytes(record.TempFile);
        fs::remove(record.TempFile);
        return {r.events, bytes};
    }
    std::string Kept() const
    {
        const fs::path part = parts / (Md5Text(body) + ".part");
        return fs::exists(part) ? ReadBytes(part) : "(none)";
    }
    bool KeptInfo() const { return fs::exists(parts / (Md5Text(body) + ".info")); }
    static Event Find(const std::vector<Event>& events, TWebStatus kind)
    {
        for (const Event& e : events)
            if (e.kind == kind) return e;
        return {kind, "(none)", -1, -1};
    }

    const std::string body = PatternBytes(300000, 9);
    const std::string url = kBase + "big.bin";
    ScratchDir parts{"parts"};
    TUpdateRec record{"big", "big.bin", "", ""};
};

TEST_F(ResumeTest, TransferCutByItsPaceResumesFromWhereItEndedAndFinishesWhole)
{
    SlowAfter(3);
    auto [events, fetched] = Fetch();
    EXPECT_EQ(fetched, "(none)");
    EXPECT_EQ(Find(events, wsFileError), (Event{wsFileError, "Error retrieving remote file: " + url +
                                                " came at less than 1024 bytes a second for 60 s", 300000, 12288}));
    EXPECT_EQ(Kept(), body.substr(0, 12288)) << "what arrived is kept";
    EXPECT_TRUE(KeptInfo());

    Serve(body, "\"v1\"");
    AnswerRangesWith(body, 12288, "bytes 12288-299999/300000");
    std::tie(events, fetched) = Fetch();
    EXPECT_EQ(internet.sentHeaders.back(), "Range: bytes=12288-\r\nIf-Range: \"v1\"\r\n");
    EXPECT_TRUE(fetched == body) << "the kept bytes and the rest, whole";
    EXPECT_EQ(events[2], (Event{wsTransferring, "Downloading big", 300000, 12288}));
    EXPECT_EQ(Find(events, wsCompleted), (Event{wsCompleted, "Transfer completed", 300000, 300000}));
    EXPECT_EQ(events[events.size() - 3], (Event{wsProgress, "", 300000, 300000})) << "the bar ends full";
    EXPECT_EQ(Kept(), "(none)");
    EXPECT_FALSE(KeptInfo());
    EXPECT_EQ(Fetch().second, body);
    EXPECT_EQ(internet.sentHeaders.back(), "") << "nothing kept, nothing asked with";
}

TEST_F(ResumeTest, ChangedFileARangeNotSatisfiableOrAnotherPartStartTheFileAgain)
{
    // The file changed on the server: If-Range does not match, and the whole
    // new file comes with 200.
    SlowAfter(3);
    Fetch();
    const std::string changed = PatternBytes(280000, 10);
    internet.rangedReplies[url] = Serve(changed, "\"v2\"");
    auto [events, fetched] = Fetch();
    EXPECT_TRUE(fetched == changed);
    EXPECT_EQ(events[2], (Event{wsTransferring, "Downloading big", 280000, 0}));

    // A part the server says lies past the end: dropped, and the file asked
    // for whole at once, within the same transfer.
    Serve(body, "\"v1\"");
    SlowAfter(3);
    Fetch();
    ASSERT_EQ(Kept().size(), 12288u);
    Serve(body, "\"v1\"");
    FakeReply& refused = internet.rangedReplies[url] = FakeReply{};
    refused.status = 416;
    std::tie(events, fetched) = Fetch();
    EXPECT_TRUE(fetched == body);
    ASSERT_GE(internet.sentHeaders.size(), 2u);
    EXPECT_EQ(internet.sentHeaders[internet.sentHeaders.size() - 2], "Range: bytes=12288-\r\nIf-Range: \"v1\"\r\n");
    EXPECT_EQ(internet.sentHeaders.back(), "");
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.message == "Start transferring"; }), 1);

    // A 206 of another part than asked for (which replies continue a part:
    // JudgeReply's own tests): refused, and the part dropped.
    SlowAfter(3);
    Fetch();
    ASSERT_EQ(Kept().size(), 12288u);
    Serve(body, "\"v1\"");
    AnswerRangesWith(body, 0, "bytes 0-299999/300000");
    std::tie(events, fetched) = Fetch();
    EXPECT_EQ(fetched, "(none)");
    EXPECT_EQ(Find(events, wsFileError).message, "File " + url + " came as another part of the file than the one asked for");
    EXPECT_EQ(Kept(), "(none)") << "dropped: the next transfer asks for the whole file";
    EXPECT_FALSE(KeptInfo());
    EXPECT_EQ(Fetch().second, body);
    EXPECT_EQ(internet.sentHeaders.back(), "");
}

TEST_F(ResumeTest, OneContentListedTwiceArrivesTwiceAndPartsNoLongerWantedGo)
{
    TUpdateRec twice = record;
    RunResult r = Run({&record, &twice}, {}, {.partsFolder = parts.str()});
    ASSERT_FALSE(record.TempFile.empty());
    EXPECT_NE(record.TempFile, twice.TempFile);
    EXPECT_TRUE(ReadBytes(record.TempFile) == body && ReadBytes(twice.TempFile) == body);
    fs::remove(record.TempFile);
    fs::remove(twice.TempFile);

    // Parts of three files; the list then fetches one of them, and another
    // file whose part is larger than the entry allows.
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    for (const std::string& name : {a, b, c}) {
        WriteBytes(parts / (name + ".part"), "kept");
        WriteBytes(parts / (name + ".info"), "info");
    }
    WriteBytes(parts / (std::string(64, 'd') + ".info"), "an info without its part");
    WriteBytes(parts / "someone else's.part", "not ours");
    auto held = KeptPart::Hold(parts.str(), std::string(64, 'e'), true);
    ASSERT_TRUE(held);
    WriteBytes(parts / (std::string(64, 'e') + ".info"), "info");
    EXPECT_EQ(KeepPartsOnly(parts.str(), {{a, 100}, {b, 3}}), 2);
    std::set<std::string> left;
    for (auto& entry : fs::directory_iterator(parts.path())) left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{a + ".part", a + ".info", "someone else's.part",
                                           std::string(64, 'e') + ".part", std::string(64, 'e') + ".info"}))
        << "a part being written stays";
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
