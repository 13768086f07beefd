#include "control/launch_rules.h"

#include "common/path_rules.h"

namespace tallowfin {

std::string MainProgramParameters(std::string_view firstArgument)
{
    if (AsciiUpper(firstArgument) == "-H") return std::string(kLaunchKey) + " -H";
    return kLaunchKey;
}

std::string DirectoryWithBackslash(std::string_view exePath)
{
    const auto slash = exePath.rfind('\\');
    return slash == std::string_view::npos ? std::string() : std::string(exePath.substr(0, slash + 1));
}

}  // namespace tallowfin
