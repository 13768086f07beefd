// The per-user record of installation work that earlier versions of the
// updater kept in the registry, under
// HKEY_CURRENT_USER\Software\Kestal\TallowfinUpdate\Pending. The installation
// is now a transaction whose journal lies in the installation itself
// (transaction/): what a registry value alone names is never loaded or
// deleted, since anyone who can write the user's registry could name any DLL
// there. The values are only forgotten.
#pragma once

namespace tallowfin {

// Deletes every value of the record. Only the sole updater run calls it.
void ForgetPendingWorkOfEarlierVersions() noexcept;

}  // namespace tallowfin
