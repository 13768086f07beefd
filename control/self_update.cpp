// The self-update launch: the updater's own new build, staged and checked
// beside its executable by the release's transaction, is put in place by the
// replacement helper once this run has ended.
#include <windows.h>

#include "control/main_form.h"
#include "selfreplace/launch.h"

namespace tallowfin {

void TMainForm::LaunchSelfUpdate()
{
    // Only a build this run staged and checked: never whatever older copy
    // lies under the staged name.
    if (FSelfUpdateFile.empty()) return;
    const HMODULE resources = settings_.ResourceModule ? settings_.ResourceModule : GetModuleHandleA(nullptr);
    // When no helper can be written or started, the staged file waits, and a
    // later run, finding the updater still different from its list, fetches
    // and stages it again.
    helperHold_ = StartHelper(resources, FSelfUpdateFile, settings_.OwnPath, GetCurrentProcessId(),
                              [this] { view_.ProcessMessages(); });
}

}  // namespace tallowfin
