#include "control/error_text.h"

namespace tallowfin {

std::string ErrorBoxText(std::string message, LeadBytePredicate isLeadByte)
{
    if (message.empty()) return message;
    // Find where the last character begins, stepping over double-byte
    // characters whole so that a trail byte is never taken for a character.
    std::size_t last = 0;
    for (std::size_t i = 0; i < message.size();) {
        last = i;
        const bool lead = isLeadByte && isLeadByte(static_cast<unsigned char>(message[i])) && i + 1 < message.size();
        i += lead ? 2 : 1;
    }
    if (static_cast<unsigned char>(message[last]) > static_cast<unsigned char>('.')) message.push_back('.');
    return message;
}

}  // namespace tallowfin
