// A plain HTTP/1.1 GET over sockets (Winsock on Windows), enough to check what
// a server hands the updater: only http:// addresses, as the updater fetches.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tallowfin::publish {

struct HttpAddress {
    std::string host;
    std::string port = "80";
    std::string target = "/";  // path and query, ready to send
};

// Nothing when the address is not a usable http:// address. Characters that
// may not stand in a request line (blanks, non-ASCII bytes) are
// percent-encoded; "%" sequences already there are kept.
std::optional<HttpAddress> ParseHttpAddress(std::string_view url);

class HttpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using HttpBodySink = std::function<void(const char* data, std::size_t size)>;

// Sends a GET and returns the status of the reply; when it is 200 the body is
// handed to `body` piece by piece as it arrives. Throws HttpError when there
// is no complete reply: no connection, a malformed reply, a body cut short,
// or silence for longer than `timeout`.
int HttpGet(std::string_view url, const HttpBodySink& body,
            std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace tallowfin::publish
