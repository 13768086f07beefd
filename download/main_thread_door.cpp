#include "download/main_thread_door.h"

#include <memory>

#include "common/srw_exclusive.h"
#include "common/win_error.h"

namespace tallowfin {

namespace {

constexpr UINT kRunCall = WM_APP + 0x51;
constexpr UINT kPostedCall = WM_APP + 0x52;
constexpr char kWindowClass[] = "TallowfinMainThreadDoor";

}  // namespace

struct MainThreadDoor::PendingCall {
    const std::function<void()>* call;
    std::exception_ptr error;
    bool done = false;
};

MainThreadDoor::MainThreadDoor() : mainThreadId_(GetCurrentThreadId())
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);  // fails harmlessly when a second door registers it again
    window_.reset(CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr));
    if (!window_) ThrowLastError("Creating the main thread's hand-over window");
    SetWindowLongPtrA(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MainThreadDoor::~MainThreadDoor()
{
    // Calls posted and never run are freed here: nobody else can.
    MSG message;
    while (window_ && PeekMessageA(&message, window_.get(), kPostedCall, kPostedCall, PM_REMOVE))
        std::unique_ptr<std::function<void()>>(reinterpret_cast<std::function<void()>*>(message.lParam));
}

void MainThreadDoor::Run(const std::function<void()>& call)
{
    if (GetCurrentThreadId() == mainThreadId_) {
        call();
        return;
    }
    PendingCall pending{&call, nullptr, false};
    if (!PostMessageA(window_.get(), kRunCall, 0, reinterpret_cast<LPARAM>(&pending)))
        ThrowLastError("Handing an event to the main thread");
    {
        SrwExclusive guard(lock_);
        while (!pending.done) SleepConditionVariableSRW(&done_, &lock_, INFINITE, 0);
    }
    if (pending.error) std::rethrow_exception(pending.error);
}

void MainThreadDoor::Post(std::function<void()> call)
{
    if (GetCurrentThreadId() == mainThreadId_) {
        RunPosted(call);
        return;
    }
    auto owned = std::make_unique<std::function<void()>>(std::move(call));
    if (!PostMessageA(window_.get(), kPostedCall, 0, reinterpret_cast<LPARAM>(owned.get())))
        ThrowLastError("Handing an event to the main thread");
    owned.release();  // the main thread frees it once run
}

void MainThreadDoor::RunPosted(std::function<void()>& call) const noexcept
{
    try {
        call();
    } catch (...) {
        // Nobody waits for this call's outcome.
        try {
            ReportUnhandled(std::current_exception());
        } catch (...) {
            // No exception may cross the window procedure.
        }
    }
}

void MainThreadDoor::Complete(PendingCall& call)
{
    try {
        (*call.call)();
    } catch (...) {
        call.error = std::current_exception();
    }
    SrwExclusive guard(lock_);
    call.done = true;
    WakeAllConditionVariable(&done_);
}

void MainThreadDoor::SetUnhandledErrorHandler(std::function<void(std::exception_ptr)> handler)
{
    unhandled_ = std::move(handler);
}

void MainThreadDoor::ReportUnhandled(std::exception_ptr error) const
{
    if (unhandled_) unhandled_(error);
}

LRESULT CALLBACK MainThreadDoor::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kRunCall) {
        auto* door = reinterpret_cast<MainThreadDoor*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (door) door->Complete(*reinterpret_cast<PendingCall*>(lParam));
        return 0;
    }
    if (message == kPostedCall) {
        std::unique_ptr<std::function<void()>> call(reinterpret_cast<std::function<void()>*>(lParam));
        auto* door = reinterpret_cast<MainThreadDoor*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (door) door->RunPosted(*call);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace tallowfin
