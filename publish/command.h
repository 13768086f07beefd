// The command line of tallowfin-publish, apart from the process entry point so
// tests run it like a user does.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tallowfin::publish {

// Exit statuses: 0 done, 1 verify found problems, 2 bad arguments or input,
// 3 an unexpected failure of the tool itself.
int RunPublishCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tallowfin::publish
