// Address texts as the publisher writes and checks them. The updater's own
// rules (which addresses are absolute, how a relative one is joined to the
// base, which redirects are refused) are download/url_rules.h, used here too.
#pragma once

#include <string>
#include <string_view>

namespace tallowfin::publish {

bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// Why the updater would resolve this relative address otherwise than its
// author meant (another scheme, a "//host" reference), glued to the base as
// it stands; empty when it would not.
std::string RelativeAddressProblem(std::string_view address);

// Why the updater would not fetch this address as meant: RelativeAddressProblem,
// or a blank, control or non-ASCII byte, which it would send in code page 949;
// empty when it would.
std::string DownloadAddressProblem(std::string_view address);

// Percent-encodes every byte but the unreserved characters and "/", so the
// UTF-8 bytes of a file name reach the server unchanged.
std::string PercentEncodePath(std::string_view utf8);

// Decodes "%XX" sequences; a "%" not followed by two hexadecimal digits
// stays as it is, as servers treat it.
std::string PercentDecode(std::string_view text);

}  // namespace tallowfin::publish
