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

// "staged" "target" pid, as the helper reads it.
std::string HelperParameters(std::string_view staged, std::string_view target, std::uint32_t processId);

}  // namespace tallowfin
