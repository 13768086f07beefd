// The notification-area icon: added when the form is made, removed when it is
// destroyed, with a one-item menu on a right click (or the keyboard), and a
// watch on the application window so that minimizing leaves only the icon.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>

#include "common/handle.h"
#include "control/application.h"

namespace tallowfin {

class TTrayIcon {
public:
    static constexpr UINT kCallbackMessage = WM_USER + 1;
    static constexpr UINT kIconId = 1;

    explicit TTrayIcon(TApplication& app);
    ~TTrayIcon();
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;

    // The menu shown on a right click; `onCommand` gets the chosen item's id.
    void SetPopupMenu(HMENU menu, std::function<void(UINT id)> onCommand);
    // Puts a new picture into the icon; the notification area follows at once.
    void SetIcon(IconHandle icon);
    // Shows the application's taskbar entry, restores it, and shows `form`
    // centred on the screen.
    void ShowFromTray(HWND form);

    // Takes the icon out of the notification area now rather than when the
    // form is destroyed (for a process that ends without destroying it).
    void Remove();

    // The hidden window that receives the icon's callbacks.
    HWND Handle() const noexcept { return window_.get(); }
    // Major and minor version of shell32.dll, as 0xMMMMmmmm.
    DWORD ShellVersion() const noexcept { return shellVersion_; }

private:
    template <class Owner>
    friend LRESULT CALLBACK OwnerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    TApplication& Application() noexcept { return app_; }
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    NOTIFYICONDATAA IconData(UINT flags) const;
    void Add();
    void ShowMenu();
    bool NewShell() const noexcept { return shellVersion_ >= 0x00050000; }

    TApplication& app_;
    DWORD shellVersion_;
    UINT taskbarCreated_;
    WindowHandle window_;
    HICON current_ = nullptr;  // the application's icon, or owned_
    IconHandle owned_;
    std::string hint_;  // empty: the icon has no tooltip
    HMENU menu_ = nullptr;
    std::function<void(UINT)> onCommand_;
};

}  // namespace tallowfin
