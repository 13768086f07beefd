// How the main program is started at the end of a successful run.
#pragma once

#include <string>
#include <string_view>

namespace tallowfin {

inline constexpr char kMainProgram[] = "TallowfinMain.exe";
inline constexpr char kLaunchKey[] = "-K:qbzmwrtaxnle";

// The parameters of the main program, chosen by the updater's own first
// argument: "-H" in either case is passed on after the launch key.
std::string MainProgramParameters(std::string_view firstArgument);

// The directory of an executable with its trailing backslash, where the main
// program lies beside the updater.
std::string DirectoryWithBackslash(std::string_view exePath);

}  // namespace tallowfin
