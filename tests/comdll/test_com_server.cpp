// A COM server DLL for the installation tests. Its registration entry records
// the call, with the path the DLL was loaded from, in "registrations.log" in
// the folder given by TALLOWFIN_REGISTRATION_LOG (or beside the DLL).
// TALLOWFIN_REGISTRATION_DELAY_MS makes the registration wait that long
// before it is made. Built four ways: one that registers, one whose
// registration fails, one that crashes in it, and one without the entry.
#include <windows.h>

#include <string>

#include "common/handle.h"

namespace {

HMODULE self = nullptr;

#ifndef TEST_NO_ENTRY
void Record(const char* what)
{
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(self, path, MAX_PATH);
    std::string folder;
    char configured[MAX_PATH + 1] = {};
    if (GetEnvironmentVariableA("TALLOWFIN_REGISTRATION_LOG", configured, MAX_PATH) > 0) folder = configured;
    else folder = std::string(path).substr(0, std::string(path).rfind('\\'));
    const std::string log = folder + "\\registrations.log";
    tallowfin::FileHandle file(CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string line = std::string(what) + " " + path + "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
#endif

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) self = instance;
    return TRUE;
}

#ifndef TEST_NO_ENTRY
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer()
{
#if !defined(TEST_CRASH)
    // A registration that takes its time, so that a test can end the
    // updater in the middle of it, or see it ended for taking too long.
    char delay[16] = {};
    if (GetEnvironmentVariableA("TALLOWFIN_REGISTRATION_DELAY_MS", delay, sizeof delay) > 0) Sleep(std::stoul(delay));
#endif
#if defined(TEST_FAILING)
    Record("failed-register");
    return E_FAIL;
#elif defined(TEST_CRASH)
    Record("crash");
    *static_cast<volatile int*>(nullptr) = 1;
    return E_FAIL;
#else
    Record("register");
    return S_OK;
#endif
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    Record("unregister");
    return S_OK;
}
#endif
