// Putting a download pass into place: closing browser frame windows first.
#pragma once

#include <windows.h>

namespace tallowfin {

// EnumWindows callback: posts WM_CLOSE to every visible, unowned, non-tool
// top-level window whose class is exactly "IEFrame". Always goes on.
BOOL CALLBACK CloseExplorerWindow(HWND window, LPARAM value);

}  // namespace tallowfin
