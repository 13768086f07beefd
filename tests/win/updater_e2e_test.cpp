// The updater as a user meets it: started as its own process under Wine, with
// the main program's stand-in, a local update server reached through the
// proxy setting, and its windows, icon and menu worked from outside.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <thread>

#include "tests/win/updater_fixture.h"

namespace tallowfin::test {
namespace {

using namespace std::chrono_literals;

constexpr char kKey[] = "Software\\Kestal\\Tallowfin";

void DeleteRegistryKey() { RegDeleteTreeA(HKEY_CURRENT_USER, kKey); }

void SetHandleValue(DWORD type, const void* data, DWORD size)
{
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    RegKey key(raw);
    RegSetValueExA(key.get(), "HWND", 0, type, static_cast<const BYTE*>(data), size);
}

void SetHandleText(const std::string& text) { SetHandleValue(REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1)); }

std::vector<HWND> VisibleWindowsOf(DWORD pid)
{
    std::vector<HWND> visible;
    for (HWND w : WindowsOf(pid))
        if (IsWindowVisible(w)) visible.push_back(w);
    return visible;
}

// Whether the process shows any window while it runs (until it ends).
bool ShowsAWindowBeforeItEnds(Process& process)
{
    bool seen = false;
    WaitUntil([&] {
        seen = seen || !VisibleWindowsOf(process.Id()).empty();
        return !process.Running();
    });
    return seen;
}

// Chooses the only item of the updater's pop-up menu once it shows.
bool ChooseExitFromMenu(DWORD pid)
{
    HWND menu = WaitForWindow(pid, "#32768", 10s);
    if (!menu) return false;
    PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
    return true;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> found;
    for (auto& line : lines)
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

// The main program's stand-in logs its start a moment after the updater
// started it: waits for `count` starts and returns them.
std::vector<std::string> WaitForStandInStarts(const Sandbox& box, std::size_t count)
{
    WaitUntil([&] { return Matching(box.StandInLog(), "start").size() >= count; }, 10s);
    return Matching(box.StandInLog(), "start");
}

class UpdaterTest : public ::testing::Test {
protected:
    UpdaterTest() { DeleteRegistryKey(); }
    ~UpdaterTest() override { DeleteRegistryKey(); }
    Sandbox box;
};

// ---- Running main program: hand-off only ------------------------------------

TEST_F(UpdaterTest, HandsOffToTheRunningMainProgramAndEnds)
{
    Process standIn = Start(box.Install() / "TallowfinMain.exe", "--serve", box.Install());
    ASSERT_TRUE(WaitUntil([&] { return !Matching(box.StandInLog(), "serving").empty(); }));

    Process updater = box.StartUpdater();
    EXPECT_FALSE(ShowsAWindowBeforeItEnds(updater));
    EXPECT_EQ(updater.WaitExit(), 0u);
    EXPECT_TRUE(TrayIconWindows().empty());
    EXPECT_TRUE(box.Server().Requests().empty());
    EXPECT_EQ(Matching(box.StandInLog(), "message"), std::vector<std::string>{"message 0 0"});

    for (HWND w : WindowsOf(standIn.Id(), "TallowfinMainStandIn")) PostMessageA(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(standIn.WaitExit(), 0u);
}

TEST_F(UpdaterTest, HandOffWithoutTheKeyCreatesItEmptyAndSendsNothing)
{
    KernelHandle mutex(CreateMutexA(nullptr, FALSE, "KESTAL_TALLOWFIN_BETA"));
    Process updater = box.StartUpdater();
    EXPECT_EQ(updater.WaitExit(), 0u);
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &raw), ERROR_SUCCESS);
    RegKey key(raw);
    DWORD values = 99, subkeys = 99;
    RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(values, 0u);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_TRUE(box.Server().Requests().empty());
}

TEST_F(UpdaterTest, HandleTextFormsThatReachTheWindowAndThoseThatDoNot)
{
    KernelHandle mutex(CreateMutexA(nullptr, FALSE, "KESTAL_TALLOWFIN_BETA"));
    static int received = 0;
    // A window procedure in the system's calling convention, which a lambda
    // cannot have on 32-bit Windows.
    struct Probe {
        static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
        {
            if (m == 0x0403 && wp == 0 && lp == 0) ++received;
            return DefWindowProcA(w, m, wp, lp);
        }
    };
    WNDCLASSA wc{};
    wc.lpszClassName = "HandOffProbe";
    wc.lpfnWndProc = Probe::Proc;
    RegisterClassA(&wc);
    WindowHandle probe(CreateWindowExA(0, "HandOffProbe", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(probe);
    const auto value = static_cast<unsigned long long>(reinterpret_cast<INT_PTR>(probe.get()));
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llX", value);

    struct Case {
        std::string text;
        int messages;
    };
    const std::string decimal = std::to_string(value);
    for (const Case& c : {Case{decimal, 1}, Case{' ' + decimal, 1}, Case{std::string("$").append(hex), 1},
                          Case{std::string("0x").append(hex), 1}, Case{decimal + "abc", 0}, Case{"4294967296", 0},
                          Case{"", 0}}) {
        SetHandleText(c.text);
        received = 0;
        Process updater = box.StartUpdater();
        // This thread owns the window: it must dispatch while the updater sends.
        ASSERT_TRUE(PumpUntil([&] { return !updater.Running(); }, 20s));
        PumpFor(50ms);
        EXPECT_EQ(updater.WaitExit(), 0u) << c.text;
        EXPECT_EQ(received, c.messages) << '"' << c.text << '"';
    }
    EXPECT_TRUE(box.Server().Requests().empty());
}

TEST_F(UpdaterTest, HandleValueThatIsNotTextIsAnApplicationError)
{
    KernelHandle mutex(CreateMutexA(nullptr, FALSE, "KESTAL_TALLOWFIN_BETA"));
    const DWORD number = 123;
    SetHandleValue(REG_DWORD, &number, sizeof number);
    Process updater = box.StartUpdater();
    HWND error = WaitForWindow(updater.Id(), "#32770");
    ASSERT_TRUE(error);
    char caption[128] = {};
    GetWindowTextA(error, caption, sizeof caption);
    EXPECT_STREQ(caption, "Application Error");
    EXPECT_EQ(MessageBoxText(error), "Invalid data type for 'HWND'");
    PressOk(error);
    EXPECT_EQ(updater.WaitExit(), 1u);
}

// ---- No main program: the update run ------------------------------------------

TEST_F(UpdaterTest, StartsHiddenWithItsIconAndEndsFromTheMenu)
{
    box.PublishList({});
    box.Server().SetFault("/software/Tallowfin/filelist.xml", {.delayMs = 30000});  // a pass that lasts
    Process updater = box.StartUpdater();
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests("/software/Tallowfin/filelist.xml") == 1; }));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(VisibleWindowsOf(updater.Id()).empty());
    ASSERT_TRUE(WaitUntil([] { return ReadTrayColors().appIcon > 0; }, 10s)) << "the icon is in the notification area";
    EXPECT_EQ(ReadTrayColors().retryIcon, 0);

    // A restarted shell announces itself; the icon is added to it anew (the
    // tray gives the new icon a new window).
    const std::vector<HWND> before = TrayIconWindows();
    ASSERT_EQ(before.size(), 1u);
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(WaitUntil([&] { auto now = TrayIconWindows(); return now.size() == 1 && now != before; }, 5s));
    EXPECT_TRUE(WaitUntil([] { return ReadTrayColors().appIcon > 0; }, 5s));

    RightClickTray();
    HWND menu = WaitForWindow(updater.Id(), "#32768", 10s);
    ASSERT_TRUE(menu);
    ASSERT_TRUE(ChooseExitFromMenu(updater.Id()));
    EXPECT_EQ(updater.WaitExit(10s), 0u);
    EXPECT_TRUE(WaitUntil([] { return TrayIconWindows().empty(); }, 5s)) << "the icon is removed at the end";
}

TEST_F(UpdaterTest, FailedListFetchIsRetriedEverySixSecondsAndTheIconChanges)
{
    // No list on the server: every fetch gets a 404.
    Process updater = box.StartUpdater();
    const std::string list = "/software/Tallowfin/filelist.xml";
    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests(list) >= 1; }));
    std::this_thread::sleep_for(2s);
    EXPECT_GT(ReadTrayColors().appIcon, 0);
    EXPECT_EQ(ReadTrayColors().retryIcon, 0);
    // The first tick, 5000 ms after the failed pass, puts image 1 in the icon.
    std::this_thread::sleep_for(4s);
    EXPECT_GT(ReadTrayColors().retryIcon, 0);
    EXPECT_EQ(ReadTrayColors().appIcon, 0);

    ASSERT_TRUE(WaitUntil([&] { return box.Server().CountRequests(list) >= 3; }, 20s));
    auto requests = box.Server().Requests();
    ASSERT_GE(requests.size(), 3u);
    for (std::size_t i = 1; i < 3; ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(requests[i].at - requests[i - 1].at);
        EXPECT_GE(gap.count(), 5900) << "attempt " << i;
        EXPECT_LE(gap.count(), 8000) << "attempt " << i;
    }
    // The icon keeps image 1.
    EXPECT_GT(ReadTrayColors().retryIcon, 0);
    EXPECT_TRUE(updater.Running());
}

TEST_F(UpdaterTest, RefusedConnectionIsRetriedUntilTheServerAnswers)
{
    std::uint16_t port;
    {
        HttpServer probe(box.Served(""));
        port = probe.Port();
    }
    Process updater = Start(box.Updater(), "", box.Install(),
                            {{"http_proxy", "http://127.0.0.1:" + std::to_string(port)}, {"TMP", box.Temp().string()},
                             {"TEMP", box.Temp().string()}});
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(updater.Running());
    // The server comes up on that port with nothing to update.
    box.PublishList({});
    HttpServer late(box.ServedRoot(), port);
    EXPECT_EQ(updater.WaitExit(20s), 0u);
    EXPECT_EQ(late.CountRequests("/software/Tallowfin/filelist.xml"), 1u);
    EXPECT_EQ(WaitForStandInStarts(box, 1), std::vector<std::string>{"start -K:qbzmwrtaxnle"});
}

TEST_F(UpdaterTest, NothingChangedKeepsTheWindowHiddenAndStartsTheMainProgram)
{
    WriteBytes(box.Install() / "data.txt", "same");
    box.Publish("data.txt", "same");
    box.PublishList({{"%PROGRAM%", "data.txt", Md5Hex("same"), "data.txt", std::nullopt}});
    Process updater = box.StartUpdater();
    EXPECT_FALSE(ShowsAWindowBeforeItEnds(updater));
    EXPECT_EQ(updater.WaitExit(), 0u);
    EXPECT_EQ(box.Server().CountRequests("/software/Tallowfin/data.txt"), 0u);
    EXPECT_EQ(WaitForStandInStarts(box, 1), std::vector<std::string>{"start -K:qbzmwrtaxnle"});
}

class SlowDownloadTest : public UpdaterTest {
protected:
    static constexpr std::size_t kSize = 3 * 1024 * 1024;

    SlowDownloadTest()
    {
        box.PublishList({box.Changed("big.bin", PatternBytes(kSize, 5))});
        box.Server().SetFault("/software/Tallowfin/big.bin", {.bytesPerSecond = 300 * 1024});
        updater = box.StartUpdater();
    }
    HWND Form() { return WaitForWindow(updater.Id(), "TallowfinMainForm"); }
    HWND AppWindow()
    {
        auto found = WindowsOf(updater.Id(), "TallowfinApplication");
        return found.empty() ? nullptr : found.front();
    }

    Process updater;
};

TEST_F(SlowDownloadTest, WindowShowsCentredAndTheBarFollowsTheFile)
{
    HWND form = Form();
    ASSERT_TRUE(form);
    RECT r;
    GetWindowRect(form, &r);
    EXPECT_NEAR((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 2);
    EXPECT_NEAR((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 2);
    char caption[128] = {};
    GetWindowTextA(form, caption, sizeof caption);
    EXPECT_STREQ(caption, "Tallowfin Beta - Auto Update");
    EXPECT_TRUE(IsWindowVisible(AppWindow())) << "the taskbar entry shows with the window";

    HWND bar = FindWindowExA(form, nullptr, "msctls_progress32", nullptr);
    ASSERT_TRUE(bar);
    std::vector<LRESULT> positions;
    for (int i = 0; i < 20; ++i) {
        positions.push_back(SendMessageA(bar, PBM_GETPOS, 0, 0));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_LE(positions.front(), static_cast<LRESULT>(kSize / 4)) << "the bar starts near 0";
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_GT(positions.back(), positions.front());
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), static_cast<LRESULT>(kSize));
    updater.Kill();
}

TEST_F(SlowDownloadTest, MinimizingLeavesOnlyTheIconWhoseMenuStillWorks)
{
    HWND form = Form();
    ASSERT_TRUE(form);
    HWND app = AppWindow();
    ASSERT_TRUE(app);
    PostMessageA(app, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(form) && !IsWindowVisible(app); }, 5s));
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(IsWindowVisible(form)) << "the window stays hidden for the rest of the run";
    EXPECT_GT(ReadTrayColors().appIcon, 0);

    RightClickTray();
    ASSERT_TRUE(ChooseExitFromMenu(updater.Id()));
    EXPECT_EQ(updater.WaitExit(10s), 0u);
    EXPECT_FALSE(std::filesystem::exists(box.Install() / "big.bin"));
}

TEST_F(SlowDownloadTest, CloseBoxEndsTheProgramAtOnceInstallingNothing)
{
    HWND form = Form();
    ASSERT_TRUE(form);
    std::this_thread::sleep_for(500ms);
    PostMessageA(form, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(updater.WaitExit(5s), 0u);
    EXPECT_FALSE(std::filesystem::exists(box.Install() / "big.bin"));
    EXPECT_TRUE(Matching(box.StandInLog(), "start").empty());
}

}  // namespace
}  // namespace tallowfin::test
