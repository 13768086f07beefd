// How the updater hands its own replacement to the helper: where the new copy
// is staged, and the command line the helper is given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowfin {

inline constexpr char kHelperFile[] = "UpdateMgr.exe";
inline constexpr char kHelperResourceType[] = "EXE";
inline constexpr char kHelperResourceName[] = "VESTRAMOLIN";

// The executable's path with its extension replaced by ".Update" (appended
// when it has none, or when that would name the executable itself): beside
// the executable it is to replace.
std::string StagedPathFor(std::string_view executablePath);

// How long the helper keeps trying to put the staged file in place while the
// executable is still held: the system keeps a program's image busy for a
// moment after it has ended, and a virus scanner may hold a new file for a
// few seconds.
inline constexpr std::uint32_t kReplaceRetryIntervalMs = 250;
inline constexpr std::uint32_t kReplaceRetryLimitMs = 15000;

// Whether a replacement that failed with this system error code may succeed
// when tried again: the file is in use, locked or on its way out. Any other
// failure (the staged file missing, a path that names nothing) stays. Here in
// full so that the helper, which must stay small, links nothing for it; the
// codes are spelt out because this header is built for other systems too.
constexpr bool ReplacementMayStillSucceed(std::uint32_t error)
{
    constexpr std::uint32_t kAccessDenied = 5;       // a running image, or a file being deleted
    constexpr std::uint32_t kSharingViolation = 32;  // open without sharing deletion
    constexpr std::uint32_t kLockViolation = 33;
    constexpr std::uint32_t kDeletePending = 303;
    constexpr std::uint32_t kUserMappedFile = 1224;  // mapped into a process
    return error == kAccessDenied || error == kSharingViolation || error == kLockViolation ||
           error == kDeletePending || error == kUserMappedFile;
}

// "staged" "target" pid, as the helper reads it.
std::string HelperParameters(std::string_view staged, std::string_view target, std::uint32_t processId);

}  // namespace tallowfin
