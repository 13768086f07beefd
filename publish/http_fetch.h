// One file fetched over HTTP as the updater fetches it: redirects followed by
// its rules, the body taken only from a reply it would take, whole and
// within a time limit. Shared by verify's check of the served files and by
// the reading of the served list and its signature.
#pragma once

#include "publish/http_transport.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace tallowfin::publish {

struct FetchOutcome {
    enum class State { Found, Missing, Failed };
    State state = State::Failed;
    // Why not found, beginning with the address it concerns.
    std::string detail;
    int status = 0;            // of the final reply, once one arrived
    std::uint64_t length = 0;  // of the body, when found
};

// Hands the body to `body` as it arrives; a body longer than `largest` is
// not taken, and the outcome says so.
FetchOutcome FetchAsUpdater(HttpTransport& transport, const std::string& url, std::chrono::milliseconds timeLimit,
                            std::uint64_t largest, const BodySink& body);

}  // namespace tallowfin::publish
