// Starting the replacement helper: it is written out of the updater's own
// resources and started, and waits for the updater to end before it puts the
// staged new build in place of the executable. What the helper leaves for
// later runs to clear is cleared here too.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "common/handle.h"

namespace tallowfin {

// Writes the helper embedded in `resources` and starts it with the command
// line that has it put `staged` in place of `target` once the process
// `processId` has ended. The helper goes to the current folder, as it always
// has; when that cannot take it, beside `target`; failing that, into a folder
// of the run's own under the temporary folder. `beforeStart` runs once, before
// the first helper is started. From its writing on, the helper file is held
// open, shared for reading only, so nobody can swap it before it runs; the
// returned handle keeps holding it (keep it until the run ends). An empty
// handle when no helper could be written or started, and then no folder of
// the run's own is left.
FileHandle StartHelper(HMODULE resources, const std::string& staged, const std::string& target,
                       std::uint32_t processId, const std::function<void()>& beforeStart);

// Removes the folders that earlier runs made for the helper under the
// temporary folder, with the helpers in them. A helper that still runs keeps
// its folder until a later run. Only the sole updater run calls it.
void RemoveLeftHelperFolders();

}  // namespace tallowfin
