// The form's window and its components: the progress bar, the timer, the
// image list, the pop-up menu and the notification-area icon. It carries out
// what the controller decides and routes the window's events to it.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "common/handle.h"
#include "control/application.h"
#include "control/form_view.h"
#include "control/main_form.h"
#include "control/tray_icon.h"

namespace tallowfin {

class MainWindow final : public FormView {
public:
    static constexpr UINT kExitCommand = 1;

    MainWindow(TApplication& app, InternetLayer& internet, TMainForm::Settings settings);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    TMainForm& Form() noexcept { return form_; }

    // Ends the process where it stands, with exit code 0, once the icon has
    // left the notification area: nothing the form or the application owns
    // is destroyed first.
    [[noreturn]] void EndProcessNow();

    // FormView
    void UnifyFonts() override;
    void SetApplicationTitle(const std::string& title) override;
    void SetCaption(const std::string& caption) override;
    void SetTimer(bool enabled, UINT interval) override;
    void SetProgressMax(int max) override;
    void SetProgressPosition(int position) override;
    void SetTrayImage(int index) override;
    void ShowFromTray() override;
    void Close() override;
    void Terminate() override;
    int ShowMessageBox(const std::string& text, UINT flags) override;
    HWND Handle() const override { return window_.get(); }
    void ProcessMessages() override;

private:
    struct ImageListTraits {
        using pointer = HIMAGELIST;
        static pointer invalid() noexcept { return nullptr; }
        static bool close(pointer h) noexcept { return ImageList_Destroy(h) != FALSE; }
    };

    template <class Owner>
    friend LRESULT CALLBACK OwnerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    TApplication& Application() noexcept { return app_; }
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    TApplication& app_;
    GdiObject font_;  // outlives the windows that use it
    WindowHandle window_;
    HWND progressBar_ = nullptr;  // a child: destroyed with the window
    int progressMax_ = 100;
    int progressFilled_ = 0;  // what the bar shows, in thousandths of its length
    UniqueHandle<ImageListTraits> imageList_;
    MenuHandle popupMenu_;
    TTrayIcon trayIcon_;
    TMainForm form_;
};

}  // namespace tallowfin
