// Publishing replaces a list that clients may be fetching at that moment: a
// half-written list would stall every one of them, so the new list appears
// whole or not at all.
#pragma once

#include <filesystem>
#include <string_view>

namespace tallowfin::publish {

// Writes `content` to a new file beside `target` and renames it over `target`
// once it is complete. On failure `target` is as it was, the temporary file is
// gone, and InputError says what went wrong.
void WriteFileAtomically(const std::filesystem::path& target, std::string_view content);

// The same with the content of the file `source`, copied.
void CopyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace tallowfin::publish
