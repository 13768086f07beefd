// Registering a COM server DLL outside the updater: the system's registrar
// (regsvr32, which loads the DLL in a process of the DLL's own architecture)
// runs it in a child process with a time limit, so that a DLL that crashes or
// hangs in its DllRegisterServer fails its own registration and nothing else.
#pragma once

#include <cstdint>
#include <string>

namespace tallowfin {

enum class RegistrationOutcome {
    kRegistered,  // the registrar called the entry and it succeeded
    kRefused,     // the registrar ended with its own verdict: no entry, not loadable, the entry failed
    kUnfinished,  // the registrar crashed, hung past the limit or could not be started
};

inline constexpr std::uint32_t kRegistrationTimeLimitMs = 30000;
// A registration that does not finish is tried again on at most two later
// runs, then given up.
inline constexpr std::uint32_t kMostRegistrationAttempts = 3;

// The registrar's exit codes: 0 for success, 1 to 5 for the verdicts it
// reaches itself (arguments, OLE, loading, the entry missing, the entry
// failing). Anything else is an exception code (a crash) or a code of no
// registrar.
constexpr RegistrationOutcome OutcomeOfRegistrarExit(std::uint32_t exitCode)
{
    if (exitCode == 0) return RegistrationOutcome::kRegistered;
    if (exitCode <= 5) return RegistrationOutcome::kRefused;
    return RegistrationOutcome::kUnfinished;
}

// Runs the system's registrar on `dllPath`, silently, in the DLL's folder,
// and waits at most `limitMs`; a registrar still running then is ended.
RegistrationOutcome RegisterInChildProcess(const std::string& dllPath,
                                           std::uint32_t limitMs = kRegistrationTimeLimitMs);

}  // namespace tallowfin
