#include "common/lead_bytes.h"

namespace tallowfin {

bool IsCp949LeadByte(unsigned char byte) noexcept { return byte >= 0x81 && byte <= 0xFE; }

}  // namespace tallowfin
