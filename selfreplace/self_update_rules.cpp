#include "selfreplace/self_update_rules.h"

#include "common/path_rules.h"

namespace tallowfin {

std::string StagedPathFor(std::string_view executablePath)
{
    const std::string extension = ExtensionOf(executablePath);
    std::string staged = std::string(executablePath.substr(0, executablePath.size() - extension.size())) + ".Update";
    // An executable that itself ends in ".Update" would be staged over
    // itself, and the helper would then delete it after the copy: the new
    // copy goes beside it instead.
    if (AsciiLower(staged) == AsciiLower(executablePath)) staged = std::string(executablePath) + ".Update";
    return staged;
}

std::string HelperParameters(std::string_view staged, std::string_view target, std::uint32_t processId)
{
    std::string parameters;
    parameters.append("\"").append(staged).append("\" \"").append(target).append("\" ");
    parameters.append(std::to_string(processId));
    return parameters;
}

}  // namespace tallowfin
