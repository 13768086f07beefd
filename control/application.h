// The application: its title, its hidden application window (which owns the
// forms and carries the taskbar entry), the message loop, and the one place
// where an error that escapes a handler is shown.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "common/handle.h"
#include "download/main_thread_door.h"

namespace tallowfin {

class TApplication {
public:
    explicit TApplication(HINSTANCE instance);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    HINSTANCE Instance() const noexcept { return instance_; }
    // The application window: owner of every form; while it is shown, the
    // taskbar shows the application with its title.
    HWND Handle() const noexcept { return window_.get(); }
    const std::string& Title() const noexcept { return title_; }
    void SetTitle(const std::string& title);
    MainThreadDoor& Door() noexcept { return door_; }

    // Whether Run shows the main form when the loop starts.
    bool ShowMainForm = true;
    void SetMainForm(HWND form) noexcept { mainForm_ = form; }

    // Runs the message loop until Terminate.
    void Run();
    void Terminate() noexcept;
    bool Terminated() const noexcept { return terminated_; }

    void Minimize();
    void Restore();

    // Shows an error that escaped a handler: error icon, the title as caption,
    // and the loop goes on.
    void HandleException(std::exception_ptr error) noexcept;
    // Runs a handler's body on our side of a Windows callback frame: no C++
    // exception may unwind through a window procedure.
    template <class F>
    void Guard(F&& body) noexcept
    {
        try {
            body();
        } catch (...) {
            HandleException(std::current_exception());
        }
    }

    // Lets a component watch the application window's messages. A hook that
    // returns true has handled the message, with `result` as its result.
    using MessageHook = std::function<bool(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)>;
    void HookMainWindow(const void* owner, MessageHook hook);
    void UnhookMainWindow(const void* owner) noexcept;

    // A modal message box owned by the application window, captioned with the
    // title, the thread's other windows disabled while it shows.
    int ModalMessageBox(const std::string& text, UINT flags);

    TApplication& Application() noexcept { return *this; }

private:
    template <class Owner>
    friend LRESULT CALLBACK OwnerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_;
    std::string title_;
    WindowHandle window_;
    HWND mainForm_ = nullptr;
    bool terminated_ = false;
    std::vector<std::pair<const void*, MessageHook>> hooks_;
    MainThreadDoor door_;
};

// The window procedure of a window whose GWLP_USERDATA points to its owner
// object: the owner's HandleMessage runs on our side of the callback frame,
// and an error that escapes it is shown by the application. Messages that
// come before the owner is attached, or after it is gone, go to the default.
template <class Owner>
LRESULT CALLBACK OwnerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* owner = reinterpret_cast<Owner*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!owner) return DefWindowProcA(window, message, wParam, lParam);
    LRESULT result = 0;
    owner->Application().Guard([&] { result = owner->HandleMessage(message, wParam, lParam); });
    return result;
}

}  // namespace tallowfin
