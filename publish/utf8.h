// UTF-8 is the tool's one text encoding on every platform: file names, list
// values and arguments travel as UTF-8 bytes, and become file system paths only
// at the edge, so the same code serves Linux (byte names) and Windows (UTF-16).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tallowfin::publish {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsValidUtf8(std::string_view text);

void AppendUtf8(std::string& out, char32_t codePoint);

// The text in double quotes for a one-line message: control characters (a
// Linux file name may hold a line break) and invalid bytes appear as \xNN.
std::string Quoted(std::string_view text);

// Throws InputError when the text is not valid UTF-8.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

#ifdef _WIN32
// Text from and for the system's wide functions.
std::string Utf8FromWide(std::wstring_view wide);
std::wstring WideFromUtf8(std::string_view utf8);
#endif

}  // namespace tallowfin::publish
