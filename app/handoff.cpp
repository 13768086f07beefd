#include "app/handoff.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/handle.h"
#include "common/int_text.h"

namespace tallowfin {

std::int32_t ReadMainProgramWindow()
{
    // Opened through "create" so that a missing key is made (empty) rather
    // than failing; if it cannot be opened at all, nothing is found.
    HKEY raw = nullptr;
    RegKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kRegistryKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &raw, nullptr) == ERROR_SUCCESS)
        key.reset(raw);

    std::string text;
    DWORD type = 0;
    DWORD size = 0;
    if (key && RegQueryValueExA(key.get(), kHandleValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        size > 0) {
        std::vector<char> data(size);
        if (RegQueryValueExA(key.get(), kHandleValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
            ERROR_SUCCESS) {
            if (type != REG_SZ && type != REG_EXPAND_SZ)
                throw RegistryTypeError(std::string("Invalid data type for '") + kHandleValue + "'");
            data.resize(size);
            text.assign(data.data(), std::find(data.begin(), data.end(), '\0') - data.begin());
        }
    }
    return ReadIntegerText<std::int32_t>(text);
}

void HandOffToMainProgram()
{
    const std::int32_t handle = ReadMainProgramWindow();
    // A 32-bit handle widens with its sign, as the system's own handles do.
    if (handle != 0) SendMessageA(reinterpret_cast<HWND>(static_cast<INT_PTR>(handle)), kHandOffMessage, 0, 0);
}

}  // namespace tallowfin
