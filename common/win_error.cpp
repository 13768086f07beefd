#include "common/win_error.h"

namespace tallowfin {

namespace {

std::string FormatFrom(DWORD flags, HMODULE module, DWORD code)
{
    char buffer[256] = {};
    DWORD n = FormatMessageA(flags | FORMAT_MESSAGE_IGNORE_INSERTS, module, code, 0, buffer,
                             sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty()) {
        unsigned char last = static_cast<unsigned char>(text.back());
        if (last > ' ' && last != '.') break;
        text.pop_back();
    }
    return text;
}

}  // namespace

std::string SystemErrorText(DWORD code)
{
    std::string text = FormatFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
    // The texts of internet errors live in the internet library's own message
    // table, not in the system's; without this a network failure would read as
    // an empty text.
    if (text.empty() && code >= 12000 && code < 12200) {
        if (HMODULE wininet = GetModuleHandleA("wininet.dll"))
            text = FormatFrom(FORMAT_MESSAGE_FROM_HMODULE, wininet, code);
    }
    return text;
}

WinError::WinError(DWORD code, const std::string& what) : std::runtime_error(what), code_(code) {}

void ThrowLastError(const char* operation)
{
    DWORD code = GetLastError();
    std::string text = SystemErrorText(code);
    throw WinError(code, std::string(operation) + " failed: " + (text.empty() ? std::to_string(code) : text));
}

}  // namespace tallowfin
