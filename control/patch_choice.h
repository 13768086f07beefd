// Which of an entry's patches the updater fetches in place of the file: one
// whose base is the installed file. Pure functions on plain values, tested
// natively; the list reader and the installation call them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "download/update_record.h"

namespace tallowfin {

// A "patch" element of an entry: its attributes, where present, and its text.
// Nothing when it cannot serve: a base that is no MD5 digest, a size that is
// no length, a digest given and malformed, an empty address. A list reader
// that does not know patches ignores them, so a malformed one fails nothing.
std::optional<TListedPatch> ReadListedPatch(const std::optional<std::string>& base,
                                            const std::optional<std::string>& baseSha256,
                                            const std::optional<std::string>& size,
                                            const std::optional<std::string>& sha256, const std::string& url);

// The first patch whose base is the installed file (`installedMd5`, empty
// when there is none) and which is smaller than the whole file (`wholeSize`,
// where the list gives it). Under a signed list a patch serves only with both
// its SHA-256 and its base's, and the base's must be the installed file's:
// `installedSha256` is asked (it reads the file) only when a patch's MD5 base
// matches. None when no patch serves.
std::optional<TListedPatch> ChoosePatch(const std::vector<TListedPatch>& patches, const std::string& installedMd5,
                                        const std::optional<std::uint64_t>& wholeSize, bool signedList,
                                        const std::function<std::string()>& installedSha256);

}  // namespace tallowfin
