// A small HTTP/1.1 server for the tests: serves a directory by path for any
// host, takes absolute-form request targets as a proxy receives them, records
// every request, and injects faults per path. Bound to 127.0.0.1 on a free port.
// Files come with an ETag and a Last-Modified date, as web servers send them,
// and a request whose If-None-Match (or, without one, If-Modified-Since)
// matches them is answered "304 Not Modified": as common servers match, "*"
// matches any file and tags are compared weakly (W/ or not). A request for
// "Range: bytes=N-" (or N-M) gets the part with 206 and Content-Range, unless
// its If-Range names another version (compared strongly: the exact tag, or
// the exact date), which gets the whole file with 200; a range that begins
// past the end gets 416. Every reply's bytes are counted as they are sent.
//
// Threads: one accepts, one serves each connection. None is ever joined:
// each holds the server's state (a shared block) for as long as it runs, so
// it can outlive the server object without touching freed memory, and Stop
// waits for them only up to a bound. A thread the system cannot join, or one
// stuck in a peer's socket, can then neither end nor hang the test program.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tallowfin::test {

struct Fault {
    int status = 0;                  // answer with this status and a small error page
    std::string location{};          // with a 3xx status: where the answer sends the client
    std::int64_t cutAfter = -1;      // announce the full length, send this many body bytes, close
    bool noContentLength = false;    // send the body without a length, ended by closing
    int delayMs = 0;                 // wait before answering
    std::int64_t stallAfter = -1;    // send this many body bytes, then stall for stallMs
    int stallMs = 0;
    std::int64_t bytesPerSecond = 0; // limit the body's rate (0: unlimited)
    std::string rawReply{};          // send exactly these bytes instead of a reply, then close
    std::int64_t announcedLength = -1;  // announce this length, whatever the body's
    bool noValidators = false;       // send no ETag or Last-Modified, and never answer 304
    std::string entityTag{};         // send this ETag instead of the file's own ("*", a weak tag W/"...")
    bool noRanges = false;           // answer every request with the whole file, as servers without ranges do
    std::int64_t partFrom = -1;      // answer a range request with the part from this byte, whatever was asked
    int uses = -1;                   // apply to this many requests, then no more (-1: to every one)
};

struct Request {
    std::string method;
    std::string target;  // as sent: absolute form through a proxy
    std::string path;    // the target's path, percent-decoded
    std::string head;    // the raw request head, exactly as received
    std::chrono::steady_clock::time_point at;  // when the head had arrived
    int status = 0;                  // of the answer, once decided
    std::int64_t bytesSent = 0;      // of the answer, head and body, as they went out
    std::string Header(const std::string& name) const;  // first value, exact bytes; empty if absent
    bool HasHeader(const std::string& name) const;
};

class HttpServer {
public:
    explicit HttpServer(std::filesystem::path root, std::uint16_t port = 0);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string ProxyAddress() const;  // "http://127.0.0.1:PORT"

    void SetFault(const std::string& path, const Fault& fault);
    // Called (on a connection's thread) for every request as it arrives.
    void SetRequestObserver(std::function<void(const Request&)> observer);
    // The fault of every path that has none of its own.
    void SetDefaultFault(const Fault& fault);
    void ClearFaults();
    std::vector<Request> Requests() const;
    std::size_t CountRequests(const std::string& path) const;
    // The bytes sent in answer to the requests for `path` (all paths when empty).
    std::int64_t BytesSent(const std::string& path = {}) const;
    // Called (on a connection's thread) for every request once its answer
    // has been sent or the connection has ended.
    void SetReplyObserver(std::function<void(const Request&)> observer);
    void ClearRequests();

    // Refuses new connections and ends the ones in progress, waiting at most
    // a few seconds for their threads to finish.
    void Stop();

private:
    struct State;
    static void AcceptLoop(const std::shared_ptr<State>& state);
    static void Serve(const std::shared_ptr<State>& state, std::intptr_t client);

    std::uint16_t port_ = 0;
    std::shared_ptr<State> state_;
};

}  // namespace tallowfin::test
