// The worker with the system's internet library against a local server,
// reached through the proxy setting as the shipped updater reaches it.
#include <gtest/gtest.h>

#include "tests/support/http_server.h"
#include "tests/support/win_util.h"
#include "tests/win/worker_support.h"

namespace tallowfin::test {
namespace {

// The host the requests name; the proxy setting takes them to the local server.
const std::string kBase = "http://updates.tallowfin.test/software/Tallowfin/";

class WebThreadServerTest : public ::testing::Test {
protected:
    WebThreadServerTest() { std::filesystem::create_directories(served.path() / "software" / "Tallowfin"); }

    std::filesystem::path Serve(const std::string& relative, const std::string& bytes)
    {
        auto path = served.path() / "software" / "Tallowfin" / relative;
        std::filesystem::create_directories(path.parent_path());
        WriteBytes(path, bytes);
        return path;
    }
    RunResult Run(std::vector<TUpdateRec*> records)
    {
        RunResult result = RunWorker(SystemInternet(), kBase, std::move(records));
        EXPECT_TRUE(result.terminated);
        EXPECT_TRUE(result.destroyed);
        return result;
    }
    static std::vector<TWebStatus> Kinds(const RunResult& r)
    {
        std::vector<TWebStatus> kinds;
        for (auto& e : r.events)
            if (e.kind != wsProgress) kinds.push_back(e.kind);
        return kinds;
    }

    ScratchDir served{"srv"};
    ScratchDir temp{"tmp"};
    ScopedEnv tmp{"TMP", temp.str()};
    HttpServer server{served.path()};
    ScopedEnv proxy{"http_proxy", server.ProxyAddress()};
};

TEST_F(WebThreadServerTest, FetchesFilesByteIdenticalIntoWorkerTemporaryFiles)
{
    const std::string big = PatternBytes(5 * 1024 * 1024 + 123, 1);
    const std::string list = "<list/>";
    Serve("filelist.xml", list);
    Serve("bin/big.dat", big);
    TUpdateRec a{"info on available updates", "filelist.xml", "", ""};
    TUpdateRec b{"", "bin/big.dat", "", ""};
    RunResult r = Run({&a, &b});

    EXPECT_EQ(Kinds(r), (std::vector<TWebStatus>{wsConnected, wsTransferring, wsTransferring, wsCompleted,
                                                 wsTransferring, wsTransferring, wsCompleted, wsDisconnected}));
    EXPECT_EQ(r.events[2], (Event{wsTransferring, "Downloading info on available updates", 7, 0}));
    ASSERT_FALSE(b.TempFile.empty());
    EXPECT_EQ(ReadBytes(a.TempFile), list);
    EXPECT_EQ(ReadBytes(b.TempFile), big);
    EXPECT_EQ(b.TempFile.rfind(SystemTempDir() + "~wu", 0), 0u);
    // Progress only goes forward, and ends with the whole file.
    std::int32_t last = 0;
    for (auto& e : r.events)
        if (e.kind == wsProgress && e.size == static_cast<std::int32_t>(big.size())) {
            EXPECT_GE(e.position, last);
            last = e.position;
        }
    EXPECT_EQ(last, static_cast<std::int32_t>(big.size()));

    // Requests went through the proxy in absolute form, naming the real host.
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target.rfind("http://updates.tallowfin.test", 0), 0u) << requests[0].target;
    EXPECT_EQ(requests[0].path, "/software/Tallowfin/filelist.xml");
    EXPECT_EQ(requests[1].path, "/software/Tallowfin/bin/big.dat");
}

TEST_F(WebThreadServerTest, AgentStringIsSentByteForByte)
{
    // Under code page 1252 the library passes the last byte 0xA9 through as it is.
    ASSERT_EQ(GetACP(), 1252u) << "run this test under code page 1252";
    Serve("a", "x");
    TUpdateRec a{"", "a", "", ""};
    Run({&a});
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("User-Agent"), std::string("WebUpdater by vorlane\xA9"));
}

TEST_F(WebThreadServerTest, EveryRequestReachesTheServer)
{
    // Nothing is answered from a cache: a file changed on the server between
    // two fetches arrives in its new form.
    Serve("f", "first");
    TUpdateRec one{"", "f", "", ""};
    Run({&one});
    Serve("f", "second version");
    TUpdateRec two{"", "f", "", ""}, three{"", "f", "", ""};
    Run({&two, &three});
    EXPECT_EQ(server.CountRequests("/software/Tallowfin/f"), 3u);
    EXPECT_EQ(ReadBytes(one.TempFile), "first");
    EXPECT_EQ(ReadBytes(two.TempFile), "second version");
    EXPECT_EQ(ReadBytes(three.TempFile), "second version");
}

TEST_F(WebThreadServerTest, ErrorStatusIsAMissingFileNotAFileWithAnErrorPage)
{
    Serve("gone", "content");
    server.SetFault("/software/Tallowfin/gone", {.status = 404});
    server.SetFault("/software/Tallowfin/broken", {.status = 500});
    TUpdateRec a{"", "gone", "", ""}, b{"", "broken", "", ""}, c{"", "never-published", "", ""};
    RunResult r = Run({&a, &b, &c});
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsFileError, "File " + kBase + "gone does not exist", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsFileError, "File " + kBase + "broken does not exist", 0, 0},
                            {wsTransferring, "Start transferring", 0, 0},
                            {wsFileError, "File " + kBase + "never-published does not exist", 0, 0},
                            {wsDisconnected, "Disconnected", 0, 0},
                        }));
    EXPECT_TRUE(a.TempFile.empty() && b.TempFile.empty() && c.TempFile.empty());
    EXPECT_TRUE(WorkerTempFiles().empty());
}

TEST_F(WebThreadServerTest, ReplyWithoutContentLengthIsAMissingFile)
{
    Serve("stream", "streamed body");
    server.SetFault("/software/Tallowfin/stream", {.noContentLength = true});
    TUpdateRec a{"", "stream", "", ""};
    RunResult r = Run({&a});
    EXPECT_EQ(Kinds(r), (std::vector<TWebStatus>{wsConnected, wsTransferring, wsFileError, wsDisconnected}));
    EXPECT_TRUE(a.TempFile.empty());
}

TEST_F(WebThreadServerTest, BodyCutHalfWayIsAFailedTransferAndLeavesNoFile)
{
    Serve("cut", PatternBytes(100000, 3));
    Serve("fine", "fine");
    server.SetFault("/software/Tallowfin/cut", {.cutAfter = 50000});
    TUpdateRec a{"", "cut", "", ""}, b{"", "fine", "", ""};
    RunResult r = Run({&a, &b});
    EXPECT_EQ(Kinds(r), (std::vector<TWebStatus>{wsConnected, wsTransferring, wsTransferring, wsFileError,
                                                 wsTransferring, wsTransferring, wsCompleted, wsDisconnected}));
    auto error = std::find_if(r.events.begin(), r.events.end(), [](auto& e) { return e.kind == wsFileError; });
    EXPECT_EQ(error->message.rfind("Error retrieving remote file: ", 0), 0u) << error->message;
    EXPECT_EQ(error->position, 50000);
    EXPECT_TRUE(a.TempFile.empty());
    EXPECT_EQ(ReadBytes(b.TempFile), "fine");
    EXPECT_EQ(WorkerTempFiles(), std::vector<std::string>{b.TempFile});
}

TEST_F(WebThreadServerTest, RefusedConnectionCannotStartTheTransfer)
{
    std::uint16_t closedPort;
    {
        HttpServer gone(served.path());
        closedPort = gone.Port();
    }
    ScopedEnv refused("http_proxy", "http://127.0.0.1:" + std::to_string(closedPort));
    TUpdateRec a{"", "filelist.xml", "", ""};
    RunResult r = Run({&a});
    EXPECT_EQ(r.events, (std::vector<Event>{
                            {wsConnected, "Connected", 0, 0},
                            {wsFileError, "Could not start transferring remote file", 0, 0},
                            {wsDisconnected, "Disconnected", 0, 0},
                        }));
}

TEST_F(WebThreadServerTest, DripAndStallAreCutOffByThePaceWithoutWaitingForTheRead)
{
    // By a clock a hundred times faster than the machine's, a minute passes
    // in 0.6 s. A drip of 100 bytes a second is read as it arrives; a stall
    // after 1 MB holds a large read that the worker gives up on.
    Serve("drip", PatternBytes(100'000, 5));
    Serve("stall", PatternBytes(3'000'000, 6));
    server.SetFault("/software/Tallowfin/drip", {.bytesPerSecond = 100});
    server.SetFault("/software/Tallowfin/stall", {.stallAfter = 1'000'000, .stallMs = 120'000});
    TUpdateRec drip{"", "drip", "", ""}, stall{"", "stall", "", ""};
    const auto started = std::chrono::steady_clock::now();
    RunResult r = RunWorker(SystemInternet(), kBase, {&drip, &stall}, {},
                            {.clock = [at = GetTickCount64()] { return at + (GetTickCount64() - at) * 100; }});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    std::vector<Event> errors;
    for (const Event& e : r.events)
        if (e.kind == wsFileError) errors.push_back(e);
    ASSERT_EQ(errors.size(), 2u);
    for (const Event& e : errors)
        EXPECT_NE(e.message.find("came at less than 1024 bytes a second for 60 s"), std::string::npos) << e.message;
    EXPECT_LT(errors[0].position, 1000);
    EXPECT_LE(errors[1].position, 1'000'000);
    EXPECT_EQ(r.events.back().kind, wsDisconnected);
    EXPECT_TRUE(drip.TempFile.empty() && stall.TempFile.empty());
    EXPECT_TRUE(WorkerTempFiles().empty());
}

}  // namespace
}  // namespace tallowfin::test
