#include "trust/accepted_serial.h"

#include <windows.h>

#include "common/handle.h"

namespace tallowfin {

std::uint64_t HighestAcceptedSerial() noexcept
{
    std::uint64_t serial = 0;
    DWORD type = 0;
    DWORD size = sizeof serial;
    if (RegGetValueA(HKEY_CURRENT_USER, kAcceptedSerialKey, kAcceptedSerialValue, RRF_RT_QWORD, &type, &serial,
                     &size) != ERROR_SUCCESS)
        return 0;
    return serial;
}

void RecordAcceptedSerial(std::uint64_t serial) noexcept
{
    if (serial <= HighestAcceptedSerial()) return;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kAcceptedSerialKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    const RegKey owned(key);
    RegSetValueExA(owned.get(), kAcceptedSerialValue, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&serial),
                   sizeof serial);
}

}  // namespace tallowfin
