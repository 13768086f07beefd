// Lead bytes: the first byte of a double-byte character of an ANSI code page.
// Text in such a code page is stepped over a character at a time: the second
// byte of a Korean character can be a letter's, a backslash's or a quote's
// byte, and must never be taken for one.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace tallowfin {

// Whether a byte begins a double-byte character; the rules that read ANSI
// text take one, so that they are tested natively with a code page's table.
using LeadBytePredicate = bool (*)(unsigned char);

// Lead bytes of code page 949 (Korean).
bool IsCp949LeadByte(unsigned char byte) noexcept;

#ifdef _WIN32
// Lead bytes of the system's ANSI code page, the one the program's text is in.
inline bool IsLeadByteOfAnsiCodePage(unsigned char byte) noexcept { return IsDBCSLeadByte(byte) != FALSE; }
#endif

}  // namespace tallowfin
