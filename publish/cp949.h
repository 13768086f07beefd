// The updater converts every list value from Unicode into the ANSI code page
// 949 (Korean) before it uses it; a character that code page lacks becomes a
// stand-in, and the file name or folder it belongs to is then wrong.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallowfin::publish {

// The first character of the UTF-8 text that does not survive a round trip
// through code page 949, or nothing when the whole text does. Text that is not
// valid UTF-8 fails at its first byte.
std::optional<std::string> FirstCharacterNotInCp949(std::string_view utf8);

}  // namespace tallowfin::publish
