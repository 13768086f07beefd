#include "control/tray_icon.h"

#include <shellapi.h>

#include <vector>

#include "common/win_error.h"

namespace tallowfin {

namespace {

constexpr char kWindowClass[] = "TallowfinTrayIcon";

// The file version of shell32.dll, read once from its version resource; 0 when
// it cannot be read. Version 5.0 brought the larger structure and the newer
// callback behaviour.
DWORD ReadShellVersion()
{
    char path[MAX_PATH + 1] = {};
    UINT n = GetSystemDirectoryA(path, MAX_PATH);
    std::string file = std::string(path, n) + "\\shell32.dll";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    if (size == 0) return 0;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, data.data())) return 0;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) || !info) return 0;
    return info->dwFileVersionMS;
}

}  // namespace

TTrayIcon::TTrayIcon(TApplication& app)
    : app_(app), shellVersion_(ReadShellVersion()), taskbarCreated_(RegisterWindowMessageA("TaskbarCreated"))
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = OwnerWindowProc<TTrayIcon>;
    wc.hInstance = app_.Instance();
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    // A hidden top-level window rather than a message-only one: only top-level
    // windows hear the "TaskbarCreated" broadcast.
    window_.reset(CreateWindowExA(0, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, app_.Instance(),
                                  nullptr));
    if (!window_) ThrowLastError("Creating the notification icon's window");
    SetWindowLongPtrA(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    current_ = LoadIconA(app_.Instance(), "MAINICON");
    Add();

    app_.HookMainWindow(this, [this](UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
        if (message != WM_SYSCOMMAND || (wParam & 0xFFF0) != SC_MINIMIZE) return false;
        // Minimizing (a click on the taskbar entry, for instance) leaves only
        // the icon: the taskbar entry and the window go until ShowFromTray.
        app_.Minimize();
        ShowWindow(app_.Handle(), SW_HIDE);
        result = 0;
        return true;
    });
}

TTrayIcon::~TTrayIcon()
{
    app_.UnhookMainWindow(this);
    Remove();
    SetWindowLongPtrA(window_.get(), GWLP_USERDATA, 0);
}

NOTIFYICONDATAA TTrayIcon::IconData(UINT flags) const
{
    NOTIFYICONDATAA data{};
    data.cbSize = NewShell() ? NOTIFYICONDATAA_V2_SIZE : NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = window_.get();
    data.uID = kIconId;
    data.uFlags = flags;
    data.uCallbackMessage = kCallbackMessage;
    data.hIcon = current_;
    // The tip is the hint up to its first "|", as long as the structure allows.
    const std::size_t room = NewShell() ? 127 : 63;
    std::string tip = hint_.substr(0, hint_.find('|')).substr(0, room);
    tip.copy(data.szTip, tip.size());
    return data;
}

void TTrayIcon::Add()
{
    NOTIFYICONDATAA data = IconData(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    Shell_NotifyIconA(NIM_ADD, &data);
    if (NewShell()) {
        data.uVersion = NOTIFYICON_VERSION;
        Shell_NotifyIconA(NIM_SETVERSION, &data);
    }
}

void TTrayIcon::Remove()
{
    NOTIFYICONDATAA data = IconData(0);
    Shell_NotifyIconA(NIM_DELETE, &data);
}

void TTrayIcon::SetPopupMenu(HMENU menu, std::function<void(UINT)> onCommand)
{
    menu_ = menu;
    onCommand_ = std::move(onCommand);
}

void TTrayIcon::SetIcon(IconHandle icon)
{
    owned_ = std::move(icon);
    current_ = owned_.get();
    NOTIFYICONDATAA data = IconData(NIF_ICON);
    Shell_NotifyIconA(NIM_MODIFY, &data);
}

void TTrayIcon::ShowFromTray(HWND form)
{
    ShowWindow(app_.Handle(), SW_SHOW);
    app_.Restore();
    RECT bounds;
    GetWindowRect(form, &bounds);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    SetWindowPos(form, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(form, SW_SHOW);
}

void TTrayIcon::ShowMenu()
{
    if (!menu_) return;
    POINT at{};
    GetCursorPos(&at);
    // Without the foreground the menu would not close when the user clicks
    // elsewhere; the WM_NULL afterwards lets it close on the first click.
    SetForegroundWindow(window_.get());
    TrackPopupMenu(menu_, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, window_.get(), nullptr);
    PostMessageA(window_.get(), WM_NULL, 0, 0);
}

LRESULT TTrayIcon::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kCallbackMessage) {
        const UINT event = LOWORD(lParam);
        const bool menuWanted = NewShell() ? (event == WM_CONTEXTMENU || event == NIN_KEYSELECT) : event == WM_RBUTTONUP;
        if (menuWanted) ShowMenu();
        return 0;
    }
    if (message == taskbarCreated_ && taskbarCreated_ != 0) {
        // The shell started again: the icon must be added anew.
        Remove();
        Add();
        return 0;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == 0) {
        if (onCommand_) onCommand_(LOWORD(wParam));
        return 0;
    }
    return DefWindowProcA(window_.get(), message, wParam, lParam);
}

}  // namespace tallowfin
