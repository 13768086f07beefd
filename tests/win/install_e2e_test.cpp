// Complete update runs: what is installed, registered and started, what is
// left alone, and what a failed pass leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <thread>

#include "common/path_rules.h"
#include "tests/win/updater_fixture.h"

namespace tallowfin::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Starts(const Sandbox& box, std::size_t atLeast = 1)
{
    auto starts = [&] {
        std::vector<std::string> found;
        for (auto& line : box.StandInLog())
            if (line.rfind("start", 0) == 0) found.push_back(line);
        return found;
    };
    WaitUntil([&] { return starts().size() >= atLeast; }, 10s);
    return starts();
}

class InstallTest : public ::testing::Test {
protected:
    // Runs the updater to its end and returns its exit code.
    std::optional<DWORD> RunToEnd(const std::string& arguments = "", std::optional<fs::path> directory = std::nullopt)
    {
        Process updater = box.StartUpdater(arguments, directory);
        return updater.WaitExit(60s);
    }

    Sandbox box;
};

TEST_F(InstallTest, ChangedFilesOnlyAreFetchedAndInstalledThenTheMainProgramStarts)
{
    WriteBytes(box.Install() / "same.txt", "unchanged");
    WriteBytes(box.Install() / "old.txt", "old version");
    const std::string fresh = PatternBytes(300000, 1), nested = PatternBytes(5000, 2), slash = "slash",
                      mirrored = PatternBytes(70000, 3);
    box.Publish("same.txt", "unchanged");
    box.Publish("old.txt", "new version");
    box.Publish("bin/fresh.bin", fresh);
    box.Publish("sub/nested.dat", nested);
    box.Publish("slash.txt", slash);
    // An absolute address in capitals: fetched from wherever it names.
    WriteBytes(box.ServedRoot() / "mirror.bin", mirrored);
    box.PublishList({
        {"%PROGRAM%", "same.txt", Md5Hex("unchanged"), "same.txt", std::nullopt},
        {"%PROGRAM%", "old.txt", Md5Hex("new version"), "old.txt", "no"},
        {"%PROGRAM%", "fresh.bin", Md5Hex(fresh), "bin/fresh.bin", std::nullopt},
        {"%PROGRAM%\\sub", "nested.dat", Md5Hex(nested), "sub/nested.dat", std::nullopt},
        {"%PROGRAM%\\", "slash.txt", Md5Hex(slash), "slash.txt", std::nullopt},
        {"%PROGRAM%", "mirror.bin", Md5Hex(mirrored), "HTTP://mirror.tallowfin.test/mirror.bin", std::nullopt},
    });

    EXPECT_EQ(RunToEnd(), 0u);
    EXPECT_EQ(ReadBytes(box.Install() / "same.txt"), "unchanged");
    EXPECT_EQ(ReadBytes(box.Install() / "old.txt"), "new version");
    EXPECT_EQ(ReadBytes(box.Install() / "fresh.bin"), fresh);
    EXPECT_EQ(ReadBytes(box.Install() / "sub" / "nested.dat"), nested);
    EXPECT_EQ(ReadBytes(box.Install() / "slash.txt"), slash);
    EXPECT_EQ(ReadBytes(box.Install() / "mirror.bin"), mirrored);
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/same.txt"), 0u);
    EXPECT_EQ(box.Server().CountRequests("/mirror.bin"), 1u);
    EXPECT_EQ(Starts(box), std::vector<std::string>{"start -K:qbzmwrtaxnle"});
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());

    // Everything is in place: the next run fetches nothing but the list.
    box.Server().ClearRequests();
    EXPECT_EQ(RunToEnd(), 0u);
    EXPECT_EQ(box.Server().Requests().size(), 1u);
}

TEST_F(InstallTest, MinusHAsFirstArgumentIsPassedOnToTheMainProgram)
{
    box.PublishList({});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-h", "start -K:qbzmwrtaxnle -H"}, {"-H", "start -K:qbzmwrtaxnle -H"}, {"/H", "start -K:qbzmwrtaxnle"},
        {"-Hidden", "start -K:qbzmwrtaxnle"}, {"x -H", "start -K:qbzmwrtaxnle"}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(RunToEnd(cases[i].first), 0u);
        auto starts = Starts(box, i + 1);
        ASSERT_EQ(starts.size(), i + 1);
        EXPECT_EQ(starts.back(), cases[i].second) << "updater started with " << cases[i].first;
    }
}

TEST_F(InstallTest, DownloadedDllsAreRegisteredAfterTheyWereCopied)
{
    const std::string server = ReadBytes(TestComDll());
    const std::string failing = ReadBytes(TestComDll().parent_path() / "TestComFailing.dll");
    const std::string noEntry = ReadBytes(TestComDll().parent_path() / "TestComNoEntry.dll");
    box.PublishList({box.Changed("a.dll", server), box.Changed("B.DLL", server), box.Changed("c.ocx", server),
                     box.Changed("d.dll.bak", server), box.Changed("e.dll", failing), box.Changed("f.dll", noEntry),
                     box.Changed("g.Dll", server)});
    const fs::path log = box.Temp() / "registrations.log";
    Process updater = Start(box.Updater(), "", box.Install(),
                            {{"http_proxy", box.Server().ProxyAddress()}, {"TMP", box.Temp().string()},
                             {"TEMP", box.Temp().string()}, {"TALLOWFIN_REGISTRATION_LOG", box.Temp().string()}});
    EXPECT_EQ(updater.WaitExit(60s), 0u);
    const std::string at = box.Install().string() + "\\";
    // Loaded from where they were installed: each was copied before its
    // registration. A failing registration does not stop the run.
    EXPECT_EQ(ReadLines(log), (std::vector<std::string>{"register " + at + "a.dll", "register " + at + "B.DLL",
                                                    "failed-register " + at + "e.dll", "register " + at + "g.Dll"}));
    EXPECT_EQ(ReadBytes(box.Install() / "c.ocx"), server);
    EXPECT_EQ(Starts(box), std::vector<std::string>{"start -K:qbzmwrtaxnle"});
}

TEST_F(InstallTest, RegistrationThatHangsOrCrashesFailsOnlyItselfAndIsTriedOnTwoMoreRuns)
{
    const fs::path dlls = TestComDll().parent_path();
    box.PublishList({box.Changed("a.dll", ReadBytes(TestComDll())),
                     box.Changed("crash.dll", ReadBytes(dlls / "TestComCrash.dll"))});
    // A value planted in the user's registry, in the place older updaters
    // kept their pending registrations, naming a DLL of no release: never loaded.
    WriteBytes(box.Install() / "planted.dll", ReadBytes(TestComDll()));
    const std::string planted = (box.Install() / "planted.dll").string();
    RegKey pending;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Kestal\\TallowfinUpdate\\Pending", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    pending.reset(key);
    const DWORD registration = 2;
    RegSetValueExA(key, planted.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&registration), sizeof registration);

    const fs::path log = box.Temp() / "registrations.log";
    std::map<std::string, std::string> environment = {{"http_proxy", box.Server().ProxyAddress()},
                                                      {"TMP", box.Temp().string()},
                                                      {"TEMP", box.Temp().string()},
                                                      {"TALLOWFIN_REGISTRATION_LOG", box.Temp().string()}};
    auto run = [&](const std::map<std::string, std::string>& variables) {
        Process updater = Start(box.Updater(), "", box.Install(), variables);
        return updater.WaitExit(90s);
    };
    auto lines = [&](const std::string& what) {
        const auto all = ReadLines(log);
        return std::count(all.begin(), all.end(), what + " " + box.Install().string() + "\\" +
                                                      (what == "crash" ? "crash.dll" : "a.dll"));
    };
    // The first registration hangs past its limit (the DLL sleeps longer) and
    // is ended; the second crashes. The run completes all the same.
    auto hanging = environment;
    hanging["TALLOWFIN_REGISTRATION_DELAY_MS"] = "45000";
    EXPECT_EQ(run(hanging), 0u);
    EXPECT_EQ(Starts(box, 1).size(), 1u);
    EXPECT_EQ(lines("register"), 0);
    EXPECT_EQ(lines("crash"), 1);
    // The next run registers what hung, tries the crash a second time, and a
    // third run a third time; then it is given up and said so in the log.
    EXPECT_EQ(run(environment), 0u);
    EXPECT_EQ(lines("register"), 1);
    EXPECT_EQ(run(environment), 0u);
    EXPECT_EQ(run(environment), 0u);
    EXPECT_EQ(lines("crash"), 3);
    EXPECT_EQ(Starts(box, 4).size(), 4u);
    EXPECT_NE(ReadBytes(box.Install() / "TallowfinUpdate.log").find("crash.dll did not end in 3 attempts and is given up"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(box.Install() / "TallowfinUpdate.journal"));
    for (const std::string& line : ReadLines(log)) EXPECT_EQ(line.find("planted"), std::string::npos) << line;
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/a.dll"), 1u) << "in place after the first run";
}

TEST_F(InstallTest, DigestInCapitalsOrNoDigestAtAllDoesNotHoldBackTheRelease)
{
    // The download check takes a digest as the number it is, and checks
    // nothing where the list gives no digest at all; the installed files are
    // still compared with the listed texts byte for byte, so both entries are
    // fetched and installed on every run, as they always were.
    const std::string upper = PatternBytes(20000, 11), garbled = PatternBytes(30000, 12), plain = "plain";
    auto upperEntry = box.Changed("upper.bin", upper);
    upperEntry.hash = AsciiUpper(upperEntry.hash);
    auto garbledEntry = box.Changed("garbled.bin", garbled);
    garbledEntry.hash = "not-a-digest";
    box.PublishList({upperEntry, garbledEntry, box.Changed("plain.txt", plain)});
    for (std::size_t run = 1; run <= 2; ++run) {
        box.Server().ClearRequests();
        EXPECT_EQ(RunToEnd(), 0u) << "run " << run;
        EXPECT_EQ(ReadBytes(box.Install() / "upper.bin"), upper);
        EXPECT_EQ(ReadBytes(box.Install() / "garbled.bin"), garbled);
        EXPECT_EQ(ReadBytes(box.Install() / "plain.txt"), plain);
        EXPECT_EQ(Starts(box, run).size(), run);
        EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/upper.bin"), 1u) << "run " << run;
        EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/garbled.bin"), 1u) << "run " << run;
        EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/plain.txt"), run == 1 ? 1u : 0u) << "run " << run;
    }
}

TEST_F(InstallTest, PatchFromTheInstalledFileServesInItsPlaceAndTheWholeFileServesWhereItCannot)
{
    // Five installed files, each with a new version and a patch listed for
    // it: one that serves, one from another base (never fetched), one
    // damaged, one missing from the server, one that makes other bytes than
    // listed. Each that cannot serve gives way to its whole file in the same
    // run; the release installs whole.
    const std::vector<std::string> names = {"good.exe", "other.exe", "damaged.exe", "missing.exe", "wrong.exe"};
    std::map<std::string, std::string> oldBytes, newBytes;
    std::vector<Sandbox::Entry> list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        oldBytes[name] = PatternBytes(150000, static_cast<unsigned>(20 + i));
        newBytes[name] = oldBytes[name].substr(0, 90000) + PatternBytes(70000, static_cast<unsigned>(40 + i));
        WriteBytes(box.Install() / name, oldBytes[name]);
        list.push_back(box.Changed(name, newBytes[name]));
        list.back().patches.push_back(box.PublishPatch("patches/" + name + ".patch", oldBytes[name], newBytes[name]));
    }
    list[1].patches[0].base = Md5Hex("another version");
    std::string damaged = ReadBytes(box.Served("patches/damaged.exe.patch"));
    damaged[damaged.size() / 2] ^= 0x55;
    box.Publish("patches/damaged.exe.patch", damaged);
    fs::remove(box.Served("patches/missing.exe.patch"));
    list[4].patches[0] = box.PublishPatch("patches/wrong.exe.patch", oldBytes["wrong.exe"], newBytes["good.exe"]);
    box.PublishList(list);

    EXPECT_EQ(RunToEnd(), 0u);
    for (const std::string& name : names) EXPECT_EQ(ReadBytes(box.Install() / name), newBytes[name]) << name;
    EXPECT_EQ(Starts(box), std::vector<std::string>{"start -K:qbzmwrtaxnle"});
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
    const std::string served = "/software/Tallowfin/";
    EXPECT_EQ(box.Server().CountRequests(served + "patches/good.exe.patch"), 1u);
    EXPECT_EQ(box.Server().CountRequests(served + "good.exe"), 0u) << "a patch that serves saves the whole file";
    EXPECT_EQ(box.Server().CountRequests(served + "patches/other.exe.patch"), 0u) << "not from the installed file";
    for (const char* name : {"damaged.exe", "missing.exe", "wrong.exe"}) {
        EXPECT_EQ(box.Server().CountRequests(served + "patches/" + name + ".patch"), 1u) << name;
        EXPECT_EQ(box.Server().CountRequests(served + name), 1u) << name;
    }
    EXPECT_LT(box.Server().BytesSent(served + "patches/good.exe.patch"), 100000) << "the patch is what was sent";

    // The installed files are the new versions: the next run fetches only the list.
    box.Server().ClearRequests();
    EXPECT_EQ(RunToEnd(), 0u);
    EXPECT_EQ(box.Server().Requests().size(), 1u);
}

TEST_F(InstallTest, FailedPassInstallsNothingAndLeavesNoTemporaryFile)
{
    for (const Fault& fault : {Fault{.status = 404}, Fault{.cutAfter = 40000}}) {
        WriteBytes(box.Install() / "a.bin", "old a");
        box.PublishList({box.Changed("a.bin", PatternBytes(100000, 7)), box.Changed("b.bin", PatternBytes(100000, 8)),
                         box.Changed("c.dll", ReadBytes(TestComDll()))});
        box.Server().SetFault("/software/Tallowfin/b.bin", fault);
        Process updater = box.StartUpdater();
        ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/c.dll") == 1; }, 20s));
        std::this_thread::sleep_for(2s);
        EXPECT_TRUE(updater.Running()) << "the updater stays in the notification area";
        EXPECT_GT(ReadTrayColors().appIcon, 0);
        EXPECT_EQ(ReadBytes(box.Install() / "a.bin"), "old a");
        EXPECT_FALSE(fs::exists(box.Install() / "b.bin"));
        EXPECT_FALSE(fs::exists(box.Install() / "c.dll"));
        EXPECT_TRUE(box.LeftTemporaryFiles().empty());
        EXPECT_TRUE(Starts(box, 0).empty());
        updater.Kill();
        box.Server().ClearFaults();
        box.Server().ClearRequests();
    }
}

class BrowserWindows {
public:
    struct Window {
        HWND handle;
        bool closed = false;
    };

    // Windows of the browser's frame class in this process; the test's thread
    // pumps their messages.
    HWND Add(const char* className, DWORD exStyle, bool visible, HWND owner = nullptr)
    {
        WNDCLASSA wc{};
        wc.lpszClassName = className;
        wc.lpfnWndProc = WindowProc;
        RegisterClassA(&wc);
        HWND w = CreateWindowExA(exStyle, className, "browser", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, owner, nullptr,
                                 nullptr, nullptr);
        if (visible) ShowWindow(w, SW_SHOWNOACTIVATE);
        windows_.push_back(w);
        return w;
    }
    ~BrowserWindows()
    {
        for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) DestroyWindow(*it);
        for (const char* c : {"IEFrame", "ieframe"}) UnregisterClassA(c, nullptr);
        closed().clear();
    }
    static bool Closed(HWND w) { return std::find(closed().begin(), closed().end(), w) != closed().end(); }

private:
    static std::vector<HWND>& closed()
    {
        static std::vector<HWND> list;
        return list;
    }
    static LRESULT CALLBACK WindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp)
    {
        if (m == WM_CLOSE) {
            closed().push_back(w);
            return 0;  // recorded, not closed: the test ends the windows itself
        }
        return DefWindowProcA(w, m, wp, lp);
    }
    std::vector<HWND> windows_;
};

// Runs the updater while this thread pumps; presses OK on the notice if it
// comes (after `whileShown`) and returns its text (empty when there was none).
std::string RunWithBrowsers(Sandbox& box, std::optional<DWORD>& exitCode,
                            const std::function<void()>& whileShown = [] {})
{
    Process updater = box.StartUpdater();
    std::string notice;
    PumpUntil(
        [&] {
            for (HWND box : WindowsOf(updater.Id(), "#32770"))
                if (IsWindowVisible(box) && notice.empty()) {
                    char caption[128] = {};
                    GetWindowTextA(box, caption, sizeof caption);
                    notice = std::string(caption) + "|" + MessageBoxText(box);
                    whileShown();
                    PressOk(box);
                }
            return !updater.Running();
        },
        60s);
    PumpFor(200ms);
    exitCode = updater.WaitExit(1s);
    return notice;
}

// The notice in code page 949, as the updater holds it, with its caption.
const std::string kNotice =
    "Tallowfin Beta - Auto Update|"
    "\xC5\xBB\xB7\xCE\xBF\xEC\xC7\xC9 \xBA\xA3\xC5\xB8\xB0\xA1 \xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE "
    "\xB5\xC7\xBE\xFA\xBD\xC0\xB4\xCF\xB4\xD9.\r\n\r\n"
    "\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE\xB8\xA6 \xC0\xA7\xC7\xD8 \xB8\xF0\xB5\xE7 "
    "\xC0\xCD\xBD\xBA\xC7\xC3\xB7\xCE\xB7\xAF\xB0\xA1 \xC1\xBE\xB7\xE1\xB5\xCB\xB4\xCF\xB4\xD9.";

TEST_F(InstallTest, VisibleUnownedBrowserFramesAreClosedAfterTheNoticeAndTheCheckedCopiesCannotChangeMeanwhile)
{
    BrowserWindows browsers;
    HWND frame = browsers.Add("IEFrame", 0, true);
    HWND hidden = browsers.Add("IEFrame", 0, false);
    HWND tool = browsers.Add("IEFrame", WS_EX_TOOLWINDOW, true);
    HWND owned = browsers.Add("IEFrame", 0, true, frame);
    const std::string big = PatternBytes(400000, 21);
    box.PublishList({box.Changed("a.txt", "a"), box.Changed("big.bin", big)});
    std::optional<DWORD> code;
    // While the notice waits for the user, the release lies staged and checked
    // beside its targets, and nobody can change or delete a staged copy; the
    // downloads it was copied from are gone.
    std::size_t staged = 0;
    const std::string notice = RunWithBrowsers(box, code, [&] {
        EXPECT_TRUE(box.LeftTemporaryFiles().empty());
        for (auto& entry : fs::directory_iterator(box.Install())) {
            const std::string path = entry.path().string();
            if (!IsUpdatersOwnName(entry.path().filename().string())) continue;
            ++staged;
            FileHandle writer(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_FALSE(writer) << path << " could be opened for writing";
            EXPECT_FALSE(DeleteFileA(path.c_str())) << path << " could be deleted";
        }
    });
    EXPECT_EQ(staged, 2u);
    EXPECT_EQ(code, 0u);
    ASSERT_EQ(GetACP(), 949u) << "the notice's bytes are compared under code page 949";
    EXPECT_EQ(notice, kNotice);
    EXPECT_TRUE(BrowserWindows::Closed(frame));
    EXPECT_FALSE(BrowserWindows::Closed(hidden));
    EXPECT_FALSE(BrowserWindows::Closed(tool));
    EXPECT_FALSE(BrowserWindows::Closed(owned));
    EXPECT_EQ(ReadBytes(box.Install() / "a.txt"), "a");
    EXPECT_TRUE(ReadBytes(box.Install() / "big.bin") == big);
}

TEST_F(InstallTest, OnlyAHiddenBrowserFrameGetsTheNoticeButIsNotClosed)
{
    BrowserWindows browsers;
    HWND hidden = browsers.Add("IEFrame", 0, false);
    box.PublishList({box.Changed("a.txt", "a")});
    std::optional<DWORD> code;
    EXPECT_EQ(RunWithBrowsers(box, code), kNotice);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(BrowserWindows::Closed(hidden));
}

TEST_F(InstallTest, ClassNameMustMatchInLetterCase)
{
    // The system finds classes regardless of case, so the notice shows; but the
    // window is not a browser frame by its exact name and is not closed.
    BrowserWindows browsers;
    HWND other = browsers.Add("ieframe", 0, true);
    box.PublishList({box.Changed("a.txt", "a")});
    std::optional<DWORD> code;
    EXPECT_EQ(RunWithBrowsers(box, code), kNotice);
    EXPECT_FALSE(BrowserWindows::Closed(other));
}

TEST_F(InstallTest, NoNoticeWithoutRecords)
{
    BrowserWindows browsers;
    HWND frame = browsers.Add("IEFrame", 0, true);
    box.PublishList({});
    std::optional<DWORD> code;
    EXPECT_EQ(RunWithBrowsers(box, code), "");
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(BrowserWindows::Closed(frame));
    EXPECT_EQ(Starts(box).size(), 1u);
}

TEST_F(InstallTest, SecondRunDuringTheNoticeLeavesTheFirstRunsDownloadsAlone)
{
    BrowserWindows browsers;
    browsers.Add("IEFrame", 0, true);
    WriteBytes(box.Install() / "a.bin", "old a");
    const std::string a = PatternBytes(200000, 11), b = PatternBytes(3000, 12);
    box.PublishList({box.Changed("a.bin", a), box.Changed("b.txt", b)});
    auto noticeOf = [](const Process& run) {
        for (HWND w : WindowsOf(run.Id(), "#32770"))
            if (IsWindowVisible(w)) return w;
        return HWND{};
    };
    // The first run has staged its release and waits for the user at its notice.
    Process first = box.StartUpdater();
    ASSERT_TRUE(PumpUntil([&] { return noticeOf(first) != nullptr; }, 30s));
    auto ownFiles = [&] {
        std::vector<fs::path> found;
        for (auto& entry : fs::directory_iterator(box.Install()))
            if (IsUpdatersOwnName(entry.path().filename().string()) || entry.path().filename() == "TallowfinUpdate.journal")
                found.push_back(entry.path());
        return found;
    };
    const std::vector<fs::path> staged = ownFiles();
    ASSERT_EQ(staged.size(), 3u) << "two copies and the journal";
    // The product is started a second time: another run gets past its start,
    // and neither finishes nor removes the first run's transaction.
    const fs::path elsewhere = box.Temp().parent_path() / "second run";
    fs::create_directories(elsewhere);
    Process second = box.StartUpdater("", elsewhere);
    ASSERT_TRUE(PumpUntil([&] { return box.Server().CountRequests("/software/Tallowfin/filelist.xml") == 2; }, 30s));
    PumpFor(500ms);
    for (const fs::path& file : staged) EXPECT_TRUE(fs::exists(file)) << "the first run's " << file;

    PressOk(noticeOf(first));
    ASSERT_TRUE(PumpUntil([&] { return !first.Running(); }, 30s));
    EXPECT_EQ(first.WaitExit(1s), 0u);
    EXPECT_TRUE(ReadBytes(box.Install() / "a.bin") == a) << "the first run installed its downloads";
    EXPECT_TRUE(ReadBytes(box.Install() / "b.txt") == b);

    // The second run, which fetched before the first had installed, ends too:
    // it installs nothing while another run's transaction is under way.
    ASSERT_TRUE(PumpUntil([&] { return noticeOf(second) != nullptr || !second.Running(); }, 30s));
    if (HWND notice = noticeOf(second)) PressOk(notice);
    ASSERT_TRUE(PumpUntil([&] { return !second.Running(); }, 30s));
    EXPECT_EQ(second.WaitExit(1s), 0u);
    EXPECT_TRUE(ReadBytes(box.Install() / "a.bin") == a);
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
}

TEST_F(InstallTest, UpdaterReplacesItsOwnExecutableThroughTheHelper)
{
    const std::string newBuild = ReadBytes(UpdaterExe()) + "new build marker";
    WriteBytes(box.Install() / "data.txt", "old");
    box.Publish("TallowfinUpdate.exe", newBuild);
    box.Publish("data.txt", "new");
    box.PublishList({{"%PROGRAM%", "data.txt", Md5Hex("new"), "data.txt", std::nullopt},
                     // The list names the updater in another letter case.
                     {"%PROGRAM%", "TALLOWFINUPDATE.EXE", Md5Hex(newBuild), "TallowfinUpdate.exe", std::nullopt}});
    const fs::path startedIn = box.Temp().parent_path() / "started here";
    fs::create_directories(startedIn);
    // An older program of the helper's name beside the updater, which a bare
    // name would start: it logs like the main program and replaces nothing.
    fs::copy_file(StandInExe(), box.Install() / "UpdateMgr.exe");
    EXPECT_EQ(RunToEnd("", startedIn), 0u);
    EXPECT_EQ(Starts(box), std::vector<std::string>{"start -K:qbzmwrtaxnle"});
    // The helper puts the new build in place once the updater has ended.
    EXPECT_TRUE(WaitUntil([&] { return HoldsBytes(box.Updater(), newBuild); }, 20s));
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(box.Install() / "TallowfinUpdate.Update"); }, 10s));
    EXPECT_EQ(ReadBytes(startedIn / "UpdateMgr.exe"), ReadBytes(HelperExe()));
    EXPECT_EQ(ReadBytes(box.Install() / "UpdateMgr.exe"), ReadBytes(StandInExe()));
    EXPECT_EQ(ReadBytes(box.Install() / "data.txt"), "new");
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
}

TEST_F(InstallTest, FolderThatCannotTakeTheHelperLeadsToTheNextAndTheMainProgramStillStarts)
{
    const std::string newBuild = ReadBytes(UpdaterExe()) + "marker";
    box.Publish("TallowfinUpdate.exe", newBuild);
    box.PublishList({{"%PROGRAM%", "TallowfinUpdate.exe", Md5Hex(newBuild), "TallowfinUpdate.exe", std::nullopt}});
    // A folder where the helper would go in the current folder, then beside
    // the updater too: the helper goes beside the updater, then into a
    // folder of the run's own under the temporary folder.
    const fs::path startedIn = box.Temp().parent_path() / "started here";
    fs::create_directories(startedIn / "UpdateMgr.exe");
    auto helperFolders = [&] {
        std::vector<fs::path> found;
        for (auto& entry : fs::directory_iterator(box.Temp()))
            if (entry.is_directory() && IsUpdatersOwnName(entry.path().filename().string()))
                found.push_back(entry.path());
        return found;
    };
    for (int blocked = 1; blocked <= 2; ++blocked) {
        WriteBytes(box.Updater(), ReadBytes(UpdaterExe()));
        if (blocked == 2) {
            fs::remove(box.Install() / "UpdateMgr.exe");
            fs::create_directories(box.Install() / "UpdateMgr.exe");
        }
        EXPECT_EQ(RunToEnd("", startedIn), 0u) << "no error box stops the run";
        EXPECT_EQ(Starts(box, blocked).size(), static_cast<std::size_t>(blocked)) << "the main program started";
        EXPECT_TRUE(WaitUntil([&] { return HoldsBytes(box.Updater(), newBuild); }, 20s)) << "blocked " << blocked;
        if (blocked == 1) EXPECT_EQ(ReadBytes(box.Install() / "UpdateMgr.exe"), ReadBytes(HelperExe()));
        else ASSERT_EQ(helperFolders().size(), 1u);
    }
    // The next run, alone, removes the helper's folder once the helper is done.
    ASSERT_TRUE(WaitForProcessesUnder(box.Temp(), 20s));
    EXPECT_EQ(RunToEnd(), 0u);
    EXPECT_TRUE(helperFolders().empty());
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
}

TEST_F(InstallTest, FileHeldByAnotherProgramHoldsBackTheWholeReleaseUntilItIsFree)
{
    WriteBytes(box.Install() / "held.txt", "old");
    WriteBytes(box.Install() / "other.txt", "old other");
    box.PublishList({box.Changed("free.txt", "free"), box.Changed("other.txt", "new other"), box.Changed("held.txt", "new")});
    {
        // Another program reads the file and lets others read it, but neither
        // write nor delete (rename) it: its digest can be taken, it cannot be
        // replaced. The files before it in the list were put in place first,
        // and are put back.
        FileHandle holder(CreateFileA((box.Install() / "held.txt").string().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_EQ(RunToEnd(), 0u);
    }
    EXPECT_EQ(ReadBytes(box.Install() / "held.txt"), "old");
    EXPECT_EQ(ReadBytes(box.Install() / "other.txt"), "old other");
    EXPECT_FALSE(fs::exists(box.Install() / "free.txt"));
    EXPECT_EQ(Starts(box), std::vector<std::string>{"start -K:qbzmwrtaxnle"}) << "started once, on the old release";
    EXPECT_TRUE(box.LeftTemporaryFiles().empty());
    for (auto& entry : fs::directory_iterator(box.Install()))
        EXPECT_FALSE(IsUpdatersOwnName(entry.path().filename().string()) ||
                     entry.path().filename() == "TallowfinUpdate.journal")
            << entry.path();

    EXPECT_EQ(RunToEnd(), 0u);
    EXPECT_EQ(ReadBytes(box.Install() / "held.txt"), "new");
    EXPECT_EQ(ReadBytes(box.Install() / "other.txt"), "new other");
    EXPECT_EQ(ReadBytes(box.Install() / "free.txt"), "free");
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/held.txt"), 2u);
}

}  // namespace
}  // namespace tallowfin::test
