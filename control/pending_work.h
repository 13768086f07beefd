// The record of installation work that has begun and not yet ended, kept per
// user in the registry, so that a run killed in the middle of its
// installation leaves behind what a later run needs to finish it: the new
// copies it had begun beside their targets, and the DLLs it had put in place
// but perhaps not registered.
//
// One value per entry under the key
// HKEY_CURRENT_USER\Software\Kestal\TallowfinUpdate\Pending: the path is
// the value's name (so an entry is made and dropped in one step, and the same
// path never stands twice), the kind its number. A run
// removes its entries as its work ends, so the record holds only what killed
// runs left. Keeping the record is best effort: a registry that cannot be
// written never stops an installation.
#pragma once

#include <string>

#include "control/install_rules.h"

namespace tallowfin {

void BeginPendingWork(const std::string& path, PendingKind kind) noexcept;
void EndPendingWork(const std::string& path) noexcept;

// Finishes what killed runs left, and forgets it: removes their new copies
// and registers their DLLs. Entries that are damaged (of another type, of an
// unknown kind, naming what no run would have recorded) are only forgotten.
// Only a run that knows itself the only updater run may call it: the entries
// of a run still working look just the same.
void FinishLeftWork();

}  // namespace tallowfin
