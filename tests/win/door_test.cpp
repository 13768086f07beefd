// The hand-over to the main thread: calls run there, from whatever message
// loop it is in, the worker waits for them, and errors travel back.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "download/main_thread_door.h"
#include "download/thread.h"
#include "tests/support/win_util.h"

namespace tallowfin::test {
namespace {

// Runs `body` on a worker thread while this thread pumps messages.
void OnWorker(const std::function<void()>& body)
{
    std::atomic<bool> done{false};
    TestThread worker([&] {
        body();
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, std::chrono::seconds(20)));
    worker.Join();
}

TEST(MainThreadDoor, RunsCallsOnTheMainThreadAndWaitsForThem)
{
    MainThreadDoor door;
    const DWORD main = GetCurrentThreadId();
    OnWorker([&] {
        for (int i = 0; i < 50; ++i) {
            DWORD ranOn = 0;
            int value = 0;
            door.Run([&] {
                ranOn = GetCurrentThreadId();
                value = i;
            });
            EXPECT_EQ(ranOn, main);
            EXPECT_EQ(value, i);  // the call has completed when Run returns
        }
    });
}

TEST(MainThreadDoor, ErrorRaisedOnTheMainThreadIsRaisedAgainInTheWorker)
{
    MainThreadDoor door;
    std::string caught;
    OnWorker([&] {
        try {
            door.Run([] { throw std::invalid_argument("bad value"); });
        } catch (const std::invalid_argument& e) {
            caught = e.what();
        }
    });
    EXPECT_EQ(caught, "bad value");
}

TEST(MainThreadDoor, CallFromTheMainThreadRunsDirectly)
{
    MainThreadDoor door;
    bool ran = false;
    door.Run([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(MainThreadDoor, DeliversWhileTheMainThreadShowsAMessageBox)
{
    MainThreadDoor door;
    std::atomic<bool> delivered{false};
    TestThread worker([&] {
        Sleep(200);  // let the box come up
        door.Run([&] {
            delivered = true;
            // Runs inside the box's own loop: close the box from here.
            if (HWND box = FindWindowA("#32770", "door test")) PostMessageA(box, WM_COMMAND, IDOK, 0);
        });
    });
    // A worker that never got through would leave the box open for good:
    // a watchdog closes it so that the test fails instead of hanging.
    TestThread watchdog([&] {
        for (int i = 0; i < 200 && !delivered; ++i) {
            Sleep(50);
            if (HWND box = FindWindowA("#32770", "door test"); box && i > 100) PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    });
    MessageBoxA(nullptr, "waiting", "door test", MB_OK);
    EXPECT_TRUE(delivered);
    worker.Join();
    watchdog.Join();
}

TEST(MainThreadDoor, DeliversWhileTheMainThreadTracksAMenu)
{
    MainThreadDoor door;
    HWND owner = CreateWindowExA(0, "STATIC", "menu owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(owner);
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, 1, "item");
    std::atomic<bool> delivered{false};
    TestThread worker([&] {
        Sleep(300);
        door.Run([&] {
            delivered = true;
            EndMenu();
        });
    });
    SetForegroundWindow(owner);
    TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, 10, 10, 0, owner, nullptr);
    worker.Join();
    EXPECT_TRUE(delivered);
    DestroyMenu(menu);
    DestroyWindow(owner);
}

class FlagThread : public TThread {
public:
    FlagThread(MainThreadDoor& door, std::atomic<bool>& destroyed) : TThread(door), destroyed_(destroyed) {}
    ~FlagThread() override { destroyed_ = true; }
    DWORD bodyThread = 0;

protected:
    void Execute() override { bodyThread = GetCurrentThreadId(); }

private:
    std::atomic<bool>& destroyed_;
};

TEST(Thread, TerminateHandlerRunsOnTheMainThreadAfterTheBodyThenTheThreadFreesItself)
{
    MainThreadDoor door;
    std::atomic<bool> destroyed{false};
    bool terminated = false;
    DWORD handlerThread = 0, bodyThread = 0;
    auto owned = std::make_unique<FlagThread>(door, destroyed);
    owned->FreeOnTerminate = true;
    owned->OnTerminate = [&](TThread* sender) {
        terminated = true;
        handlerThread = GetCurrentThreadId();
        bodyThread = static_cast<FlagThread*>(sender)->bodyThread;
        EXPECT_FALSE(destroyed);
    };
    owned->Resume();
    owned.release();  // it owns itself now
    ASSERT_TRUE(PumpUntil([&] { return terminated; }));
    EXPECT_EQ(handlerThread, GetCurrentThreadId());
    EXPECT_NE(bodyThread, 0u);
    EXPECT_NE(bodyThread, GetCurrentThreadId());
    EXPECT_TRUE(WaitUntil([&] { return destroyed.load(); }, std::chrono::seconds(5)));
}

TEST(Thread, NothingRunsBeforeResume)
{
    MainThreadDoor door;
    std::atomic<bool> destroyed{false};
    {
        FlagThread thread(door, destroyed);
        Sleep(100);
        EXPECT_EQ(thread.bodyThread, 0u);
        thread.Resume();
        thread.WaitFor();
        EXPECT_NE(thread.bodyThread, 0u);
    }
    EXPECT_TRUE(destroyed);
}

TEST(Thread, ErrorOfTheTerminateHandlerGoesToTheApplication)
{
    MainThreadDoor door;
    std::string reported;
    door.SetUnhandledErrorHandler([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            reported = e.what();
        }
    });
    std::atomic<bool> destroyed{false};
    auto owned = std::make_unique<FlagThread>(door, destroyed);
    owned->FreeOnTerminate = true;
    owned->OnTerminate = [](TThread*) { throw std::runtime_error("terminate failed"); };
    owned->Resume();
    owned.release();
    ASSERT_TRUE(PumpUntil([&] { return !reported.empty(); }));
    EXPECT_EQ(reported, "terminate failed");
    EXPECT_TRUE(WaitUntil([&] { return destroyed.load(); }, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace tallowfin::test
