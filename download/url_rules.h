// The updater's rules for addresses: which are absolute, how a download
// address is made from the base, and which redirects are refused. Pure
// functions on plain values, tested natively.
#pragma once

#include <string>
#include <string_view>

namespace tallowfin {

// The scheme an address names, in lower case ("http", "https"), or empty when
// it names none: letters first, then letters, digits, "+", "-" or ".", then
// ":". A blank before the scheme means there is none.
std::string SchemeOf(std::string_view url);

// Whether an address is fetched as it stands: it begins with "http://" or
// "https://" in any letter case. Anything else, "https:x" included, names a
// file under the base address, as it always has.
bool IsAbsoluteUrl(std::string_view url);

// Builds the address of a record: a Url beginning with "http://" or
// "https://" in any case is absolute, anything else is appended to the base
// address as it stands.
std::string ResolveUrl(const std::string& baseUrl, const std::string& url);

// Whether a redirect from `from` to `to` leaves HTTPS for anything else. An
// address that names no scheme keeps the one it came from.
bool IsDowngrade(std::string_view from, std::string_view to);

}  // namespace tallowfin
