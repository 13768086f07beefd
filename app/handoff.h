// When the product's main program already runs, the updater updates nothing:
// it tells the main program's window and ends.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tallowfin {

inline constexpr char kMainProgramMutex[] = "KESTAL_TALLOWFIN_BETA";
inline constexpr char kRegistryKey[] = "Software\\Kestal\\Tallowfin";
inline constexpr char kHandleValue[] = "HWND";
inline constexpr unsigned kHandOffMessage = 0x0400 + 3;  // WM_USER + 3

// Raised when the registry value is not text.
class RegistryTypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The main program's window handle as it left it in the registry, read as a
// 32-bit signed number; 0 when there is none. Creates the key when missing.
std::int32_t ReadMainProgramWindow();

// Sends the hand-off message to the main program's window, if there is one.
void HandOffToMainProgram();

}  // namespace tallowfin
