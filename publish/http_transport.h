// One HTTP GET through the system's internet library (libcurl on Linux,
// WinINet on Windows), with the system's proxy settings and no cache, and
// without following redirects: verify follows them itself, by the updater's
// rules (http_reply.h), so that it can tell which one a client would refuse.
#pragma once

#include "publish/http_reply.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tallowfin::publish {

struct HttpExchange {
    HttpResponse response;     // the final head of the reply, once `headComplete`
    bool headComplete = false;
    std::string redirectTarget;  // the Location resolved against the address, when there is one
    std::uint64_t bodyBytes = 0; // what reached `body`
    bool bodyRefused = false;    // `wantBody` said no, and the transfer was ended there
    std::string failure;         // what went wrong, when the exchange did not end normally
    bool timedOut = false;       // it ended because the deadline came
};

// Called once, when the final head has arrived: true to take the body.
using WantBody = std::function<bool(const HttpResponse&)>;
using BodySink = std::function<void(const char* data, std::size_t size)>;

class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    // Gives up at `deadline` whatever the server does, and after `maxBytes`
    // of body.
    virtual HttpExchange Get(const std::string& url, std::chrono::steady_clock::time_point deadline,
                             std::uint64_t maxBytes, const WantBody& wantBody, const BodySink& body) = 0;
};

std::unique_ptr<HttpTransport> SystemHttpTransport();

}  // namespace tallowfin::publish
