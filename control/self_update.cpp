// The self-update launch: the downloaded copy of the updater is staged beside
// its executable, and the replacement helper is started to put it in place
// once this run has ended.
#include <windows.h>

#include "common/file_system.h"
#include "control/install_file.h"
#include "control/main_form.h"
#include "selfreplace/launch.h"
#include "selfreplace/self_update_rules.h"

namespace tallowfin {

void TMainForm::LaunchSelfUpdate()
{
    if (FSelfUpdateFile.empty()) return;

    const std::string ownPath = settings_.OwnPath;
    const std::string staged = StagedPathFor(ownPath);
    // Whole and on the disk before the helper can take it: the helper renames
    // it over the only good copy of the updater.
    PlaceFile(FSelfUpdateFile, staged);
    DeleteFileA(FSelfUpdateFile.c_str());
    FSelfUpdateFile = staged;

    const HMODULE resources = settings_.ResourceModule ? settings_.ResourceModule : GetModuleHandleA(nullptr);
    // When no helper can be written or started, the staged file waits, and a
    // later run, finding the updater still different from its list, fetches
    // and stages it again.
    StartHelper(resources, FSelfUpdateFile, ownPath, GetCurrentProcessId(), [this] { view_.ProcessMessages(); });
}

}  // namespace tallowfin
