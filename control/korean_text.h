// The user interface's Korean texts, as code page 949 bytes for the ANSI
// functions of the system.
#pragma once

namespace tallowfin {

// The pop-up menu's only item: "exit", with X as its access key.
extern const char kExitCaption[];
// Shown before browser frame windows are closed: "Tallowfin Beta has been
// updated." and "All Explorer windows will be closed for the update.", with
// an empty line between them.
extern const char kBrowserNotice[];

}  // namespace tallowfin
