// Putting a download pass into place: closing browser frame windows and
// registering COM server DLLs.
#pragma once

#include <windows.h>

#include <string>

namespace tallowfin {

// EnumWindows callback: posts WM_CLOSE to every visible, unowned, non-tool
// top-level window whose class is exactly "IEFrame". Always goes on.
BOOL CALLBACK CloseExplorerWindow(HWND window, LPARAM value);

// Loads a DLL and calls its "DllRegisterServer" (or "DllUnregisterServer");
// true when the entry exists and returned S_OK.
bool CallDllServer(const std::string& path, bool registering);

}  // namespace tallowfin
