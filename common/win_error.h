// Errors inside the program are exceptions that carry the Win32 error code.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace tallowfin {

// The system's message for an error code, with trailing blanks, control
// characters and full stops removed. Empty when the system has no text.
std::string SystemErrorText(DWORD code);

class WinError : public std::runtime_error {
public:
    WinError(DWORD code, const std::string& what);
    DWORD code() const noexcept { return code_; }

private:
    DWORD code_;
};

// Throws a WinError for GetLastError(), naming the operation that failed.
[[noreturn]] void ThrowLastError(const char* operation);

}  // namespace tallowfin
