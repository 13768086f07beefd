#include "control/main_window.h"

#include "common/win_error.h"
#include "control/fonts_and_message_box.h"
#include "control/korean_text.h"

namespace tallowfin {

namespace {

constexpr char kWindowClass[] = "TallowfinMainForm";
constexpr UINT_PTR kTimerId = 1;

// Sizes are given for 96 dots per inch and follow the system's setting.
int Scaled(int value)
{
    static const int dpi = [] {
        HDC screen = GetDC(nullptr);
        int d = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
        if (screen) ReleaseDC(nullptr, screen);
        return d > 0 ? d : 96;
    }();
    return MulDiv(value, dpi, 96);
}

}  // namespace

MainWindow::MainWindow(TApplication& app, InternetLayer& internet, TMainForm::Settings settings)
    : app_(app), trayIcon_(app), form_(*this, app.Door(), internet, std::move(settings))
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSA wc{};
    wc.lpfnWndProc = OwnerWindowProc<MainWindow>;
    wc.hInstance = app_.Instance();
    wc.hIcon = LoadIconA(app_.Instance(), "MAINICON");
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);

    // A sizeable frame with the system menu and the close box only; owned by
    // the application window, which carries the taskbar entry.
    window_.reset(CreateWindowExA(0, kWindowClass, "", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME,
                                  CW_USEDEFAULT, CW_USEDEFAULT, Scaled(338), Scaled(65), app_.Handle(), nullptr,
                                  app_.Instance(), nullptr));
    if (!window_) ThrowLastError("Creating the main form");
    SetWindowLongPtrA(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    progressBar_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, Scaled(8), Scaled(8), Scaled(313),
                                   Scaled(17), window_.get(), nullptr, app_.Instance(), nullptr);
    SendMessageA(progressBar_, PBM_SETRANGE32, 0, 100);
    SendMessageA(progressBar_, PBM_SETPOS, 0, 0);

    // Two 16 x 16 images, not masked, both the same picture.
    imageList_.reset(ImageList_Create(16, 16, ILC_COLOR24, 2, 0));
    if (HBITMAP strip = static_cast<HBITMAP>(LoadImageA(app_.Instance(), "TRAYIMAGES", IMAGE_BITMAP, 0, 0, 0))) {
        ImageList_Add(imageList_.get(), strip, nullptr);
        DeleteObject(strip);
    }

    popupMenu_.reset(CreatePopupMenu());
    AppendMenuA(popupMenu_.get(), MF_STRING, kExitCommand, kExitCaption);
    trayIcon_.SetPopupMenu(popupMenu_.get(), [this](UINT id) {
        if (id == kExitCommand) form_.mnuExitClick();
    });

    app_.SetMainForm(window_.get());
    form_.FormCreate();
}

MainWindow::~MainWindow()
{
    KillTimer(window_.get(), kTimerId);
    SetWindowLongPtrA(window_.get(), GWLP_USERDATA, 0);
}

void MainWindow::EndProcessNow()
{
    trayIcon_.Remove();
    // Not ExitProcess: that would let the system's libraries detach while the
    // worker, stopped at an arbitrary point, may hold their locks.
    TerminateProcess(GetCurrentProcess(), 0);
    ExitProcess(0);  // not reached
}

void MainWindow::UnifyFonts()
{
    font_ = tallowfin::UnifyFonts(window_.get());
}

void MainWindow::SetApplicationTitle(const std::string& title)
{
    app_.SetTitle(title);
}

void MainWindow::SetCaption(const std::string& caption)
{
    SetWindowTextA(window_.get(), caption.c_str());
}

void MainWindow::SetTimer(bool enabled, UINT interval)
{
    if (enabled) ::SetTimer(window_.get(), kTimerId, interval, nullptr);
    else KillTimer(window_.get(), kTimerId);
}

void MainWindow::SetProgressMax(int max)
{
    if (max == progressMax_) return;
    progressMax_ = max;
    SendMessageA(progressBar_, PBM_SETRANGE32, 0, max);
    progressFilled_ = -1;  // the bar redraws what it shows at the next position
}

void MainWindow::SetProgressPosition(int position)
{
    // A report comes for every 4 KiB, and a redraw of the visible bar costs
    // more than the transfer of those 4 KiB: the bar is moved only when what
    // it shows changes (in thousandths of its length), and always to its ends,
    // so it looks just the same.
    const int filled = progressMax_ > 0 ? static_cast<int>(static_cast<long long>(position) * 1000 / progressMax_) : 0;
    const bool end = position == 0 || position == progressMax_;
    if (filled == progressFilled_ && !end) return;
    progressFilled_ = filled;
    SendMessageA(progressBar_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void MainWindow::SetTrayImage(int index)
{
    trayIcon_.SetIcon(IconHandle(ImageList_GetIcon(imageList_.get(), index, ILD_NORMAL)));
}

void MainWindow::ShowFromTray()
{
    trayIcon_.ShowFromTray(window_.get());
}

void MainWindow::Close()
{
    // Closing the main form ends the application at once, whatever pass is
    // running; a worker still running is not waited for.
    ShowWindow(window_.get(), SW_HIDE);
    app_.Terminate();
}

void MainWindow::Terminate()
{
    app_.Terminate();
}

int MainWindow::ShowMessageBox(const std::string& text, UINT flags)
{
    return tallowfin::ShowMessageBox(app_, text, flags);
}

void MainWindow::ProcessMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Leave the quit for the application's own loop.
            app_.Terminate();
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_TIMER:
        if (wParam == kTimerId) form_.TimerTimer();
        return 0;
    case WM_CLOSE:
        Close();
        return 0;
    }
    return DefWindowProcA(window_.get(), message, wParam, lParam);
}

}  // namespace tallowfin
