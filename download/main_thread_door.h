// The one door through which worker threads hand work to the main thread.
//
// A worker posts a call to a message-only window of the main thread and sleeps
// on a condition variable until the main thread has run it. Because the call
// arrives as a window message it is run by whatever message loop the main
// thread is in at that moment: the application's own, a message box's, or a
// menu's. Posting and a condition variable are used rather than SendMessage
// because under Wine a sent message costs several server round trips per
// call.
//
// Progress does not wait: the worker posts it (Post) and reads on, since a
// round trip through the door costs more under Wine (about 175 us) than a
// 64 KiB read does, and a transfer that waited for the window at every read
// would run at the window's pace, not the line's. Posting costs the worker
// one PostMessage (bench/download_bench.cpp prints both). Posted and waited
// calls share one queue, so the main thread runs them in the order they were
// handed over: a file's last progress comes before its completion.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>

#include "common/handle.h"

namespace tallowfin {

class MainThreadDoor {
public:
    // Must be made on the thread that runs the message loop.
    MainThreadDoor();
    ~MainThreadDoor();
    MainThreadDoor(const MainThreadDoor&) = delete;
    MainThreadDoor& operator=(const MainThreadDoor&) = delete;

    // Runs `call` on the main thread and returns when it has returned; an
    // exception that it raised is raised again here. Called on the main thread
    // itself, it runs the call directly.
    void Run(const std::function<void()>& call);

    // Hands `call` to the main thread and returns at once. The call must
    // catch its own errors (one that escapes goes to the unhandled-error
    // handler) and must not refer to anything its caller may destroy before
    // the main thread gets to it. Calls still waiting when the door is
    // destroyed are dropped unrun. Called on the main thread itself, it runs
    // the call directly.
    void Post(std::function<void()> call);

    // Where errors go that have no caller to return to (a terminate handler's);
    // the application shows them as it shows other errors of its handlers.
    void SetUnhandledErrorHandler(std::function<void(std::exception_ptr)> handler);
    void ReportUnhandled(std::exception_ptr error) const;

    DWORD MainThreadId() const noexcept { return mainThreadId_; }

private:
    struct PendingCall;
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Complete(PendingCall& call);
    void RunPosted(std::function<void()>& call) const noexcept;

    DWORD mainThreadId_;
    WindowHandle window_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE done_ = CONDITION_VARIABLE_INIT;
    std::function<void(std::exception_ptr)> unhandled_;
};

}  // namespace tallowfin
