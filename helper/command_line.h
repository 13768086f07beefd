// Reads a raw command line into arguments the way the replacement helper
// expects its callers to write it: tokens separated by characters 1 to 32
// outside double quotes, quotes opening and closing anywhere in a token, no
// escape character, and an empty "" at the start of a token dropped. Double-byte
// characters of the ANSI code page are stepped over whole, so a trail byte is
// never taken for a quote or a separator.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/lead_bytes.h"

namespace tallowfin {

// The arguments after the program's own name (which is read by the same rules
// and skipped). Counting stops at the first empty token, so an empty quoted
// argument does not count.
std::vector<std::string> SplitCommandLine(std::string_view commandLine, LeadBytePredicate isLeadByte);

}  // namespace tallowfin
