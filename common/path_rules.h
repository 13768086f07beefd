// The updater's rules for Windows paths held as ANSI text. Pure functions on
// plain values, shared with the publishing tool and tested natively.
#pragma once

#include <string>
#include <string_view>

#include "common/lead_bytes.h"

namespace tallowfin {

// Only the letters A to Z and a to z change; other bytes (code page 949 text
// included) stay as they are.
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);

// Whether two paths name the same text when the letters A to Z are taken
// without their case. A byte that follows a lead byte of the code page is the
// second half of a double-byte character and is compared as it is: in code
// page 949 it can be a letter's byte, and folding it would make two different
// Korean names equal.
bool SamePathText(std::string_view a, std::string_view b, LeadBytePredicate isLeadByte);

// The directory of an executable: its path up to, not including, the last
// backslash; at the root of a drive the backslash stays ("C:\").
std::string ProgramDirectoryOf(std::string_view exePath);

// Replaces every "%PROGRAM%" (upper case only), left to right, without looking
// again into what was put in.
std::string ExpandProgramPath(std::string_view path, std::string_view programDirectory);

// The extension: from the last "." that stands after the last "\" or ":", dot
// included; empty when there is none.
std::string ExtensionOf(std::string_view path);

// Collapses every pair of backslashes into one, scanning once from left to
// right over non-overlapping pairs; a leading pair (a network path
// "\\server\share") is kept as it is.
std::string CollapseDoubledBackslashes(std::string_view path);

// A file `name` in `folder`, with one backslash between them ("C:\" keeps its own).
std::string JoinPath(std::string_view folder, std::string_view name);

// The last part of a path: what follows its last backslash or colon (the
// separators ExtensionOf stops at).
std::string_view FileNameOf(std::string_view path);

}  // namespace tallowfin
