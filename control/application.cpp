#include "control/application.h"

#include <algorithm>

#include "common/lead_bytes.h"
#include "common/win_error.h"
#include "control/error_text.h"

namespace tallowfin {

namespace {

constexpr char kWindowClass[] = "TallowfinApplication";

std::string MessageOf(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

// Disables the thread's visible, enabled top-level windows while a modal box
// shows, and enables them again afterwards.
class TaskWindowsDisabled {
public:
    TaskWindowsDisabled()
    {
        EnumThreadWindows(GetCurrentThreadId(), &TaskWindowsDisabled::Collect, reinterpret_cast<LPARAM>(this));
        for (HWND w : windows_) EnableWindow(w, FALSE);
    }
    ~TaskWindowsDisabled()
    {
        for (HWND w : windows_) EnableWindow(w, TRUE);
    }
    TaskWindowsDisabled(const TaskWindowsDisabled&) = delete;
    TaskWindowsDisabled& operator=(const TaskWindowsDisabled&) = delete;

private:
    static BOOL CALLBACK Collect(HWND window, LPARAM self) noexcept
    {
        if (IsWindowVisible(window) && IsWindowEnabled(window)) {
            try {
                reinterpret_cast<TaskWindowsDisabled*>(self)->windows_.push_back(window);
            } catch (...) {
                return FALSE;
            }
        }
        return TRUE;
    }
    std::vector<HWND> windows_;
};

}  // namespace

TApplication::TApplication(HINSTANCE instance) : instance_(instance)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = OwnerWindowProc<TApplication>;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(1));
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    // A window of no size in the middle of the screen: it only owns the forms
    // and stands for the application on the taskbar.
    const int x = GetSystemMetrics(SM_CXSCREEN) / 2;
    const int y = GetSystemMetrics(SM_CYSCREEN) / 2;
    window_.reset(CreateWindowExA(0, kWindowClass, "", WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU |
                                                           WS_MINIMIZEBOX, x, y, 0, 0, nullptr, nullptr, instance_,
                                  nullptr));
    if (!window_) ThrowLastError("Creating the application window");
    SetWindowLongPtrA(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    door_.SetUnhandledErrorHandler([this](std::exception_ptr error) { HandleException(error); });
}

TApplication::~TApplication()
{
    SetWindowLongPtrA(window_.get(), GWLP_USERDATA, 0);
}

void TApplication::SetTitle(const std::string& title)
{
    title_ = title;
    SetWindowTextA(window_.get(), title_.c_str());
}

void TApplication::Run()
{
    if (ShowMainForm && mainForm_) ShowWindow(mainForm_, SW_SHOW);
    MSG msg;
    while (!terminated_ && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void TApplication::Terminate() noexcept
{
    if (terminated_) return;
    terminated_ = true;
    PostQuitMessage(0);
}

void TApplication::Minimize()
{
    if (!IsIconic(window_.get())) ShowWindow(window_.get(), SW_MINIMIZE);
    // The system hides owned windows with their minimized owner, but not every
    // implementation of it does: the form goes explicitly.
    if (mainForm_) ShowWindow(mainForm_, SW_HIDE);
}

void TApplication::Restore()
{
    if (IsIconic(window_.get())) ShowWindow(window_.get(), SW_RESTORE);
}

void TApplication::HandleException(std::exception_ptr error) noexcept
{
    try {
        ModalMessageBox(ErrorBoxText(MessageOf(error), IsLeadByteOfAnsiCodePage), MB_OK | MB_ICONERROR);
    } catch (...) {
        // Nothing more can be shown; the loop goes on.
    }
}

int TApplication::ModalMessageBox(const std::string& text, UINT flags)
{
    TaskWindowsDisabled disabled;
    return ::MessageBoxA(window_.get(), text.c_str(), title_.c_str(), flags);
}

void TApplication::HookMainWindow(const void* owner, MessageHook hook)
{
    hooks_.emplace_back(owner, std::move(hook));
}

void TApplication::UnhookMainWindow(const void* owner) noexcept
{
    std::erase_if(hooks_, [owner](const auto& entry) { return entry.first == owner; });
}

LRESULT TApplication::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    for (auto& [owner, hook] : hooks_) {
        LRESULT result = 0;
        if (hook(message, wParam, lParam, result)) return result;
    }
    switch (message) {
    case WM_CLOSE:
        // Closing the application's taskbar entry closes the application.
        if (mainForm_) PostMessageA(mainForm_, WM_CLOSE, 0, 0);
        else Terminate();
        return 0;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_MINIMIZE: Minimize(); return 0;
        case SC_RESTORE: Restore(); return 0;
        }
        break;
    }
    return DefWindowProcA(window_.get(), message, wParam, lParam);
}

}  // namespace tallowfin
