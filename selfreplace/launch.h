// What the self-update launch leaves for later runs to clear.
#pragma once

namespace tallowfin {

// Removes the folders that earlier runs made for the helper under the
// temporary folder, with the helpers in them. A helper that still runs keeps
// its folder until a later run. Only the sole updater run calls it.
void RemoveLeftHelperFolders();

}  // namespace tallowfin
