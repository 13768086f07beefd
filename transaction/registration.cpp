#include "transaction/registration.h"

#include <windows.h>

#include "common/handle.h"
#include "common/path_rules.h"

namespace tallowfin {

namespace {

std::string Registrar()
{
    // The system folder as this process sees it: under WOW64 the 32-bit one,
    // whose registrar hands a 64-bit DLL on to the 64-bit registrar itself.
    char folder[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryA(folder, sizeof folder);
    if (n == 0 || n > MAX_PATH) return {};
    return JoinPath(std::string(folder, n), "regsvr32.exe");
}

// The error mode children inherit, set for the moment one is made: a crash in
// a DLL's entry must end the registrar, not wait behind a dialog nobody sees.
class QuietChildErrors {
public:
    QuietChildErrors() : previous_(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX))
    {
    }
    ~QuietChildErrors() { SetErrorMode(previous_); }
    QuietChildErrors(const QuietChildErrors&) = delete;
    QuietChildErrors& operator=(const QuietChildErrors&) = delete;

private:
    UINT previous_;
};

}  // namespace

RegistrationOutcome RegisterInChildProcess(const std::string& dllPath, std::uint32_t limitMs)
{
    const std::string registrar = Registrar();
    if (registrar.empty()) return RegistrationOutcome::kUnfinished;
    std::string commandLine = "\"" + registrar + "\" /s \"" + dllPath + "\"";
    // The DLL's folder is the registrar's current one: the DLLs it depends on
    // that lie beside it are found there, as they were when the updater
    // loaded it from the program's folder.
    const std::string folder = ProgramDirectoryOf(dllPath);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    // The registrar lives in a job that ends it with the updater: a run that
    // is killed leaves no registration going on behind the next run's back.
    KernelHandle job(CreateJobObjectA(nullptr, nullptr));
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) job.reset();
    }
    BOOL started = FALSE;
    {
        QuietChildErrors quiet;
        started = CreateProcessA(registrar.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                 CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder.empty() ? nullptr : folder.c_str(),
                                 &startup, &info);
    }
    if (!started) return RegistrationOutcome::kUnfinished;
    KernelHandle process(info.hProcess), thread(info.hThread);
    // Without the job (a system that refuses nested jobs) it still runs, only
    // without that guarantee.
    if (job) AssignProcessToJobObject(job.get(), process.get());
    ResumeThread(thread.get());
    if (WaitForSingleObject(process.get(), limitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), ERROR_TIMEOUT);
        WaitForSingleObject(process.get(), 5000);
        return RegistrationOutcome::kUnfinished;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) return RegistrationOutcome::kUnfinished;
    return OutcomeOfRegistrarExit(exitCode);
}

}  // namespace tallowfin
