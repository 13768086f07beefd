#include "control/pending_work.h"

#include <windows.h>

namespace tallowfin {

void ForgetPendingWorkOfEarlierVersions() noexcept
{
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Kestal\\TallowfinUpdate\\Pending");
}

}  // namespace tallowfin
