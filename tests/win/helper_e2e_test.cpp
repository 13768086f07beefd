// The replacement helper as its own process: it waits for a process to end,
// then copies the staged file over the target and deletes the staged file,
// exiting with 0 whatever happened.
#include <gtest/gtest.h>

#include "tests/win/updater_fixture.h"

namespace tallowfin::test {
namespace {

using namespace std::chrono_literals;

class HelperTest : public ::testing::Test {
protected:
    HelperTest()
    {
        fs::create_directories(folder);
        fs::copy_file(HelperExe(), helper);
        WriteBytes(staged, "new content");
        WriteBytes(target, "old content");
    }
    Process RunHelper(const std::string& arguments) { return Start(helper, arguments, dir.path()); }
    std::string Quoted(const fs::path& p) const { return '"' + p.string() + '"'; }
    std::string Arguments(const std::string& pid) const { return Quoted(staged) + " " + Quoted(target) + " " + pid; }
    void ExpectReplaced()
    {
        EXPECT_EQ(ReadBytes(target), "new content");
        EXPECT_FALSE(fs::exists(staged));
    }

    ScratchDir dir{"helper"};
    fs::path folder = dir.path() / "Program Files" / "Tallowfin Beta";
    fs::path helper = dir.path() / "UpdateMgr.exe";
    fs::path staged = folder / "TallowfinUpdate.Update";
    fs::path target = folder / "TallowfinUpdate.exe";
};

TEST_F(HelperTest, WaitsForALiveProcessAndCopiesOnlyAfterItEnded)
{
    Process waitedFor = Start(StandInExe(), "--serve", dir.path());
    ASSERT_TRUE(WaitUntil([&] { return !WindowsOf(waitedFor.Id(), "TallowfinMainStandIn").empty(); }));
    Process helper = RunHelper(Arguments(std::to_string(waitedFor.Id())));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(helper.Running());
    EXPECT_EQ(ReadBytes(target), "old content");
    EXPECT_TRUE(fs::exists(staged));

    for (HWND w : WindowsOf(waitedFor.Id(), "TallowfinMainStandIn")) PostMessageA(w, WM_CLOSE, 0, 0);
    ASSERT_TRUE(waitedFor.WaitExit());
    EXPECT_EQ(helper.WaitExit(10s), 0u);
    ExpectReplaced();
}

TEST_F(HelperTest, CopiesAtOnceWhenThereIsNothingToWaitFor)
{
    Process ended = Start(StandInExe(), "", dir.path());
    ASSERT_TRUE(ended.WaitExit());
    for (const std::string& pid :
         std::vector<std::string>{"0", "abc", "12abc", "4294967296", std::to_string(ended.Id())}) {
        WriteBytes(staged, "new content");
        WriteBytes(target, "old content");
        Process helper = RunHelper(Arguments(pid));
        EXPECT_EQ(helper.WaitExit(10s), 0u) << pid;
        ExpectReplaced();
    }
}

TEST_F(HelperTest, MissingStagedFileLeavesTheTargetAsItWas)
{
    fs::remove(staged);
    Process helper = RunHelper(Arguments("0"));
    EXPECT_EQ(helper.WaitExit(10s), 0u);
    EXPECT_EQ(ReadBytes(target), "old content");
}

TEST_F(HelperTest, TargetHeldForAWhileIsReplacedOnceReleased)
{
    // Held as the system holds an image that has just ended, or a scanner a
    // new file.
    FileHandle holder(CreateFileA(target.string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(holder);
    Process helper = RunHelper(Arguments("0"));
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(helper.Running()) << "it keeps trying";
    EXPECT_EQ(SizeOf(target), std::string("old content").size());
    EXPECT_TRUE(fs::exists(staged));
    holder.reset();
    EXPECT_EQ(helper.WaitExit(10s), 0u);
    ExpectReplaced();
}

TEST_F(HelperTest, TargetHeldLongerThanItTriesKeepsTheStagedFileForALaterUpdate)
{
    FileHandle holder(CreateFileA(target.string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(holder);
    const auto started = std::chrono::steady_clock::now();
    Process helper = RunHelper(Arguments("0"));
    EXPECT_EQ(helper.WaitExit(30s), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 14s) << "gave up early";
    holder.reset();
    EXPECT_EQ(ReadBytes(target), "old content");
    EXPECT_EQ(ReadBytes(staged), "new content");
}

TEST_F(HelperTest, KilledAtAnyPointLeavesTheTargetOldOrNew)
{
    const std::string oldBytes = PatternBytes(8000000, 1), newBytes = PatternBytes(12000000, 2);
    // From its start to its end, and while it waits for a target held.
    for (const int delayMs : {0, 30, 80, 150, 250, 400, 700, -1}) {
        WriteBytes(target, oldBytes);
        WriteBytes(staged, newBytes);
        FileHandle holder;
        if (delayMs < 0)
            holder.reset(CreateFileA(target.string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
        Process helper = RunHelper(Arguments("0"));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs < 0 ? 1000 : delayMs));
        helper.Kill();
        holder.reset();
        const bool replaced = SizeOf(target) == newBytes.size();
        EXPECT_TRUE(ReadBytes(target) == (replaced ? newBytes : oldBytes)) << "killed after " << delayMs << " ms";
        // The staged file goes only by becoming the target.
        if (replaced) EXPECT_FALSE(fs::exists(staged));
        else EXPECT_TRUE(fs::exists(staged) && ReadBytes(staged) == newBytes) << "killed after " << delayMs << " ms";
    }
}

TEST_F(HelperTest, FewerThanThreeArgumentsTouchNoFile)
{
    for (const std::string& arguments :
         std::vector<std::string>{std::string(), Quoted(staged), Quoted(staged) + " " + Quoted(target),
                                  "\"\" " + Quoted(staged) + " \"\" " + Quoted(target)}) {
        Process helper = RunHelper(arguments);
        EXPECT_EQ(helper.WaitExit(10s), 0u) << arguments;
        EXPECT_EQ(ReadBytes(target), "old content");
        EXPECT_EQ(ReadBytes(staged), "new content");
    }
}

TEST_F(HelperTest, OnlyTheFirstThreeArgumentsCount)
{
    Process helper = RunHelper(Arguments("0") + " " + Quoted(dir.path() / "fourth") + " 99");
    EXPECT_EQ(helper.WaitExit(10s), 0u);
    ExpectReplaced();
    EXPECT_FALSE(fs::exists(dir.path() / "fourth"));
}

}  // namespace
}  // namespace tallowfin::test
