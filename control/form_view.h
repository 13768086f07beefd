// What the controller needs of its window, its notification-area icon and the
// application: the platform edge of the form. The real one is MainWindow; the
// controller's tests put a recording fake in its place.
#pragma once

#include <windows.h>

#include <string>

namespace tallowfin {

class FormView {
public:
    virtual ~FormView() = default;

    virtual void UnifyFonts() = 0;
    virtual void SetApplicationTitle(const std::string& title) = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // The timer as the platform runs it; setting it again restarts the countdown.
    virtual void SetTimer(bool enabled, UINT interval) = 0;
    virtual void SetProgressMax(int max) = 0;
    virtual void SetProgressPosition(int position) = 0;
    // Puts image `index` of the image list into the notification-area icon.
    virtual void SetTrayImage(int index) = 0;
    virtual void ShowFromTray() = 0;
    // Closes the main form, which ends the application.
    virtual void Close() = 0;
    // Asks the application to end once the current handler has returned.
    virtual void Terminate() = 0;
    virtual int ShowMessageBox(const std::string& text, UINT flags) = 0;
    // The form's window, as owner of what the form starts.
    virtual HWND Handle() const = 0;
    // Dispatches the thread's pending window messages until none is left.
    virtual void ProcessMessages() = 0;
};

}  // namespace tallowfin
