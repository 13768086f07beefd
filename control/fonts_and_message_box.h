// Two small services of the forms: one font for a form and its controls, and
// the application's message box.
#pragma once

#include <windows.h>

#include <string>

#include "common/handle.h"
#include "control/application.h"

namespace tallowfin {

// Gives a form and every control on it the system's menu font (the system
// font when the menu font cannot be read), with the default character set.
// The returned font must live as long as the windows that use it.
GdiObject UnifyFonts(HWND form);

// A modal message box owned by the application window, captioned with the
// application's title; returns the button that closed it.
int ShowMessageBox(TApplication& app, const std::string& text, UINT flags);

}  // namespace tallowfin
