// The list and its signature as the server serves them now, fetched as the
// updater fetches them ("filelist.xml" and "filelist.xml.sig" at the base
// address). "make --url" reads the served serial so that a new publication
// never goes below it; "verify --url" checks that what clients get is the
// list it verified, signed so that they take it.
#pragma once

#include "publish/http_fetch.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tallowfin::publish {

struct ServedBody {
    std::string url;
    FetchOutcome outcome;
    std::string bytes;  // when found
};

struct ServedPublication {
    ServedBody list;
    std::optional<ServedBody> signature;  // when asked for
};

// Throws InputError for a base that is not an http:// or https:// address.
ServedPublication FetchServedPublication(std::string base, std::chrono::milliseconds timeLimit, bool withSignature,
                                         HttpTransport& transport);
ServedPublication FetchServedPublication(std::string base, std::chrono::milliseconds timeLimit, bool withSignature);

// The serial of the served list; none when the server has no list (404) or
// serves one without a serial. Throws InputError when it cannot be told:
// the server cannot be reached or answers otherwise, or the list cannot be
// read, since a publication that went below the served serial would be
// refused by every client that took it.
std::optional<std::uint64_t> ServedListSerial(const ServedBody& list);

}  // namespace tallowfin::publish
