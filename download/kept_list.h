// The last file list fetched, kept between runs with what the server said to
// identify that version of it (its entity tag and last-modified date), so
// that the next run can ask for the list only if it changed and take the
// kept copy when the server answers "not modified". Plain values; the
// internet layer that uses it is kept_list_internet.*.
#pragma once

#include "common/limits.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowfin {

struct KeptList {
    std::string url;           // the address it was fetched from
    std::string entityTag;     // the reply's ETag, as sent; may be empty
    std::string lastModified;  // the reply's Last-Modified, as sent; may be empty
    std::string body;
    bool operator==(const KeptList&) const = default;
};

// No list larger than the reader accepts is worth keeping.
inline constexpr std::size_t kLargestKeptList = limits::kLargestList;
// Longer validators are not kept: no server needs them, and they would only
// lengthen every request.
inline constexpr std::size_t kLongestValidator = 512;

// The kept file's bytes: the fields in a sealed record (common/sealed_record.h).
std::string KeptListBytes(const KeptList& list);
// Nothing when the bytes are not exactly such a file: a copy that is
// missing, cut short, foreign, of another version or altered is never used.
std::optional<KeptList> ReadKeptList(std::string_view bytes);

// Whether a validator can go back to the server as it came: printable ASCII
// only (no line break that would start a header of its own), and not longer
// than kLongestValidator.
bool IsSendableValidator(std::string_view value);

// The header lines ("Name: value" and CR LF each) that ask for the list only
// if it changed since this copy: If-None-Match with the entity tag and
// If-Modified-Since with the date, each when it is present and sendable.
// Empty when there is nothing to ask with.
std::string ConditionalHeaders(const KeptList& list);

}  // namespace tallowfin
