// The updater under faults, bad input and interruption. For each case: every
// installed file holds its old or its new content, nothing is written outside
// the listed places, no temporary file is left to pile up, and the next run
// that meets no fault brings the installation to the listed state.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "common/lead_bytes.h"
#include "common/sealed_record.h"
#include "common/utc_clock.h"
#include "digestcache/digest_cache.h"
#include "digestcache/folder_listing.h"
#include "tests/win/updater_fixture.h"
#include "transaction/journal.h"
#include "transaction/release_transaction.h"
#include "trust/accepted_serial.h"
#include "trust/installation_serial.h"

namespace tallowfin::test {
namespace {

using namespace std::chrono_literals;

class FaultsTest : public ::testing::Test {
protected:
    // A product of several files, each with an old installed version and a new
    // published one, plus one file that is new altogether.
    FaultsTest()
    {
        for (int i = 0; i < 6; ++i) {
            const std::string name = "file" + std::to_string(i) + ".bin";
            oldContent[name] = PatternBytes(50000 + i * 1000, 100 + i);
            newContent[name] = PatternBytes(120000 + i * 7000, 200 + i);
            WriteBytes(box.Install() / name, oldContent[name]);
        }
        newContent["added.txt"] = "added in the new version";
        for (auto& [name, bytes] : newContent) entries.push_back(box.Changed(name, bytes));
        box.PublishList(entries);
    }

    // Every listed file holds its old or its new content (or is still absent,
    // if it is new), and the folder holds nothing it should not. A run that
    // was killed may have left copies of the updater's own beside a file and
    // its transaction's journal; the next run finishes and removes them.
    void ExpectWholeFiles(bool afterAKill = false)
    {
        for (auto& [name, bytes] : newContent) {
            const fs::path file = box.Install() / name;
            if (!fs::exists(file)) {
                EXPECT_FALSE(oldContent.count(name)) << name << " was lost";
                continue;
            }
            const std::string now = ReadBytes(file);
            const bool whole = now == bytes || (oldContent.count(name) && now == oldContent[name]);
            EXPECT_TRUE(whole) << name << " holds neither its old nor its new content";
        }
        const std::set<std::string> allowed = {"TallowfinUpdate.exe", "TallowfinMain.exe", "TallowfinMain.log",
                                               "UpdateMgr.exe", "TallowfinUpdate.Update", kInstallationSerialFile,
                                               kTransactionLogFile};
        for (auto& entry : fs::directory_iterator(box.Install())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(newContent.count(name) || allowed.count(name) ||
                        (afterAKill && (IsUpdatersOwnName(name) || name.rfind(kJournalFile, 0) == 0 ||
                                        name.rfind(kInstallationSerialFile, 0) == 0)))
                << "unexpected " << name;
        }
    }

    // A run without faults that brings everything to the listed state; the
    // run after it fetches nothing but the list.
    void ExpectConvergence()
    {
        box.Server().ClearFaults();
        Process updater = box.StartUpdater();
        ASSERT_EQ(updater.WaitExit(60s), 0u);
        for (auto& [name, bytes] : newContent) EXPECT_TRUE(ReadBytes(box.Install() / name) == bytes) << name;
        EXPECT_TRUE(box.LeftTemporaryFiles().empty()) << "temporary files pile up";
        ExpectWholeFiles();  // and nothing left beside them
        SettleHelpers();  // a self-update completes after the updater has ended
        box.Server().ClearRequests();
        Process again = box.StartUpdater();
        ASSERT_EQ(again.WaitExit(60s), 0u);
        EXPECT_EQ(box.Server().Requests().size(), listFiles) << "a converged installation fetches only the list";
    }

    // Starts a run that must end in the stopped state (a failed download
    // pass): the updater stays, nothing is installed.
    void ExpectStoppedPass(Process& updater, const std::string& lastRequested)
    {
        ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/" + lastRequested) > 0; }, 30s));
        std::this_thread::sleep_for(1500ms);
        // The pass has ended once its files are deleted (on a busy machine
        // the last transfer and the check may take longer than the pause).
        EXPECT_TRUE(WaitUntil([&] { return box.LeftTemporaryFiles().empty(); }, 10s));
        EXPECT_TRUE(updater.Running());
        ExpectWholeFiles();
        for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
    }

    // Lists a new build of the updater itself (of `build`), published under
    // its name, and returns its bytes.
    std::string ListNewUpdaterBuild(const std::string& marker, const fs::path& build = UpdaterExe())
    {
        const std::string newBuild = ReadBytes(build) + marker;
        box.Publish("TallowfinUpdate.exe", newBuild);
        entries.push_back({"%PROGRAM%", "TallowfinUpdate.exe", Md5Hex(newBuild), "TallowfinUpdate.exe", std::nullopt});
        box.PublishList(entries);
        return newBuild;
    }

    // The next run comes after a helper that did start has done its work.
    // Under Wine a child whose parent is killed while creating it can hang in
    // Wine's own start-up, before any of its code runs, holding its file: such
    // a helper never started, and is ended here.
    void SettleHelpers()
    {
        const fs::path sandbox = box.Install().parent_path();
        if (!WaitForProcessesUnder(sandbox, 10s)) EndProcessesUnder(sandbox);
    }

    Sandbox box;
    std::map<std::string, std::string> oldContent, newContent;
    std::vector<Sandbox::Entry> entries;
    std::size_t listFiles = 1;  // what a list pass fetches: the list, and its signature where it is signed
};

TEST_F(FaultsTest, ListFetchFaultsAreRetriedUntilTheServerAnswersWell)
{
    const std::string list = "/software/Tallowfin/filelist.xml";
    box.Server().SetFault(list, {.status = 500});
    Process updater = box.StartUpdater();
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests(list) == 1; }));
    box.Server().SetFault(list, {.noContentLength = true});
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests(list) == 2; }, 15s));
    box.Server().SetFault(list, {.cutAfter = 100});
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests(list) == 3; }, 15s));
    ExpectWholeFiles();
    for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
    box.Server().ClearFaults();
    // The next retry gets the list and completes the run.
    EXPECT_EQ(updater.WaitExit(30s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
}

TEST_F(FaultsTest, FileFaultsStopThePassAndTheNextRunConverges)
{
    for (const Fault& fault : {Fault{.status = 500}, Fault{.noContentLength = true}, Fault{.cutAfter = 60000}}) {
        box.Server().SetFault("/software/Tallowfin/file3.bin", fault);
        box.Server().ClearRequests();
        Process updater = box.StartUpdater();
        ExpectStoppedPass(updater, "file5.bin");
        updater.Kill();
    }
    ExpectConvergence();
}

TEST_F(FaultsTest, LeavingDuringAPassEndsTheRunWhateverTheWorkerIsDoing)
{
    // The worker waits in a stalled read, then hands a report over for every
    // 4 KiB: either way it is not waited for, and nothing it refers to is
    // destroyed under it.
    for (const Fault& fault : {Fault{.stallAfter = 30000, .stallMs = 120000}, Fault{.bytesPerSecond = 20000}}) {
        box.Server().SetFault("/software/Tallowfin/file2.bin", fault);
        box.Server().ClearRequests();
        Process updater = box.StartUpdater();
        ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/file2.bin") > 0; }));
        std::this_thread::sleep_for(1s);
        RightClickTray();
        HWND menu = WaitForWindow(updater.Id(), "#32768", 10s);
        ASSERT_TRUE(menu);
        PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
        EXPECT_EQ(updater.WaitExit(10s), 0u);
        EXPECT_TRUE(WaitUntil([] { return TrayIconWindows().empty(); }, 5s)) << "the icon goes with the run";
        ExpectWholeFiles();
    }
    ExpectConvergence();
}

TEST_F(FaultsTest, ServerStoppingInTheMiddleOfAPass)
{
    box.Server().SetFault("/software/Tallowfin/file1.bin", {.bytesPerSecond = 100000});
    Process updater = box.StartUpdater();
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/file1.bin") > 0; }));
    std::this_thread::sleep_for(300ms);
    box.Server().Stop();
    // The rest of the pass meets a refused connection; nothing is installed.
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(updater.Running());
    ExpectWholeFiles();
    for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
    EXPECT_TRUE(WaitUntil([&] { return box.LeftTemporaryFiles().empty(); }, 10s));
    updater.Kill();
    HttpServer again(box.ServedRoot(), box.Server().Port());
    Process next = Start(box.Updater(), "", box.Install(),
                         {{"http_proxy", again.ProxyAddress()}, {"TMP", box.Temp().string()}, {"TEMP", box.Temp().string()}});
    EXPECT_EQ(next.WaitExit(60s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
}

TEST_F(FaultsTest, ReadOnlyTargetIsWholeAndConvergesOnceWritable)
{
    // Windows refuses the copy over a read-only file, which then keeps its
    // old content; Wine, run as root, lets it through. Either way the file
    // is whole and the others are installed.
    const std::string target = (box.Install() / "file0.bin").string();
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
    Process updater = box.StartUpdater();
    EXPECT_EQ(updater.WaitExit(60s), 0u);
    EXPECT_EQ(ReadBytes(box.Install() / "file1.bin"), newContent["file1.bin"]);
    ExpectWholeFiles();
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ExpectConvergence();
}

TEST_F(FaultsTest, FolderThatCannotBeCreatedLeavesTheOtherFilesInstalled)
{
    // A file stands where the folder would go.
    WriteBytes(box.Install() / "blocker", "not a folder");
    newContent["blocker"] = "not a folder";
    box.Publish("blocked.txt", "blocked");
    auto blocked = entries;
    blocked.push_back({"%PROGRAM%\\blocker", "blocked.txt", Md5Hex("blocked"), "blocked.txt", std::nullopt});
    blocked.push_back({"%PROGRAM%", "blocker", Md5Hex("not a folder"), "blocker", std::nullopt});
    box.Publish("blocker", "not a folder");
    box.PublishList(blocked);
    Process updater = box.StartUpdater();
    EXPECT_EQ(updater.WaitExit(60s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
}

TEST_F(FaultsTest, TemporaryFolderThatCannotBeWrittenInstallsNothing)
{
    Process updater = Start(box.Updater(), "", box.Install(),
                            {{"http_proxy", box.Server().ProxyAddress()},
                             {"TMP", (box.Temp() / "missing").string()},
                             {"TEMP", (box.Temp() / "missing").string()}});
    // The list cannot be stored: the pass fails and is retried.
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/filelist.xml") >= 1; }));
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(updater.Running());
    ExpectWholeFiles();
    for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
    updater.Kill();
    ExpectConvergence();
}

TEST_F(FaultsTest, KilledAtAnyPointTheNextRunCompletesTheInstallation)
{
    // Big enough files that a run takes a while, and the updater's own new
    // build among them.
    for (int i = 0; i < 6; ++i) newContent["file" + std::to_string(i) + ".bin"] = PatternBytes(900000, 300 + i);
    oldContent["TallowfinUpdate.exe"] = ReadBytes(UpdaterExe());
    newContent["TallowfinUpdate.exe"] = ReadBytes(UpdaterExe()) + "build 2";
    entries.clear();
    for (auto& [name, bytes] : newContent) entries.push_back(box.Changed(name, bytes));
    box.PublishList(entries);
    for (int delayMs : {150, 400, 700, 1000, 1300, 1700}) {
        // Each run from a folder of its own: see SettleHelpers.
        const fs::path startedIn = box.Temp().parent_path() / ("run " + std::to_string(delayMs));
        fs::create_directories(startedIn);
        Process updater = box.StartUpdater("", startedIn);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        updater.Kill();
        SettleHelpers();
        ExpectWholeFiles(true);
    }
    newContent.erase("TallowfinUpdate.exe");
    ExpectConvergence();
    // The updater replaced itself in one of the runs; the helper has ended.
    EXPECT_TRUE(WaitUntil([&] { return HoldsBytes(box.Updater(), ReadBytes(UpdaterExe()) + "build 2"); }, 20s));
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(box.Install() / "TallowfinUpdate.Update"); }, 10s));
}

TEST_F(FaultsTest, KilledAtEachStepOfTheTransactionTheNextRunFindsTheOldOrTheNewReleaseWhole)
{
    // A DLL among the files, and the file that is new altogether last, so that
    // holding the first file stops the renames before any of them.
    newContent["reg.dll"] = ReadBytes(TestComDll());
    entries.clear();
    for (auto& [name, bytes] : newContent)
        if (name != "added.txt") entries.push_back(box.Changed(name, bytes));
    entries.push_back(box.Changed("added.txt", newContent["added.txt"]));
    box.PublishList(entries);
    const fs::path journal = box.Install() / kJournalFile;
    const fs::path registrations = box.Temp() / "registrations.log";
    const std::map<std::string, std::string> logged = {{"TALLOWFIN_REGISTRATION_LOG", box.Temp().string()}};
    auto phase = [&]() -> std::optional<JournalPhase> {
        try {
            if (auto read = ReadJournal(ReadBytes(journal))) return read->phase;
        } catch (...) {
            // Missing, or being replaced at this moment.
        }
        return std::nullopt;
    };
    auto restoreOldRelease = [&] {
        for (auto& [name, bytes] : oldContent) WriteBytes(box.Install() / name, bytes);
        fs::remove(box.Install() / "added.txt");
        fs::remove(box.Install() / "reg.dll");
    };
    // Which release is on the disk once a run has finished what the killed
    // one left: the run after it can do nothing else (its list is refused),
    // and is ended once it asked for it.
    auto releaseAfterRecovery = [&]() -> std::string {
        box.Server().SetFault("/software/Tallowfin/filelist.xml", {.status = 503});
        box.Server().ClearRequests();
        Process recovering = box.StartUpdater("", std::nullopt, logged);
        EXPECT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/filelist.xml") > 0; }, 60s));
        recovering.Kill();
        box.Server().ClearFaults();
        EXPECT_FALSE(fs::exists(journal)) << "the journal outlived its transaction";
        ExpectWholeFiles();
        std::size_t olds = 0, news = 0;
        for (auto& [name, bytes] : newContent) {
            const fs::path file = box.Install() / name;
            const bool present = fs::exists(file);
            news += present && ReadBytes(file) == bytes;
            olds += oldContent.count(name) ? present && ReadBytes(file) == oldContent[name] : !present;
        }
        return olds == newContent.size() ? "old" : news == newContent.size() ? "new" : "a mix";
    };
    auto holding = [&](const std::string& name) {
        return FileHandle(CreateFileA((box.Install() / name).string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    };

    {
        SCOPED_TRACE("killed while the copies are written beside their targets");
        Process run = box.StartUpdater("", std::nullopt, logged);
        ASSERT_TRUE(WaitUntil([&] { return phase().has_value(); }, 30s));
        run.Kill();
        const std::string found = releaseAfterRecovery();
        EXPECT_TRUE(found == "old" || found == "new") << found;
    }
    for (const char* held : {"file0.bin", "file3.bin"}) {
        SCOPED_TRACE(std::string("killed while ") + held + " holds the renames up");
        restoreOldRelease();
        {
            FileHandle holder = holding(held);
            Process run = box.StartUpdater("", std::nullopt, logged);
            ASSERT_TRUE(WaitUntil([&] { return phase() == JournalPhase::kCommitting; }, 30s));
            std::this_thread::sleep_for(500ms);
            run.Kill();
        }
        // Every new copy is whole beside its target: forward.
        EXPECT_EQ(releaseAfterRecovery(), "new");
    }
    {
        SCOPED_TRACE("killed while the DLL is being registered");
        restoreOldRelease();
        auto slow = logged;
        slow["TALLOWFIN_REGISTRATION_DELAY_MS"] = "20000";
        Process run = box.StartUpdater("", std::nullopt, slow);
        ASSERT_TRUE(WaitUntil([&] { return phase() == JournalPhase::kCommitted; }, 30s));
        std::this_thread::sleep_for(500ms);
        const std::size_t before = ReadLines(registrations).size();
        run.Kill();
        EXPECT_EQ(releaseAfterRecovery(), "new");
        const auto lines = ReadLines(registrations);
        ASSERT_EQ(lines.size(), before + 1) << "registered once more, by the next run; the killed run's registrar ended with it";
        EXPECT_EQ(lines.back(), "register " + (box.Install() / "reg.dll").string());
    }
    ExpectConvergence();
}

TEST_F(FaultsTest, KilledRightAfterStagingItselfTheNextRunReplacesIt)
{
    const std::string newBuild = ListNewUpdaterBuild("build 3");
    const fs::path staged = box.Install() / "TallowfinUpdate.Update";
    Process updater = box.StartUpdater();
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(staged); }, 30s));
    updater.Kill();
    // Whether or not its helper got to run, the next run ends in the new build.
    SettleHelpers();
    if (!HoldsBytes(box.Updater(), newBuild)) {
        // Started elsewhere, so that the helper goes to a folder of its own.
        const fs::path elsewhere = box.Temp().parent_path() / "next run";
        fs::create_directories(elsewhere);
        Process next = box.StartUpdater("", elsewhere);
        EXPECT_EQ(next.WaitExit(60s), 0u) << DescribeWindows(next.Id());
    }
    EXPECT_TRUE(WaitUntil([&] { return HoldsBytes(box.Updater(), newBuild); }, 20s))
        << "still running: " << DescribeProcessesUnder(box.Install().parent_path());
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(staged); }, 10s));
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
}

// ---- Transfers that end early ----------------------------------------------------

TEST_F(FaultsTest, CutDownloadIsResumedByTheNextRunAndThePartOfAFileNoLongerListedGoes)
{
    const std::string big = "big.bin", path = "/software/Tallowfin/big.bin";
    newContent[big] = PatternBytes(6'000'000, 410);
    entries.push_back(box.Changed(big, newContent[big]));
    box.PublishList(entries);
    box.Server().SetFault(path, {.cutAfter = 4'000'000, .uses = 1});
    Process updater = box.StartUpdater();
    ExpectStoppedPass(updater, big);
    updater.Kill();
    EXPECT_EQ(box.KeptParts(), (std::map<std::string, std::uint64_t>{{Md5Hex(newContent[big]), 4'000'000}}))
        << "what arrived is kept, per user, named by the listed digest";

    // The next run asks for the rest only, and installs the whole file.
    box.Server().ClearRequests();
    Process next = box.StartUpdater();
    ASSERT_EQ(next.WaitExit(60s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_TRUE(ReadBytes(box.Install() / name) == bytes) << name;
    std::vector<Request> asked;
    for (const Request& request : box.Server().Requests())
        if (request.path == path) asked.push_back(request);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Header("Range"), "bytes=4000000-");
    EXPECT_EQ(asked[0].status, 206);
    EXPECT_LT(box.Server().BytesSent(path), 2'000'000 + 1024) << "the rest and a head";
    EXPECT_TRUE(box.KeptParts().empty()) << "an installed file keeps no part";
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());

    // A new file cut in its turn, then no longer listed: its part goes with
    // the next list read.
    auto withExtra = entries;
    const std::string extra = PatternBytes(3'000'000, 411);
    withExtra.push_back(box.Changed("extra.bin", extra));
    box.PublishList(withExtra);
    box.Server().SetFault("/software/Tallowfin/extra.bin", {.cutAfter = 1'000'000, .uses = 1});
    updater = box.StartUpdater();
    const std::map<std::string, std::uint64_t> cut = {{Md5Hex(extra), 1'000'000}};
    ASSERT_TRUE(WaitUntil([&] { return box.KeptParts() == cut; }, 30s));
    updater.Kill();
    std::this_thread::sleep_for(1100ms);  // the test server tells lists of one size apart by the second
    box.PublishList(entries);
    ExpectConvergence();
    EXPECT_TRUE(box.KeptParts().empty()) << "the part of a file no longer listed was left";
    EXPECT_FALSE(fs::exists(box.Install() / "extra.bin"));
}

// ---- Files that are not what the list says, and replacing files whole ----------

TEST_F(FaultsTest, DownloadsWithOtherBytesThanListedInstallNothing)
{
    // Served whole with status 200 and not the listed file: an error page, and
    // a body longer than its announced length (the library hands over only
    // what was announced, a part of the file).
    const std::string page = "<html><body>Service temporarily unavailable</body></html>";
    for (const bool errorPage : {true, false}) {
        SCOPED_TRACE(errorPage ? "an error page" : "a body longer than announced");
        if (errorPage) box.Publish("file3.bin", page);
        else box.Server().SetFault("/software/Tallowfin/file3.bin", {.announcedLength = 100000});
        Process updater = box.StartUpdater();
        ExpectStoppedPass(updater, "file5.bin");
        updater.Kill();
        box.Publish("file3.bin", newContent["file3.bin"]);
        box.Server().ClearFaults();
    }

    // The same in place of the updater's own new build: nothing is staged,
    // no helper is written, and the updater stays the one that runs.
    oldContent["TallowfinUpdate.exe"] = ReadBytes(UpdaterExe());
    const std::string newBuild = ListNewUpdaterBuild("build 4");
    box.Publish("TallowfinUpdate.exe", page);
    Process updater = box.StartUpdater();
    ExpectStoppedPass(updater, "TallowfinUpdate.exe");
    EXPECT_FALSE(fs::exists(box.Install() / "TallowfinUpdate.Update"));
    EXPECT_FALSE(fs::exists(box.Install() / "UpdateMgr.exe"));
    updater.Kill();

    box.Publish("TallowfinUpdate.exe", newBuild);
    ExpectConvergence();
    EXPECT_TRUE(WaitUntil([&] { return HoldsBytes(box.Updater(), newBuild); }, 20s));
}

// Looks at a file's size all along, as another program would, without
// opening it (an open handle would make the updater's replacement fail).
class SizeWatcher {
public:
    static constexpr std::uint64_t kMissing = ~std::uint64_t{0};

    explicit SizeWatcher(fs::path file)
        : file_(std::move(file)), thread_(std::make_unique<TestThread>([this] {
              while (!stop_) {
                  const auto size = SizeOf(file_);
                  {
                      std::lock_guard lock(lock_);
                      seen_.insert(size.value_or(kMissing));
                  }
                  std::this_thread::sleep_for(1ms);
              }
          }))
    {
    }
    ~SizeWatcher() { Stop(); }
    std::set<std::uint64_t> Stop()
    {
        stop_ = true;
        thread_.reset();
        std::lock_guard lock(lock_);
        return seen_;
    }

private:
    fs::path file_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::set<std::uint64_t> seen_;
    std::unique_ptr<TestThread> thread_;  // last: it ends before what it uses
};

TEST_F(FaultsTest, LargeFileIsOnlyEverOldOrNewWhileItIsInstalledOrKilled)
{
    const std::string big = "big.bin";
    const fs::path target = box.Install() / big;
    oldContent[big] = PatternBytes(12000000, 400);
    newContent[big] = PatternBytes(16000000, 401);
    WriteBytes(target, oldContent[big]);
    entries.push_back(box.Changed(big, newContent[big]));
    box.PublishList(entries);
    const std::set<std::uint64_t> oldOrNew = {oldContent[big].size(), newContent[big].size()};
    {
        SizeWatcher watcher(target);
        Process updater = box.StartUpdater();
        EXPECT_EQ(updater.WaitExit(60s), 0u);
        EXPECT_EQ(watcher.Stop(), oldOrNew) << "the file was seen missing or at a size in between";
    }
    EXPECT_TRUE(ReadBytes(target) == newContent[big]) << "installed";

    // Killed at several points after the file has arrived (its digest taken,
    // the other files installed, its copy written, flushed, renamed), and at
    // the moment a new copy shows beside it.
    const fs::path side = box.Install().parent_path() / "old-big.bin";
    auto downloaded = [&] {
        for (const std::string& file : box.LeftTemporaryFiles())
            if (SizeOf(file) == newContent[big].size()) return true;
        return false;
    };
    auto copyBeside = [&] {
        for (auto& entry : fs::directory_iterator(box.Install()))
            if (IsUpdatersOwnName(entry.path().filename().string())) return true;
        return false;
    };
    SizeWatcher watcher(target);
    for (const int delayMs : {0, 40, 100, 200, 350, 600, -1}) {
        // The old content back in one step, and the killed run's downloads
        // out of the way (they would pass for this run's until its start-up
        // removed them).
        WriteBytes(side, oldContent[big]);
        ASSERT_TRUE(MoveFileExA(side.string().c_str(), target.string().c_str(), MOVEFILE_REPLACE_EXISTING));
        for (const std::string& file : box.LeftTemporaryFiles()) fs::remove(file);
        Process run = box.StartUpdater();
        EXPECT_TRUE(WaitUntil(delayMs < 0 ? std::function<bool()>(copyBeside) : std::function<bool()>(downloaded), 60s))
            << "waiting to kill after " << delayMs << " ms";
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(delayMs, 0)));
        run.Kill();
        ExpectWholeFiles(true);
    }
    EXPECT_EQ(watcher.Stop(), oldOrNew) << "the file was seen missing or at a size in between";
    // What a run killed while replacing its journal or the installation's
    // serial leaves (a new copy named by its process) goes with the next run.
    WriteBytes(box.Install() / (std::string(kJournalFile) + ".4242.new"), "half a journal");
    WriteBytes(box.Install() / (std::string(kInstallationSerialFile) + ".4242.new"), "half a serial");
    ExpectConvergence();
}

TEST_F(FaultsTest, UpdaterStillHeldAfterItEndedIsReplacedOnceReleased)
{
    const std::string newBuild = ListNewUpdaterBuild("build 5");
    const fs::path staged = box.Install() / "TallowfinUpdate.Update";
    // Held as a virus scanner holds a new file: open for reading, shared for
    // reading only, from before the run until three seconds after its end.
    FileHandle holder(CreateFileA(box.Updater().string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr));
    ASSERT_TRUE(holder);
    Process updater = box.StartUpdater();
    EXPECT_EQ(updater.WaitExit(60s), 0u);
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(SizeOf(box.Updater()), ReadBytes(UpdaterExe()).size()) << "still the old build while held";
    EXPECT_EQ(SizeOf(staged), newBuild.size()) << "the staged copy waits";
    holder.reset();
    EXPECT_TRUE(WaitUntil([&] { return SizeOf(box.Updater()) == newBuild.size(); }, 15s));
    EXPECT_TRUE(ReadBytes(box.Updater()) == newBuild) << "replaced";
    EXPECT_FALSE(fs::exists(staged));
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
}

// ---- Lists that are bad -------------------------------------------------------

class BadListTest : public FaultsTest {
protected:
    // The run ends quickly and normally (the list fails and nothing is
    // fetched, or it is read), starting the main program.
    void ExpectQuickEnd(std::chrono::seconds limit = 30s)
    {
        const auto started = std::chrono::steady_clock::now();
        Process updater = box.StartUpdater();
        // The icon's menu answers while the list is being dealt with.
        EXPECT_EQ(updater.WaitExit(limit), 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - started, limit);
        ExpectWholeFiles();
        EXPECT_TRUE(box.LeftTemporaryFiles().empty());
    }
};

TEST_F(BadListTest, MalformedOrHostileListsFailWithoutFetchingAnything)
{
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE l [\n<!ENTITY a \"lollollollollol\">\n";
    for (char c = 'b'; c <= 'j'; ++c)
        laughs += std::string("<!ENTITY ") + c + " \"" + [&] {
            std::string ten;
            for (int i = 0; i < 10; ++i) ten += std::string("&") + static_cast<char>(c - 1) + ";";
            return ten;
        }() + "\">\n";
    laughs += "]>\n<filelist><file><path>&j;</path><name>a</name><hash>x</hash><downurl>a</downurl></file></filelist>";
    std::string deep = "<filelist><file><path>";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    deep += "x";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
    deep += "</path></file></filelist>";

    // A document type that is harmless in itself, which the parser here
    // takes although it was told not to: the list would install a file.
    box.Publish("dtd.txt", "listed after a document type");
    const std::string declared = "<?xml version=\"1.0\"?>\n<!DOCTYPE filelist [<!ENTITY n \"dtd.txt\">]>\n"
                                 "<filelist><file><path>%PROGRAM%</path><name>dtd.txt</name><hash>" +
                                 Md5Hex("listed after a document type") + "</hash><downurl>dtd.txt</downurl></file></filelist>";

    for (const std::string& list : {std::string("<filelist><file><path>"), laughs, deep, declared}) {
        box.Publish("filelist.xml", list);
        box.Server().ClearRequests();
        ExpectQuickEnd();
        EXPECT_EQ(box.Server().Requests().size(), 1u) << "only the list was fetched";
        for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
    }
    EXPECT_FALSE(fs::exists(box.Install() / "dtd.txt"));
}

TEST_F(BadListTest, HugeListFailsWithoutTyingUpTheUpdater)
{
    std::string huge = "<filelist>\n";
    for (int i = 0; huge.size() < 50u * 1024 * 1024; ++i)
        huge += "<file><path>%PROGRAM%\\many</path><name>f" + std::to_string(i) +
                ".bin</name><hash>0123456789abcdef0123456789abcdef</hash><downurl>f.bin</downurl></file>\n";
    huge += "</filelist>\n";
    box.Publish("filelist.xml", huge);
    ExpectQuickEnd(60s);
    EXPECT_EQ(box.Server().Requests().size(), 1u);
    EXPECT_FALSE(fs::exists(box.Install() / "many"));
}

TEST_F(BadListTest, NameTheCodePageCannotHoldFailsTheList)
{
    ASSERT_EQ(GetACP(), 949u);
    auto bad = entries;
    bad.push_back({"%PROGRAM%", "\xE0\xB8\x81.txt", Md5Hex("x"), "x.txt", std::nullopt});  // a Thai letter
    box.PublishList(bad);
    ExpectQuickEnd();
    EXPECT_EQ(box.Server().Requests().size(), 1u);
}

TEST_F(BadListTest, PathLongerThanTheSystemAllowsDoesNotStopTheOthers)
{
    auto longPath = entries;
    longPath.push_back({"%PROGRAM%\\" + std::string(250, 'd'), "long.txt", Md5Hex("long"), "long.txt", std::nullopt});
    box.Publish("long.txt", "long");
    box.PublishList(longPath);
    ExpectQuickEnd();
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
}

// ---- What is kept between runs -----------------------------------------------

// The digest cache and the kept list, across runs: whatever the cache holds,
// a run fetches exactly what it would fetch without it.
class CacheTest : public FaultsTest {
protected:
    static constexpr char kList[] = "/software/Tallowfin/filelist.xml";

    // A run to the end; then the paths it fetched besides the list, in order.
    std::vector<std::string> Run(Sandbox& sandbox)
    {
        sandbox.Server().ClearRequests();
        Process updater = sandbox.StartUpdater();
        EXPECT_EQ(updater.WaitExit(60s), 0u) << DescribeWindows(updater.Id());
        std::vector<std::string> fetched;
        for (auto& request : sandbox.Server().Requests())
            if (request.path != kList) fetched.push_back(request.path.substr(request.path.rfind('/') + 1));
        EXPECT_EQ(sandbox.Server().CountRequests(kList), 1u);
        return fetched;
    }
    std::vector<std::string> Run() { return Run(box); }

    void ExpectNewContent(const Sandbox& sandbox)
    {
        for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(sandbox.Install() / name), bytes) << name;
    }

    // What the cache would answer for an installed file now: the digest it
    // remembers, when what the file system says of the file is unchanged.
    std::optional<std::string> Cached(const std::string& name)
    {
        const DigestCache cache = DigestCache::FromBytes(ReadBytes(box.DigestCacheFile()));
        const std::string path = (box.Install() / name).string();
        const auto split = SplitListedPath(path, IsLeadByteOfAnsiCodePage);
        FolderListings listings;
        const auto identity = split ? listings.Identity(*split) : std::nullopt;
        return identity ? cache.Lookup(path, *identity) : std::nullopt;
    }

    // New bytes of the same size, with the old last-write time put back.
    static void Rewrite(const fs::path& file, unsigned seed)
    {
        FILETIME written{};
        {
            FileHandle handle(CreateFileA(file.string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          0, nullptr));
            ASSERT_TRUE(GetFileTime(handle.get(), nullptr, nullptr, &written));
        }
        WriteBytes(file, PatternBytes(fs::file_size(file), seed));
        FileHandle handle(CreateFileA(file.string().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(handle.get(), nullptr, nullptr, &written));
    }

    static std::vector<std::string> Only(const std::string& name) { return {name}; }

    // Publishes the list of a new release. The test server, like nginx, tells
    // lists of one size apart only by the second they were written in, and a
    // list republished within its second is "not modified" (the README tells
    // publishers to pause a second): the new list is written in a later one.
    void Republish(Sandbox& sandbox)
    {
        const auto now = std::chrono::system_clock::now();
        std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now) + 50ms);
        sandbox.PublishList(entries);
    }

    // A new release of one file: published on `sandbox`'s server with a list
    // that gives its new digest.
    void Release(Sandbox& sandbox, const std::string& name, const std::string& bytes)
    {
        newContent[name] = bytes;
        for (auto& entry : entries)
            if (entry.name == name) entry = sandbox.Changed(name, bytes);
    }
};

TEST_F(CacheTest, ChangedFileIsFetchedWhateverItsSizeAndTimesAndSoIsAFileReplacedByAnother)
{
    EXPECT_EQ(Run().size(), newContent.size());
    // What the run put in place is in the cache, with the digests the list gives.
    for (auto& [name, bytes] : newContent) EXPECT_EQ(Cached(name), Md5Hex(bytes)) << name;
    EXPECT_TRUE(Run().empty());

    Rewrite(box.Install() / "file2.bin", 77);
    EXPECT_EQ(Cached("file2.bin"), std::nullopt) << "the change shows in the file's state";
    EXPECT_EQ(Run(), Only("file2.bin"));
    ExpectNewContent(box);

    // Another file of the same size and last-write time moved over it.
    const fs::path target = box.Install() / "file3.bin", other = box.Install() / "file3.new";
    WriteBytes(other, PatternBytes(fs::file_size(target), 99));
    BY_HANDLE_FILE_INFORMATION before{}, after{};
    auto informationOf = [](const fs::path& file, BY_HANDLE_FILE_INFORMATION& information) {
        FileHandle handle(CreateFileA(file.string().c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        return GetFileInformationByHandle(handle.get(), &information) != FALSE;
    };
    ASSERT_TRUE(informationOf(target, before));
    {
        FileHandle handle(CreateFileA(other.string().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
        ASSERT_TRUE(SetFileTime(handle.get(), nullptr, nullptr, &before.ftLastWriteTime));
    }
    ASSERT_TRUE(MoveFileExA(other.string().c_str(), target.string().c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(informationOf(target, after));
    ASSERT_EQ(after.nFileSizeLow, before.nFileSizeLow);
    ASSERT_EQ(CompareFileTime(&after.ftLastWriteTime, &before.ftLastWriteTime), 0);
    ASSERT_NE(after.nFileIndexLow, before.nFileIndexLow) << "another file";
    EXPECT_EQ(Run(), Only("file3.bin"));
    ExpectNewContent(box);
    EXPECT_TRUE(Run().empty());
}

TEST_F(CacheTest, DamagedOrForeignCacheIsIgnoredAndRebuilt)
{
    Run();
    // Files settle: a cache rebuilt from them remembers them all.
    std::this_thread::sleep_for(2100ms);
    const std::string good = ReadBytes(box.DigestCacheFile());
    ASSERT_EQ(DigestCache::FromBytes(good).Size(), newContent.size());
    // The same entries under another format version, sealed as a cache would be.
    RecordWriter otherVersion("TFDC", DigestCache::kFormatVersion + 1);
    otherVersion.PutBytes(std::string_view(good).substr(8, good.size() - 8 - 16));
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x10;
    const std::vector<std::pair<std::string, std::string>> damages = {
        {"cut by its last byte", good.substr(0, good.size() - 1)},
        {"one bit changed", flipped},
        {"another format version", std::move(otherVersion).Seal()},
        {"another program's file", ReadBytes(UpdaterExe()).substr(0, 5000)},
    };
    unsigned seed = 500;
    for (auto& [damage, bytes] : damages) {
        // Each run must notice a change the damaged cache cannot vouch for.
        Rewrite(box.Install() / "file1.bin", ++seed);
        WriteBytes(box.DigestCacheFile(), bytes);
        EXPECT_EQ(Run(), Only("file1.bin")) << damage;
        ExpectNewContent(box);
        EXPECT_EQ(Cached("file4.bin"), Md5Hex(newContent["file4.bin"])) << damage << ": rebuilt";
    }
}

TEST_F(CacheTest, UnwritableCacheLocationLeavesTheRunCorrect)
{
    // A file stands where the folder would go.
    fs::create_directories(box.CacheFolder().parent_path());
    WriteBytes(box.CacheFolder(), "in the way");
    EXPECT_EQ(Run().size(), newContent.size());
    ExpectNewContent(box);
    EXPECT_TRUE(Run().empty());
    Rewrite(box.Install() / "file0.bin", 5);
    EXPECT_EQ(Run(), Only("file0.bin"));
    ExpectNewContent(box);
    EXPECT_EQ(ReadBytes(box.CacheFolder()), "in the way");
    // Nothing could be kept: the list came whole every time.
    for (auto& request : box.Server().Requests()) EXPECT_FALSE(request.HasHeader("If-None-Match"));
}

TEST_F(CacheTest, RecordsAndRequestsAreTheSameWithAndWithoutTheCache)
{
    // The same installation and server, without a place to keep anything.
    Sandbox plain;
    fs::create_directories(plain.CacheFolder().parent_path());
    WriteBytes(plain.CacheFolder(), "no cache here");
    for (auto& [name, bytes] : oldContent) WriteBytes(plain.Install() / name, bytes);
    for (auto& [name, bytes] : newContent) plain.Publish(name, bytes);
    plain.PublishList(entries);

    auto both = [&](const std::function<void(Sandbox&)>& change) {
        change(box);
        change(plain);
        const auto cached = Run(box), uncached = Run(plain);
        EXPECT_EQ(cached, uncached);
        for (auto& [name, bytes] : newContent)
            EXPECT_EQ(ReadBytes(box.Install() / name), ReadBytes(plain.Install() / name)) << name;
        return cached;
    };
    EXPECT_EQ(both([](Sandbox&) {}).size(), newContent.size());
    EXPECT_TRUE(both([](Sandbox&) {}).empty());
    EXPECT_EQ(both([](Sandbox& s) { Rewrite(s.Install() / "file5.bin", 8); }), Only("file5.bin"));
    EXPECT_EQ(both([](Sandbox& s) { fs::remove(s.Install() / "added.txt"); }), Only("added.txt"));
    // A new release of one file.
    Release(box, "file0.bin", PatternBytes(130000, 900));
    Release(plain, "file0.bin", newContent["file0.bin"]);
    EXPECT_EQ(both([&](Sandbox& s) { Republish(s); }), Only("file0.bin"));
    ExpectNewContent(box);
}

TEST_F(CacheTest, UnchangedListIsNotSentAgainAndAChangedOneIs)
{
    Run();
    const Request first = box.Server().Requests().front();
    EXPECT_FALSE(first.HasHeader("If-None-Match"));
    ASSERT_TRUE(fs::exists(box.KeptListFile()));

    // Asked for with what the server said of it, and answered "not modified":
    // the run goes on with the kept copy, to the main program's start.
    const std::size_t starts = box.StandInLog().size();
    EXPECT_TRUE(Run().empty());
    const Request second = box.Server().Requests().front();
    EXPECT_EQ(second.status, 304);
    EXPECT_FALSE(second.Header("If-None-Match").empty());
    EXPECT_FALSE(second.Header("If-Modified-Since").empty());
    EXPECT_TRUE(WaitUntil([&] { return box.StandInLog().size() > starts; }, 10s));

    // A new release: the list is sent whole, and what it changed is fetched.
    // (The test server's validators, like common servers', tell lists of one
    // size apart by the second of their last write only.)
    Release(box, "file2.bin", PatternBytes(99000, 901));
    Republish(box);
    EXPECT_EQ(Run(), Only("file2.bin"));
    EXPECT_EQ(box.Server().Requests().front().status, 200);
    EXPECT_EQ(box.Server().Requests().front().Header("If-None-Match"), second.Header("If-None-Match"));
    ExpectNewContent(box);
    EXPECT_TRUE(Run().empty());
    EXPECT_EQ(box.Server().Requests().front().status, 304);

    // A kept copy that is damaged is not used: the list is asked for whole.
    std::string kept = ReadBytes(box.KeptListFile());
    kept[kept.size() / 3] ^= 0x01;
    WriteBytes(box.KeptListFile(), kept);
    Rewrite(box.Install() / "file4.bin", 33);
    EXPECT_EQ(Run(), Only("file4.bin"));
    EXPECT_FALSE(box.Server().Requests().front().HasHeader("If-None-Match"));
    EXPECT_EQ(box.Server().Requests().front().status, 200);
    ExpectNewContent(box);
}

TEST_F(CacheTest, AWildcardOrWeakTagNeverTurnsAChangedListIntoNotModified)
{
    // A server (or whoever answers in its place) that tags the list with
    // "*" or with a weak tag that stays the same, and matches If-None-Match
    // as common servers do: sent back, either would make every later list
    // "not modified", and the first one would stay in use for good.
    int release = 0;
    for (const char* tag : {"*", "W/\"same\""}) {
        SCOPED_TRACE(tag);
        Fault tagged;
        tagged.entityTag = tag;
        box.Server().SetFault(kList, tagged);
        Run();
        ExpectNewContent(box);
        Release(box, "file3.bin", PatternBytes(88000 + release, 950 + release));
        ++release;
        // The date still goes back, and tells lists apart by the second only
        // (as the test server's strong tags do too).
        std::this_thread::sleep_for(1100ms);
        box.PublishList(entries);
        EXPECT_EQ(Run(), Only("file3.bin"));
        const Request asked = box.Server().Requests().front();
        EXPECT_EQ(asked.status, 200);
        EXPECT_FALSE(asked.HasHeader("If-None-Match"));
        EXPECT_FALSE(asked.Header("If-Modified-Since").empty()) << "the date still serves";
        ExpectNewContent(box);
    }
}

// ---- Signed lists -------------------------------------------------------------

// The updater built with the test keys a and b, and the product published
// with a signed list: every entry with the SHA-256 of its content, the
// document element with a serial.
class SignedListTest : public BadListTest {
protected:
    SignedListTest()
    {
        ForgetAcceptedSerial();
        box.InstallUpdater(SignedUpdaterExe());
        listFiles = 2;
        for (auto& entry : entries) entry.sha256 = Sha256Hex(newContent[entry.name]);
        Publish(entries, "100");
    }
    ~SignedListTest() override { ForgetAcceptedSerial(); }

    void Publish(const std::vector<Sandbox::Entry>& list, const std::optional<std::string>& serial,
                 const std::string& key = "a", const std::optional<std::string>& expires = std::nullopt)
    {
        box.PublishList(list, serial, expires);
        box.SignList(key);
    }

    // The serial the installation's record holds; 0 for none.
    std::uint64_t InstallationSerial() const
    {
        if (!fs::exists(box.InstallationSerialFile())) return 0;
        return ReadInstallationSerial(ReadBytes(box.InstallationSerialFile())).value_or(0);
    }

    // The run took the list as unreadable: it ended normally after fetching
    // the list and its signature, and installed nothing.
    void ExpectRefusedList()
    {
        box.Server().ClearRequests();
        ExpectQuickEnd();
        EXPECT_EQ(box.Server().Requests().size(), 2u) << "only the list and its signature were fetched";
        for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
        EXPECT_FALSE(fs::exists(box.Install() / "added.txt"));
    }
};

TEST_F(SignedListTest, ListSignedWithTheSecondBuiltInKeyInstallsAndIsTakenAgain)
{
    Publish(entries, "100", "b");
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u) << DescribeWindows(updater.Id());
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_EQ(HighestAcceptedSerial(), 100u);
    // The same publication on the next run: the same serial is accepted, and
    // the list comes from the copy kept at the run before ("not modified").
    ExpectConvergence();
    EXPECT_EQ(box.Server().Requests().front().status, 304);

    // The kept copy is checked as a fetched list is: beside a signature of
    // other bytes (a list republished within the second at the same size,
    // which servers answer "not modified") it is refused, nothing is fetched,
    // and the next run asks for the list whole.
    const std::string signature = ReadBytes(box.Served("filelist.xml.sig"));
    box.Publish("filelist.xml.sig", SignatureWith("b", ReadBytes(box.Served("filelist.xml")) + " "));
    WriteBytes(box.Install() / "file1.bin", "changed here");
    box.Server().ClearRequests();
    {
        Process updater = box.StartUpdater();
        ASSERT_EQ(updater.WaitExit(30s), 0u);
    }
    EXPECT_EQ(box.Server().Requests().size(), 2u) << "only the list and its signature were fetched";
    EXPECT_EQ(box.Server().Requests().front().status, 304);
    EXPECT_EQ(ReadBytes(box.Install() / "file1.bin"), "changed here");
    box.Publish("filelist.xml.sig", signature);
    box.Server().ClearRequests();
    {
        Process updater = box.StartUpdater();
        ASSERT_EQ(updater.WaitExit(60s), 0u);
    }
    EXPECT_FALSE(box.Server().Requests().front().HasHeader("If-None-Match"));
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/file1.bin"), 1u);
    ExpectConvergence();
}

TEST_F(SignedListTest, UntrustedListsInstallNothingAndStartTheMainProgram)
{
    const std::string list = ReadBytes(box.Served("filelist.xml"));
    const std::string signature = ReadBytes(box.Served("filelist.xml.sig"));
    std::string changed = list;
    changed[changed.find(entries[2].hash)] ^= 1;  // one digit of a hash, as an attacker's file would need
    auto without = entries;
    without[3].sha256.reset();
    auto shortDigest = entries;
    shortDigest[3].sha256->pop_back();

    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"bytes changed after signing", [&] { box.Publish("filelist.xml", changed); }},
        {"signed with a key the updater does not hold", [&] { Publish(entries, "100", "c"); }},
        {"a signature that is not DER", [&] { box.Publish("filelist.xml.sig", "signed, honestly"); }},
        {"a signature cut short", [&] { box.Publish("filelist.xml.sig", signature.substr(0, signature.size() - 1)); }},
        {"an empty signature", [&] { box.Publish("filelist.xml.sig", ""); }},
        {"no serial", [&] { Publish(entries, std::nullopt); }},
        {"a serial that is not a number", [&] { Publish(entries, "1e3"); }},
        {"an entry without sha256", [&] { Publish(without, "100"); }},
        {"an entry whose sha256 is not 64 digits", [&] { Publish(shortDigest, "100"); }},
        {"a serial below the build's floor", [&] { Publish(entries, "99"); }},
        {"an expiry that is not a number", [&] { Publish(entries, "100", "a", "tomorrow"); }},
    };
    for (const auto& [what, publish] : cases) {
        SCOPED_TRACE(what);
        box.Publish("filelist.xml", list);
        box.Publish("filelist.xml.sig", signature);
        publish();
        const std::size_t started = box.StandInLog().size();
        ExpectRefusedList();
        EXPECT_TRUE(WaitUntil([&] { return box.StandInLog().size() > started; }, 10s)) << "the main program was started";
    }
    EXPECT_EQ(HighestAcceptedSerial(), 0u) << "no untrusted list counts as accepted";
    EXPECT_FALSE(fs::exists(box.InstallationSerialFile()));
}

TEST_F(SignedListTest, OlderPublicationIsRefusedAndTheLatestTakenAgain)
{
    const auto signedEntries = entries;
    // A publication that changes nothing, with serial 1000: it is accepted.
    Publish({}, "1000");
    ExpectQuickEnd();
    EXPECT_EQ(HighestAcceptedSerial(), 1000u);
    // An older one, signed as it was then, served again: refused.
    Publish(signedEntries, "999");
    ExpectRefusedList();
    // The latest one again: accepted and installed. (Its serial has another
    // length than the refused list's: the test server's tags, like common web
    // servers', tell apart lists of the same size only by the second.)
    Publish(signedEntries, "1000");
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
}

TEST_F(SignedListTest, NewUserRefusesAnOlderPublicationThanTheInstallationTookAndTheBuildsFloorHolds)
{
    const auto signedEntries = entries;
    Publish({}, "1000");
    ExpectQuickEnd();
    EXPECT_EQ(HighestAcceptedSerial(), 1000u);
    EXPECT_EQ(InstallationSerial(), 1000u) << "kept beside the updater too";

    // Another user of the installation, who never ran the updater: nothing
    // of theirs is kept, and the installation still remembers.
    ForgetAcceptedSerial();
    fs::remove_all(box.CacheFolder());
    Publish(signedEntries, "999");
    ExpectRefusedList();
    EXPECT_EQ(HighestAcceptedSerial(), 0u);
    // Neither record at all (a fresh installation): the build's floor, 100,
    // still refuses an older publication.
    fs::remove(box.InstallationSerialFile());
    Publish(signedEntries, "99");
    ExpectRefusedList();
    EXPECT_FALSE(fs::exists(box.InstallationSerialFile()));

    // A damaged record counts as none, and accepting writes both again.
    WriteBytes(box.InstallationSerialFile(), "1000");
    Publish(signedEntries, "100");
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_EQ(HighestAcceptedSerial(), 100u);
    EXPECT_EQ(InstallationSerial(), 100u);
}

TEST_F(SignedListTest, ExpiredListAndSerialFarAheadOfTheClockAreRefusedAndAListInTimeIsTaken)
{
    const std::uint64_t now = UtcSecondsNow();
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"expired a minute ago", [&] { Publish(entries, "100", "a", std::to_string(now - 60)); }},
        {"a serial two days ahead", [&] { Publish(entries, std::to_string(now + 2 * 86400)); }},
        {"the largest serial there is", [&] { Publish(entries, "9223372036854775807"); }},
    };
    for (const auto& [what, publish] : cases) {
        SCOPED_TRACE(what);
        publish();
        const std::size_t started = box.StandInLog().size();
        ExpectRefusedList();
        EXPECT_TRUE(WaitUntil([&] { return box.StandInLog().size() > started; }, 10s)) << "the main program was started";
        EXPECT_EQ(HighestAcceptedSerial(), 0u) << "never recorded";
        EXPECT_EQ(InstallationSerial(), 0u) << "never recorded";
        EXPECT_FALSE(fs::exists(box.KeptListFile())) << "never asked for again as \"not modified\"";
    }
    // Signed now, expiring in a day, with a serial from the clock.
    Publish(entries, std::to_string(now), "a", std::to_string(now + 86400));
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_EQ(HighestAcceptedSerial(), now);
    EXPECT_EQ(InstallationSerial(), now);
}

TEST_F(SignedListTest, MissingSignatureFailsTheListPassWhichIsRetried)
{
    const std::string sig = "/software/Tallowfin/filelist.xml.sig";
    const std::string signature = ReadBytes(box.Served("filelist.xml.sig"));
    fs::remove(box.Served("filelist.xml.sig"));
    Process updater = box.StartUpdater();
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests(sig) >= 2; }, 20s)) << "the pass was not retried";
    EXPECT_TRUE(updater.Running());
    for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
    // Once the failed pass has ended (the request is counted when it
    // arrives, before the worker has had its answer), and before the retry
    // about six seconds later.
    EXPECT_TRUE(WaitUntil([&] { return box.LeftTemporaryFiles().empty(); }, 4s))
        << "the list fetched without its signature was left behind";
    box.Publish("filelist.xml.sig", signature);
    EXPECT_EQ(updater.WaitExit(30s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
}

TEST_F(SignedListTest, DownloadWithAnotherSha256ThanListedOrAKeylessUpdaterInstallsNothing)
{
    // The served file has the listed MD5: only its SHA-256 tells it apart.
    auto wrong = entries;
    wrong[3].sha256 = Sha256Hex("some other content");
    Publish(wrong, "100");
    Process updater = box.StartUpdater();
    ExpectStoppedPass(updater, "file5.bin");
    updater.Kill();

    const std::string newBuild = ListNewUpdaterBuild("build 6", SignedUpdaterExe());
    entries.back().sha256 = Sha256Hex(newBuild + "?");
    Publish(entries, "100");
    updater = box.StartUpdater();
    ExpectStoppedPass(updater, "TallowfinUpdate.exe");
    EXPECT_FALSE(fs::exists(box.Install() / "TallowfinUpdate.Update"));
    EXPECT_FALSE(fs::exists(box.Install() / "UpdateMgr.exe"));
    updater.Kill();

    // A build as listed, but without the keys: it would take unsigned lists
    // from then on. Not installed, as if it were not the listed file.
    const std::string keyless = ReadBytes(UpdaterExe()) + "build 6";
    box.Publish("TallowfinUpdate.exe", keyless);
    entries.back().hash = Md5Hex(keyless);
    entries.back().sha256 = Sha256Hex(keyless);
    Publish(entries, "100");
    updater = box.StartUpdater();
    ExpectStoppedPass(updater, "TallowfinUpdate.exe");
    EXPECT_FALSE(fs::exists(box.Install() / "TallowfinUpdate.Update"));
    updater.Kill();

    box.Publish("TallowfinUpdate.exe", newBuild);
    entries.back().hash = Md5Hex(newBuild);
    entries.back().sha256 = Sha256Hex(newBuild);
    Publish(entries, "100");
    ExpectConvergence();
    EXPECT_TRUE(WaitUntil([&] { return HoldsBytes(box.Updater(), newBuild); }, 20s));
}

TEST_F(SignedListTest, PatchServesOnlyWithBothItsDigestsAsListedAndTheWholeFileOtherwise)
{
    // file0's patch is pinned and serves; file1's is listed with the SHA-256
    // of other bytes and gives way to the whole file once fetched; file2's
    // lacks its base's SHA-256 and is never fetched under a signed list.
    std::map<std::string, std::string> patchOf;
    for (auto& entry : entries) {
        if (!oldContent.count(entry.name) || entry.name > "file2.bin") continue;
        entry.patches.push_back(box.PublishPatch("patches/" + entry.name, oldContent[entry.name],
                                                 newContent[entry.name], true));
        patchOf[entry.name] = "/software/Tallowfin/patches/" + entry.name;
    }
    auto listed = [&](const std::string& name) -> Sandbox::Patch& {
        return std::find_if(entries.begin(), entries.end(), [&](auto& e) { return e.name == name; })->patches[0];
    };
    listed("file1.bin").sha256 = Sha256Hex("some other patch");
    listed("file2.bin").baseSha256.reset();
    Publish(entries, "100");
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u) << DescribeWindows(updater.Id());
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_EQ(box.Server().CountRequests(patchOf["file0.bin"]), 1u);
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/file0.bin"), 0u);
    EXPECT_EQ(box.Server().CountRequests(patchOf["file1.bin"]), 1u);
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/file1.bin"), 1u);
    EXPECT_EQ(box.Server().CountRequests(patchOf["file2.bin"]), 0u);
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/file2.bin"), 1u);
    ExpectConvergence();
}

TEST_F(SignedListTest, UpdaterWithoutKeysReadsASignedListAsAnUnsignedOne)
{
    box.InstallUpdater(UpdaterExe());
    listFiles = 1;
    // Nothing of the signing is looked at: not the signature (by a key no
    // one holds), not a digest that differs, not the serial.
    entries[3].sha256 = Sha256Hex("some other content");
    Publish(entries, "1", "c");
    ForgetAcceptedSerial();
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u);
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/filelist.xml.sig"), 0u);
    ExpectConvergence();
}

TEST_F(SignedListTest, EndlessSignatureAndListAreRefusedBeforeTheirBodiesAndAFileLongerThanItsSizeInstallsNothing)
{
    // Each answered with 100 MB: refused on its announced length, the
    // connection closed; what the server got out is what the connection
    // took before the client closed it.
    const std::string list = ReadBytes(box.Served("filelist.xml"));
    const std::string signature = ReadBytes(box.Served("filelist.xml.sig"));
    for (const std::string name : {"filelist.xml.sig", "filelist.xml"}) {
        SCOPED_TRACE(name);
        box.Publish(name, std::string(100'000'000, name == "filelist.xml" ? '<' : 'S'));
        std::atomic<bool> answered{false};
        box.Server().SetReplyObserver([&](const Request& request) {
            if (request.path == "/software/Tallowfin/" + name) answered = true;
        });
        ExpectRefusedList();
        EXPECT_TRUE(WaitUntil([&] { return answered.load(); }, 20s)) << "the server still sends";
        EXPECT_LT(box.Server().BytesSent("/software/Tallowfin/" + name), 8'000'000) << "more than a few MB were taken";
        box.Server().SetReplyObserver({});
        box.Publish("filelist.xml", list);
        box.Publish("filelist.xml.sig", signature);
    }

    // Listed one byte shorter than its file: refused before its body, and
    // nothing of the release is installed. Then listed right, it is.
    const auto shorter = [&](std::optional<std::uint64_t> delta) {
        auto sized = entries;
        for (auto& entry : sized) entry.size = newContent[entry.name].size();
        if (delta) sized[3].size = *sized[3].size - *delta;
        Publish(sized, "100");
    };
    shorter(1);
    Process updater = box.StartUpdater();
    ExpectStoppedPass(updater, "file5.bin");
    updater.Kill();
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/" + entries[3].name), 1u);
    shorter(std::nullopt);
    ExpectConvergence();
}

// ---- HTTPS --------------------------------------------------------------------

constexpr char kUpdateHost[] = "update.tallowfin.example";
constexpr char kCdnHost[] = "cdn.tallowfin.example";
const std::string kHttpsBase = "https://update.tallowfin.example/software/Tallowfin/";
const std::string kCdnBase = "HTTPS://CDN.Tallowfin.Example/software/Tallowfin/";

// The same product served over HTTPS too, to the updater built with an HTTPS
// base, with the test authority trusted in the prefix for each test's length.
class HttpsTest : public FaultsTest {
protected:
    HttpsTest() { box.InstallUpdater(HttpsUpdaterExe()); }

    // Requests that reached the server through a tunnel to `host`: in origin
    // form, as they arrive over TLS, never in the absolute form of plain HTTP.
    std::size_t SecureRequests(const std::string& host)
    {
        std::size_t count = 0;
        for (auto& request : box.Server().Requests())
            if (request.target.rfind('/', 0) == 0 && _stricmp(request.Header("Host").c_str(), host.c_str()) == 0)
                ++count;
        return count;
    }

    TrustedTestAuthority authority;
};

TEST_F(HttpsTest, HttpsBaseInstallsAndAbsoluteHttpsAddressesComeFromTheirOwnHost)
{
    TlsProxy& proxy = box.ServeHttps({{kUpdateHost, "update.pem"}, {kCdnHost, "cdn.pem"}});
    entries[1].downurl = kCdnBase + entries[1].downurl;
    box.PublishList(entries);
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u) << DescribeWindows(updater.Id());
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_EQ(SecureRequests(kCdnHost), 1u);
    EXPECT_EQ(SecureRequests(kUpdateHost), newContent.size());
    EXPECT_EQ(box.Server().Requests().size(), 1 + newContent.size()) << "something went over plain HTTP";
    EXPECT_EQ(proxy.CountReports("tls cdn.tallowfin.example ok"), 1u);
    ExpectConvergence();
}

// Another authority, another name, a past validity: each fails the list pass,
// which is retried, and the download pass, which installs nothing; no request
// reaches the server over such a connection.
TEST_F(HttpsTest, CertificateThatDoesNotVerifyFailsThePass)
{
    for (auto& entry : entries) entry.downurl = kCdnBase + entry.downurl;
    box.PublishList(entries);
    for (const char* certificate : {"stranger.pem", "misnamed.pem", "expired.pem"}) {
        SCOPED_TRACE(certificate);
        TlsProxy* proxy = &box.ServeHttps({{kUpdateHost, certificate}});
        box.Server().ClearRequests();
        Process updater = box.StartUpdater();
        // Bounds for a busy machine: each refused handshake costs seconds
        // under Wine's 32-bit loader.
        EXPECT_TRUE(WaitUntil([&] { return proxy->CountReports("tls update.tallowfin.example") >= 2; }, 40s))
            << "the list was not asked for again";
        EXPECT_TRUE(updater.Running());
        EXPECT_TRUE(box.Server().Requests().empty());
        updater.Kill();

        proxy = &box.ServeHttps({{kUpdateHost, "update.pem"}, {kCdnHost, certificate}});
        updater = box.StartUpdater();
        ASSERT_TRUE(WaitUntil([&] { return proxy->CountReports("tls cdn.tallowfin.example") >= entries.size(); }, 60s));
        std::this_thread::sleep_for(1500ms);
        EXPECT_TRUE(updater.Running()) << "a failed download pass waits for the user";
        EXPECT_EQ(SecureRequests(kCdnHost), 0u);
        ExpectWholeFiles();
        for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
        EXPECT_FALSE(fs::exists(box.Install() / "added.txt"));
        EXPECT_TRUE(box.LeftTemporaryFiles().empty());
        updater.Kill();
    }
    box.ServeHttps({{kUpdateHost, "update.pem"}, {kCdnHost, "cdn.pem"}});
    ExpectConvergence();
}

TEST_F(HttpsTest, RedirectToHttpsIsFollowedAndAwayFromItRefused)
{
    box.ServeHttps({{kUpdateHost, "update.pem"}});
    const std::string plainBase = "http://update.tallowfin.example/software/Tallowfin/";
    // The list sent on to plain HTTP: the list pass fails and is retried.
    box.Publish("plain/filelist.xml", ReadBytes(box.Served("filelist.xml")));
    box.Server().SetFault("/software/Tallowfin/filelist.xml", {.status = 301, .location = plainBase + "plain/filelist.xml"});
    {
        Process updater = box.StartUpdater();
        EXPECT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/filelist.xml") >= 2; }, 20s))
            << "the list pass was not retried";
        EXPECT_TRUE(updater.Running());
        for (auto& [name, bytes] : oldContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes);
        updater.Kill();
    }
    // A plain address that the server sends on to HTTPS.
    entries[1].downurl = plainBase + "plain/" + entries[1].downurl;
    box.PublishList(entries);
    const auto sendPlainOnToHttps = [&] {
        box.Server().ClearFaults();
        box.Server().SetFault("/software/Tallowfin/plain/file0.bin", {.status = 301, .location = kHttpsBase + "file0.bin"});
    };
    // A file that passes through plain HTTP on its way back to HTTPS: refused,
    // though the last answer comes over HTTPS.
    sendPlainOnToHttps();
    box.Server().SetFault("/software/Tallowfin/file3.bin", {.status = 302, .location = plainBase + "hop/file3.bin"});
    box.Server().SetFault("/software/Tallowfin/hop/file3.bin", {.status = 302, .location = kHttpsBase + "final/file3.bin"});
    box.Publish("final/file3.bin", newContent["file3.bin"]);
    box.Server().ClearRequests();
    {
        Process updater = box.StartUpdater();
        ExpectStoppedPass(updater, "file5.bin");
        updater.Kill();
    }
    // Without the detour the run completes, the plain address included.
    sendPlainOnToHttps();
    box.Server().ClearRequests();
    Process updater = box.StartUpdater();
    ASSERT_EQ(updater.WaitExit(60s), 0u) << DescribeWindows(updater.Id());
    for (auto& [name, bytes] : newContent) EXPECT_EQ(ReadBytes(box.Install() / name), bytes) << name;
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/plain/file0.bin"), 1u);
    EXPECT_EQ(SecureRequests(kUpdateHost), newContent.size() + 1) << "every file and the list, over HTTPS";
}

}  // namespace
}  // namespace tallowfin::test
