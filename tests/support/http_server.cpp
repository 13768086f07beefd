#include "tests/support/http_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLength = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketLength = socklen_t;
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

namespace tallowfin::test {

namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
void ShutdownSocket(Socket s) { shutdown(s, SD_BOTH); }
struct WinsockUser {
    WinsockUser()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
};
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) { close(s); }
void ShutdownSocket(Socket s) { shutdown(s, SHUT_RDWR); }
struct WinsockUser {};
#endif

Socket AsSocket(std::intptr_t s) { return static_cast<Socket>(s); }

#ifdef _WIN32
DWORD WINAPI RunDetachedTask(void* parameter)
{
    std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(parameter));
    (*owned)();
    return 0;
}
#endif

// Starts `task` on a thread nobody joins, which frees the task when it ends;
// false when no thread could be made. On Windows a thread of the system's own,
// as the updater's worker has: the threads library's join can fail there.
bool StartDetachedThread(std::unique_ptr<std::function<void()>>& task)
{
#ifdef _WIN32
    HANDLE thread = CreateThread(nullptr, 0, RunDetachedTask, task.get(), 0, nullptr);
    if (!thread) return false;
    task.release();
    CloseHandle(thread);
    return true;
#else
    try {
        std::thread([owned = std::move(task)] { (*owned)(); }).detach();
        return true;
    } catch (...) {
        return false;
    }
#endif
}

bool SendAll(Socket s, const char* data, std::size_t size)
{
    while (size > 0) {
        int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
#ifdef _WIN32
        int sent = send(s, data, chunk, 0);
#else
        int sent = static_cast<int>(send(s, data, static_cast<std::size_t>(chunk), MSG_NOSIGNAL));
#endif
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PathOfTarget(const std::string& target)
{
    std::string path = target;
    if (StartsWithNoCase(path, "http://")) {
        auto slash = path.find('/', 7);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    if (auto query = path.find('?'); query != std::string::npos) path.resize(query);
    std::string decoded;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 && HexValue(path[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2])));
            i += 2;
        } else {
            decoded.push_back(path[i]);
        }
    }
    return decoded;
}

bool IsUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                                    : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// A decoded path names a file: lists the publishing tool makes carry UTF-8,
// as a web server on Linux expects, while the updater sends code page 949
// bytes where a list holds such text. On Windows a narrow path is taken in
// the ANSI code page, so UTF-8 is converted explicitly.
std::filesystem::path PathOfRequest(const std::string& path)
{
    if (IsUtf8(path)) return std::filesystem::path(std::u8string(path.begin(), path.end()));
    return std::filesystem::path(path);
}

// What a web server says to identify a version of a file: a tag made of its
// time and size, and the time as an HTTP date.
struct Validators {
    std::string entityTag, lastModified;
};

Validators ValidatorsOf(const std::filesystem::path& file, std::int64_t size)
{
    std::error_code error;
    const auto written = std::filesystem::last_write_time(file, error);
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::file_clock::to_sys(written).time_since_epoch());
    char tag[64];
    std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(since.count()),
                  static_cast<unsigned long long>(size));
    const std::time_t seconds = static_cast<std::time_t>(since.count() / 1000000000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char date[64];
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return {tag, date};
}

// If-None-Match as servers judge it: "*" matches any file, and each tag of
// the list matches the file's by weak comparison (without W/ on either side).
bool NoneMatchMatches(const std::string& header, const std::string& tag)
{
    auto opaque = [](std::string text) {
        const auto first = text.find_first_not_of(" \t");
        const auto last = text.find_last_not_of(" \t");
        text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
        return text.rfind("W/", 0) == 0 ? text.substr(2) : text;
    };
    std::size_t from = 0;
    while (from <= header.size()) {
        const std::size_t comma = std::min(header.find(',', from), header.size());
        const std::string one = opaque(header.substr(from, comma - from));
        if (one == "*" || (!one.empty() && one == opaque(tag))) return true;
        from = comma + 1;
    }
    return false;
}

const char* ReasonOf(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 416: return "Range Not Satisfiable";
    case 304: return "Not Modified";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// The one range form clients send to resume: "bytes=FIRST-" or
// "bytes=FIRST-LAST"; LAST is -1 when open.
bool ReadRange(const std::string& value, std::int64_t& first, std::int64_t& last)
{
    if (value.rfind("bytes=", 0) != 0) return false;
    const std::string bounds = value.substr(6);
    const auto dash = bounds.find('-');
    if (dash == std::string::npos || dash == 0 || bounds.find_first_not_of("0123456789-") != std::string::npos) return false;
    try {
        first = std::stoll(bounds.substr(0, dash));
        last = dash + 1 == bounds.size() ? -1 : std::stoll(bounds.substr(dash + 1));
    } catch (...) {
        return false;
    }
    return last < 0 || last >= first;
}

}  // namespace

std::string Request::Header(const std::string& name) const
{
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        std::size_t start = pos + 2;
        std::size_t end = head.find("\r\n", start);
        std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        auto colon = line.find(':');
        if (colon != std::string::npos && colon == name.size() && StartsWithNoCase(line, name)) {
            std::size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            return line.substr(v);
        }
        pos = end;
    }
    return {};
}

bool Request::HasHeader(const std::string& name) const
{
    std::string marker = "\r\n" + name + ":";
    std::string lowerHead = head, lowerMarker = marker;
    for (auto* s : {&lowerHead, &lowerMarker})
        std::transform(s->begin(), s->end(), s->begin(), [](unsigned char c) { return std::tolower(c); });
    return lowerHead.find(lowerMarker) != std::string::npos;
}

// What the threads share with the server object, kept alive by each of them.
struct HttpServer::State {
    std::filesystem::path root;
    std::intptr_t listener = -1;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::condition_variable wake;  // stopping
    std::condition_variable idle;  // a thread ended
    std::size_t running = 0;       // threads started and not yet ended
    std::map<std::string, Fault> faults;
    Fault defaultFault;
    std::function<void(const Request&)> observer;
    std::function<void(const Request&)> replyObserver;
    std::vector<Request> requests;
    std::vector<std::intptr_t> openSockets;

    // Waits for `duration` unless the server stops first; false when it does.
    bool Wait(std::chrono::milliseconds duration)
    {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, duration, [this] { return stopping.load(); });
    }

    // Runs `body` on a new thread that holds `self` until it ends; false when
    // no thread could be made. The thread is never joined (see the header).
    static bool Launch(const std::shared_ptr<State>& self, std::function<void(const std::shared_ptr<State>&)> body)
    {
        {
            std::lock_guard lock(self->mutex);
            ++self->running;
        }
        auto task = std::make_unique<std::function<void()>>([self, body = std::move(body)] {
            try {
                body(self);
            } catch (...) {
                // An error ends this connection only, never the test program.
            }
            std::lock_guard lock(self->mutex);
            --self->running;
            self->idle.notify_all();
        });
        if (StartDetachedThread(task)) return true;
        std::lock_guard lock(self->mutex);
        --self->running;
        self->idle.notify_all();
        return false;
    }
};

HttpServer::HttpServer(std::filesystem::path root, std::uint16_t port) : state_(std::make_shared<State>())
{
    [[maybe_unused]] static WinsockUser winsock;
    state_->root = std::move(root);
    Socket listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == kNoSocket) throw std::runtime_error("socket failed");
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 64) != 0) {
        CloseSocket(listener);
        throw std::runtime_error("bind or listen failed");
    }
    SocketLength length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    state_->listener = static_cast<std::intptr_t>(listener);
    if (!State::Launch(state_, [](const std::shared_ptr<State>& state) { AcceptLoop(state); })) {
        CloseSocket(listener);
        throw std::runtime_error("the server's thread could not be started");
    }
}

HttpServer::~HttpServer() { Stop(); }

std::string HttpServer::ProxyAddress() const { return "http://127.0.0.1:" + std::to_string(port_); }

void HttpServer::SetFault(const std::string& path, const Fault& fault)
{
    std::lock_guard lock(state_->mutex);
    state_->faults[path] = fault;
}

void HttpServer::SetRequestObserver(std::function<void(const Request&)> observer)
{
    std::lock_guard lock(state_->mutex);
    state_->observer = std::move(observer);
}

void HttpServer::SetDefaultFault(const Fault& fault)
{
    std::lock_guard lock(state_->mutex);
    state_->defaultFault = fault;
}

void HttpServer::ClearFaults()
{
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

std::vector<Request> HttpServer::Requests() const
{
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t HttpServer::CountRequests(const std::string& path) const
{
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(std::count_if(state_->requests.begin(), state_->requests.end(),
                                                  [&](const Request& r) { return r.path == path; }));
}

std::int64_t HttpServer::BytesSent(const std::string& path) const
{
    std::lock_guard lock(state_->mutex);
    std::int64_t sent = 0;
    for (const Request& request : state_->requests)
        if (path.empty() || request.path == path) sent += request.bytesSent;
    return sent;
}

void HttpServer::SetReplyObserver(std::function<void(const Request&)> observer)
{
    std::lock_guard lock(state_->mutex);
    state_->replyObserver = std::move(observer);
}

void HttpServer::ClearRequests()
{
    std::lock_guard lock(state_->mutex);
    state_->requests.clear();
}

void HttpServer::Stop()
{
    State& state = *state_;
    if (state.stopping.exchange(true)) return;
    std::unique_lock lock(state.mutex);
    // The sockets are shut down, never closed, here: each is closed by the
    // thread that uses it, so no thread ever uses a number the system has
    // already given to another socket.
    for (auto s : state.openSockets) ShutdownSocket(AsSocket(s));
    state.wake.notify_all();
    // Long enough for a thread to leave a send or a wait; a thread that does
    // not is left to end on its own, holding the state.
    state.idle.wait_for(lock, std::chrono::seconds(10), [&] { return state.running == 0; });
}

void HttpServer::AcceptLoop(const std::shared_ptr<State>& state)
{
    const Socket listener = AsSocket(state->listener);
    while (!state->stopping) {
        // Asks every tenth of a second whether a client waits, so that Stop
        // is seen without closing the listener under this thread's feet.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval wait{0, 100000};
        const int ready = select(static_cast<int>(listener) + 1, &readable, nullptr, nullptr, &wait);
        if (ready <= 0) continue;
        Socket client = accept(listener, nullptr, nullptr);
        if (client == kNoSocket) continue;
        {
            std::lock_guard lock(state->mutex);
            if (state->stopping) {
                CloseSocket(client);
                break;
            }
            state->openSockets.push_back(static_cast<std::intptr_t>(client));
        }
        const auto handle = static_cast<std::intptr_t>(client);
        if (!State::Launch(state, [handle](const std::shared_ptr<State>& s) { Serve(s, handle); })) {
            std::lock_guard lock(state->mutex);
            state->openSockets.erase(std::remove(state->openSockets.begin(), state->openSockets.end(), handle),
                                     state->openSockets.end());
            CloseSocket(client);
        }
    }
    CloseSocket(listener);
}

void HttpServer::Serve(const std::shared_ptr<State>& state, std::intptr_t clientHandle)
{
    State& server = *state;
    Socket client = AsSocket(clientHandle);
    // Set once the request is recorded: where its answer is counted.
    std::size_t index = 0;
    bool recorded = false;
    auto finish = [&] {
        Request done;
        std::function<void(const Request&)> observer;
        {
            std::lock_guard lock(server.mutex);
            server.openSockets.erase(std::remove(server.openSockets.begin(), server.openSockets.end(), clientHandle), server.openSockets.end());
            if (recorded && index < server.requests.size()) {
                done = server.requests[index];
                observer = server.replyObserver;
            }
        }
        ShutdownSocket(client);
        CloseSocket(client);
        if (observer) observer(done);
    };

    std::string head;
    char chunk[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        int got = static_cast<int>(recv(client, chunk, sizeof chunk, 0));
        if (got <= 0) return finish();
        head.append(chunk, static_cast<std::size_t>(got));
    }
    head.resize(head.find("\r\n\r\n") + 2);

    Request request;
    request.head = head;
    request.at = std::chrono::steady_clock::now();
    std::string requestLine = head.substr(0, head.find("\r\n"));
    auto firstBlank = requestLine.find(' ');
    auto secondBlank = requestLine.find(' ', firstBlank + 1);
    request.method = requestLine.substr(0, firstBlank);
    request.target = firstBlank == std::string::npos ? "" : requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    request.path = PathOfTarget(request.target);

    Fault fault;
    {
        std::lock_guard lock(server.mutex);
        index = server.requests.size();
        recorded = true;
        server.requests.push_back(request);
        auto it = server.faults.find(request.path);
        fault = it != server.faults.end() ? it->second : server.defaultFault;
        if (it != server.faults.end() && it->second.uses > 0 && --it->second.uses == 0) server.faults.erase(it);
        if (server.observer) server.observer(request);
    }
    if (fault.delayMs > 0 && !server.Wait(std::chrono::milliseconds(fault.delayMs))) return finish();

    auto answered = [&](int status) {
        std::lock_guard lock(server.mutex);
        if (index < server.requests.size()) server.requests[index].status = status;
    };
    // Sends and counts what went out.
    auto send = [&](const char* data, std::size_t size) {
        while (size > 0) {
            const std::size_t chunk = std::min<std::size_t>(size, 256 * 1024);
            if (!SendAll(client, data, chunk)) return false;
            {
                std::lock_guard lock(server.mutex);
                if (index < server.requests.size()) server.requests[index].bytesSent += static_cast<std::int64_t>(chunk);
            }
            data += chunk;
            size -= chunk;
        }
        return true;
    };
    if (!fault.rawReply.empty()) {
        send(fault.rawReply.data(), fault.rawReply.size());
        return finish();
    }
    auto sendError = [&](int status) {
        answered(status);
        std::string body = "<html><body>" + std::to_string(status) + " " + ReasonOf(status) + "</body></html>";
        std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + ReasonOf(status) +
                            "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
                            (fault.location.empty() ? "" : "\r\nLocation: " + fault.location) +
                            "\r\nConnection: close\r\n\r\n" + body;
        send(reply.data(), reply.size());
    };
    if (fault.status != 0 && fault.status != 200) {
        sendError(fault.status);
        return finish();
    }

    // Refuse anything that would climb out of the served directory.
    std::filesystem::path relative = PathOfRequest(request.path).relative_path();
    bool climbs = false;
    for (const auto& part : relative) climbs = climbs || part == "..";
    std::filesystem::path file = server.root / relative;
    std::error_code error;
    if (climbs || request.path.empty() || request.path[0] != '/' || !std::filesystem::is_regular_file(file, error)) {
        sendError(404);
        return finish();
    }
    std::ifstream in(file, std::ios::binary);
    const auto length = static_cast<std::int64_t>(std::filesystem::file_size(file, error));
    Validators validators = ValidatorsOf(file, length);
    if (!fault.entityTag.empty()) validators.entityTag = fault.entityTag;
    std::string headers;
    if (!fault.noValidators)
        headers = "ETag: " + validators.entityTag + "\r\nLast-Modified: " + validators.lastModified + "\r\n";
    // As web servers decide: the tag when the client sent one, the date only
    // without it, and the date compared exactly.
    const bool unchanged = !fault.noValidators && (request.HasHeader("If-None-Match")
                                                       ? NoneMatchMatches(request.Header("If-None-Match"), validators.entityTag)
                                                       : request.Header("If-Modified-Since") == validators.lastModified);
    if (unchanged) {
        answered(304);
        const std::string reply = "HTTP/1.1 304 Not Modified\r\n" + headers + "Connection: close\r\n\r\n";
        send(reply.data(), reply.size());
        return finish();
    }

    // A range, when it is asked for the version the file still is.
    std::int64_t first = 0, last = length - 1;
    bool partial = false;
    if (std::int64_t askedFirst = 0, askedLast = 0;
        !fault.noRanges && ReadRange(request.Header("Range"), askedFirst, askedLast)) {
        const std::string ifRange = request.Header("If-Range");
        const bool sameVersion = !request.HasHeader("If-Range") ||
                                 (!fault.noValidators && (ifRange == validators.entityTag || ifRange == validators.lastModified));
        if (sameVersion && askedFirst >= length) {
            answered(416);
            const std::string reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(length) +
                                      "\r\nContent-Length: 0\r\n" + headers + "Connection: close\r\n\r\n";
            send(reply.data(), reply.size());
            return finish();
        }
        if (sameVersion) {
            partial = true;
            first = fault.partFrom >= 0 ? std::min(fault.partFrom, length - 1) : askedFirst;
            if (askedLast >= 0) last = std::min(askedLast, length - 1);
        }
    }
    answered(partial ? 206 : 200);
    std::string reply = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    reply += "Content-Type: application/octet-stream\r\n" + headers;
    if (partial)
        reply += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(length) + "\r\n";
    if (!fault.noContentLength)
        reply += "Content-Length: " + std::to_string(fault.announcedLength >= 0 ? fault.announcedLength : last - first + 1) + "\r\n";
    reply += "Connection: close\r\n\r\n";
    if (!send(reply.data(), reply.size()) || request.method == "HEAD") return finish();

    if (first > 0) in.seekg(first);
    std::int64_t limit = fault.cutAfter >= 0 ? std::min(fault.cutAfter, last - first + 1) : last - first + 1;
    std::int64_t sent = 0;
    bool stalled = false;
    // A slow rate goes out in pieces of a second's worth: a byte a second is
    // one byte at a time.
    std::vector<char> buffer(fault.bytesPerSecond > 0 ? static_cast<std::size_t>(std::clamp<std::int64_t>(fault.bytesPerSecond, 1, 4096))
                                                      : 256 * 1024);
    auto started = std::chrono::steady_clock::now();
    while (sent < limit && !server.stopping) {
        std::int64_t want = std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), limit - sent);
        if (fault.stallAfter >= 0 && !stalled) {
            if (sent >= fault.stallAfter) {
                stalled = true;
                if (!server.Wait(std::chrono::milliseconds(fault.stallMs))) break;
            } else {
                want = std::min(want, fault.stallAfter - sent);
            }
        }
        in.read(buffer.data(), want);
        auto got = static_cast<std::int64_t>(in.gcount());
        if (got <= 0 || !send(buffer.data(), static_cast<std::size_t>(got))) break;
        sent += got;
        if (fault.bytesPerSecond > 0) {
            auto due = started + std::chrono::microseconds(sent * 1000000 / fault.bytesPerSecond);
            auto now = std::chrono::steady_clock::now();
            if (due > now && !server.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(due - now))) break;
        }
    }
    finish();
}

}  // namespace tallowfin::test
