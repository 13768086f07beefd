// The last file list fetched, kept between runs with what the server said to
// identify that version of it (its entity tag and last-modified date) and
// when it arrived, so that the next run can ask for the list only if it
// changed and take the kept copy when the server answers "not modified".
// Plain values; the internet layer that uses it is kept_list_internet.*.
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
    std::string entityTag;     // the reply's ETag when it is a strong tag; may be empty
    std::string lastModified;  // the reply's Last-Modified when it is a date; may be empty
    std::string body;
    std::uint64_t keptAt = 0;  // when the body arrived whole, in UTC seconds since 1970
    bool operator==(const KeptList&) const = default;
};

// No list larger than the reader accepts is worth keeping.
inline constexpr std::size_t kLargestKeptList = limits::kLargestList;
// Longer validators are not kept: no server needs them, and they would only
// lengthen every request.
inline constexpr std::size_t kLongestValidator = 512;
// A kept copy older than this is not offered to the server: the list is
// fetched whole. A "not modified" that is not true (a proxy or cache that
// answers so for anything, a validator that matches more than one version)
// then keeps a stale or planted list for a week at most.
inline constexpr std::uint64_t kLongestKeptSeconds = 7 * 24 * 60 * 60;

// The kept file's bytes: the fields in a sealed record (common/sealed_record.h).
std::string KeptListBytes(const KeptList& list);
// Nothing when the bytes are not exactly such a file: a copy that is
// missing, cut short, foreign, of another version or altered is never used.
std::optional<KeptList> ReadKeptList(std::string_view bytes);

// The validators that are kept and sent back. Only a strong entity tag, a
// quoted text of visible ASCII without quotes ("..."): a weak one (W/"...")
// matches every version its server deems equivalent, and "*" matches any
// version at all, so a list once answered with it would be "not modified"
// for good. And only a date as servers must write it (IMF-fixdate,
// "Tue, 08 Dec 2026 09:00:00 GMT": a day that exists, named by its own day
// of the week). Neither longer than kLongestValidator.
bool IsStrongEntityTag(std::string_view value);
bool IsHttpDate(std::string_view value);

// Whether the kept copy may stand in for the list at `now` (UTC seconds):
// kept no longer than kLongestKeptSeconds ago, and not in the future, which
// a clock set back would make of it.
bool KeptListIsFresh(const KeptList& list, std::uint64_t now);

// The header lines ("Name: value" and CR LF each) that ask for the list only
// if it changed since this copy: If-None-Match with the entity tag and
// If-Modified-Since with the date, each when it is one the rules above keep.
// Empty when there is nothing to ask with.
std::string ConditionalHeaders(const KeptList& list);

}  // namespace tallowfin
