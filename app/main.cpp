// The updater's entry. Decides once whether the product's main program runs:
// if so, it only hands off to it; otherwise it starts the update run with its
// form hidden and its icon in the notification area.
#include <windows.h>

#include <iterator>

#include "app/handoff.h"
#include "common/com_ptr.h"
#include "common/file_system.h"
#include "common/handle.h"
#include "common/lead_bytes.h"
#include "common/path_rules.h"
#include "control/application.h"
#include "control/main_window.h"
#include "digestcache/cache_location.h"
#include "digestcache/user_cache_folder.h"
#include "download/internet.h"
#include "download/kept_list_internet.h"
#include "helper/command_line.h"

#ifndef TALLOWFIN_UPDATE_URL
#define TALLOWFIN_UPDATE_URL "http://update.tallowfin.example/software/Tallowfin/"
#endif

namespace {

using namespace tallowfin;

#ifdef TALLOWFIN_LIST_KEYS_INC
// The keys the build took from TALLOWFIN_LIST_KEYS: file lists must be
// signed with one of them.
constexpr P256PublicKey kListKeys[] = {
#include TALLOWFIN_LIST_KEYS_INC
};
#endif

int RunUpdate(HINSTANCE instance)
{
    ComApartment com;  // the file-list reader's parser lives on this thread
    TApplication app(instance);
    app.ShowMainForm = false;  // the controller shows the form when there is something to fetch

    TMainForm::Settings settings;
    settings.BaseUrl = TALLOWFIN_UPDATE_URL;
    settings.OwnPath = OwnExecutablePath();
#ifdef TALLOWFIN_LIST_KEYS_INC
    settings.ListKeys.assign(std::begin(kListKeys), std::end(kListKeys));
#endif
#ifdef TALLOWFIN_LIST_SERIAL_FLOOR
    settings.ListSerialFloor = TALLOWFIN_LIST_SERIAL_FLOOR;
#endif
    const auto arguments = SplitCommandLine(GetCommandLineA(), IsLeadByteOfAnsiCodePage);
    if (!arguments.empty()) settings.FirstArgument = arguments.front();
    // What is kept between runs: the digests of the installed files, and the
    // last list fetched, asked for again only if it changed.
    settings.CacheFolder = UserCacheFolder(ProgramDirectoryOf(settings.OwnPath), settings.BaseUrl);
    KeptListInternet internet(SystemInternet(), settings.BaseUrl + "filelist.xml",
                              settings.CacheFolder.empty() ? "" : settings.CacheFolder + "\\" + kKeptListFile);

    MainWindow form(app, internet, std::move(settings));
    app.Run();
    // A worker may still run: the user left during a pass, or the download
    // worker is on its way out of its terminate handler. It is not waited
    // for, but it refers to the form's records and the application's door:
    // the process ends here, and the worker with it, before either is
    // destroyed under it.
    if (form.Form().WebThread()) form.EndProcessNow();
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    try {
        KernelHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kMainProgramMutex));
        if (mutex) {
            HandOffToMainProgram();
            return 0;
        }
        return RunUpdate(instance);
    } catch (const std::exception& error) {
        MessageBoxA(nullptr, error.what(), "Application Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
        return 1;
    } catch (...) {
        MessageBoxA(nullptr, "Unknown error", "Application Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
        return 1;
    }
}
