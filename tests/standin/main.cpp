// A stand-in for the product's main program, for the tests and the demo.
//
// Started by the updater (with the launch key) it records its command line in
// "TallowfinMain.log" beside itself and ends. Started with "--serve" it plays
// the running main program: it holds the mutex, leaves its window handle in
// the registry, records every hand-off message it receives, and ends on
// WM_CLOSE or after two minutes at most, so that a test can never leave it
// behind for long.
#include <windows.h>

#include <string>

#include "app/handoff.h"
#include "common/file_system.h"
#include "common/handle.h"

namespace {

using namespace tallowfin;

void Log(const std::string& line)
{
    std::string path = OwnExecutablePath();
    path = path.substr(0, path.rfind('\\') + 1) + "TallowfinMain.log";
    FileHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kHandOffMessage) {
        Log("message " + std::to_string(wParam) + " " + std::to_string(lParam));
        return 0;
    }
    if (message == WM_TIMER || message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int Serve(HINSTANCE instance)
{
    KernelHandle mutex(CreateMutexA(nullptr, FALSE, kMainProgramMutex));
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = "TallowfinMainStandIn";
    RegisterClassA(&wc);
    WindowHandle window(CreateWindowExA(0, wc.lpszClassName, "Tallowfin Beta", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                        nullptr, nullptr, instance, nullptr));
    if (!window) return 1;

    HKEY raw = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kRegistryKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr) ==
        ERROR_SUCCESS) {
        RegKey key(raw);
        const std::string handle = std::to_string(static_cast<long long>(reinterpret_cast<INT_PTR>(window.get())));
        RegSetValueExA(key.get(), kHandleValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(handle.c_str()),
                       static_cast<DWORD>(handle.size() + 1));
    }
    Log("serving " + std::to_string(reinterpret_cast<INT_PTR>(window.get())));
    SetTimer(window.get(), 1, 120000, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    Log("ended");
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    Log(std::string("start ") + commandLine);
    if (std::string(commandLine).find("--serve") != std::string::npos) return Serve(instance);
    return 0;
}
