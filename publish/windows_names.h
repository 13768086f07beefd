// Names that a Linux folder may hold but Windows cannot create: a list that
// carries one makes the updater fail on every client, so the tool stops at it.
#pragma once

#include <string>
#include <string_view>

namespace tallowfin::publish {

// Why Windows cannot create a file or folder of this name, or empty when it can.
std::string WindowsNameProblem(std::string_view name);

}  // namespace tallowfin::publish
