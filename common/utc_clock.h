// The clock the updater's trust decisions read: UTC seconds since 1970, the
// unit of a signed list's serial and expiry and of the kept list's age.
#pragma once

#include <chrono>
#include <cstdint>

namespace tallowfin {

// 0 for a clock set before 1970.
inline std::uint64_t UtcSecondsNow() noexcept
{
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

}  // namespace tallowfin
