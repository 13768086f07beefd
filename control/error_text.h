// The text of the box that shows an error escaping a handler.
#pragma once

#include <string>

#include "common/lead_bytes.h"

namespace tallowfin {

// The message with a full stop appended when its last character sorts after
// "." (for a double-byte character, its lead byte counts).
std::string ErrorBoxText(std::string message, LeadBytePredicate isLeadByte);

}  // namespace tallowfin
