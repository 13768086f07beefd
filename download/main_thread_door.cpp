#include "download/main_thread_door.h"

#include "common/win_error.h"

namespace tallowfin {

namespace {

constexpr UINT kRunCall = WM_APP + 0x51;
constexpr char kWindowClass[] = "TallowfinMainThreadDoor";

class SrwExclusive {
public:
    explicit SrwExclusive(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwExclusive() { ReleaseSRWLockExclusive(&lock_); }
    SrwExclusive(const SrwExclusive&) = delete;
    SrwExclusive& operator=(const SrwExclusive&) = delete;

private:
    SRWLOCK& lock_;
};

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

MainThreadDoor::~MainThreadDoor() = default;

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
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace tallowfin
