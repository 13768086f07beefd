// An internet layer that asks for the file list only if it changed. It sits
// between the worker and the system's layer: every request passes through
// unchanged except the list's, which carries If-None-Match and
// If-Modified-Since from the copy kept by the last run that fetched it. A
// "304 Not Modified" reply is then read as the kept copy, byte for byte, as
// if the list had arrived again, so the worker, its events and the reader see
// a fetch like any other. A whole list fetched with a 200 reply becomes the
// new kept copy (common/kept_file.h), with the validators kept_list.h lets
// through. A kept copy that is missing, damaged, of another address or kept
// longer than a week ago makes the request unconditional.
//
// Used by one worker at a time, on that worker's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/utc_clock.h"
#include "download/internet.h"

namespace tallowfin {

class KeptListInternet final : public InternetLayer {
public:
    // The clock the age of a kept copy is told by: UTC seconds since 1970.
    using Clock = std::function<std::uint64_t()>;

    // `listUrl`: the address whose reply is kept; `keptFile`: where; empty
    // for nowhere, and then every request passes through unchanged.
    KeptListInternet(InternetLayer& inner, std::string listUrl, std::string keptFile, Clock clock = UtcSecondsNow);

    Handle Open(const char* agent) override;
    Handle OpenUrl(Handle session, const char* url) override;
    Handle OpenUrlWithHeaders(Handle session, const char* url, const std::string& headers) override;
    unsigned StatusCode(Handle url) override;
    std::string HeaderValue(Handle url, const char* name) override;
    std::uint32_t BodyLength(Handle url) override;
    void Rewind(Handle url) override;
    bool Read(Handle url, void* buffer, std::uint32_t size, std::uint32_t& count) override;
    void Close(Handle handle) override;
    void Abandon(Handle url) override;

private:
    struct Stream;
    void Keep(Stream& stream);

    InternetLayer& inner_;
    const std::string listUrl_;
    const std::string keptFile_;
    const Clock clock_;
};

}  // namespace tallowfin
