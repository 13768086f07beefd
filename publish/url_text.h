// Addresses as the updater forms them: a "downurl" starting with "http://" or
// "https://" (any letter case) is taken whole; anything else is appended as it
// stands to the base address of the list.
#pragma once

#include <string>
#include <string_view>

namespace tallowfin::publish {

bool StartsWithNoCase(std::string_view text, std::string_view prefix);

bool IsAbsoluteAddress(std::string_view address);

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
