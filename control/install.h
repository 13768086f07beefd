// Putting a download pass into place: closing browser frame windows and
// registering COM server DLLs.
#pragma once

#include <windows.h>

#include <string>

namespace tallowfin {

// The main program and its launch key.
inline constexpr char kMainProgram[] = "TallowfinMain.exe";
inline constexpr char kLaunchKey[] = "-K:qbzmwrtaxnle";

// EnumWindows callback: posts WM_CLOSE to every visible, unowned, non-tool
// top-level window whose class is exactly "IEFrame". Always goes on.
BOOL CALLBACK CloseExplorerWindow(HWND window, LPARAM value);

// Loads a DLL and calls its "DllRegisterServer" (or "DllUnregisterServer");
// true when the entry exists and returned S_OK.
bool CallDllServer(const std::string& path, bool registering);

// The parameters the main program is started with, by the updater's own first
// argument: "-H" in any case is passed on.
std::string MainProgramParameters(const std::string& firstArgument);

}  // namespace tallowfin
