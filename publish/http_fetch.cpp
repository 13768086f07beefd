#include "publish/http_fetch.h"

#include "control/path_rules.h"
#include "publish/url_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace tallowfin::publish {

namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
void CloseNative(NativeSocket s) { closesocket(s); }

// WSAStartup counts its callers, so each request may hold its own.
class NetworkUse {
public:
    NetworkUse()
    {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw HttpError("Winsock cannot start");
    }
    ~NetworkUse() { WSACleanup(); }
    NetworkUse(const NetworkUse&) = delete;
    NetworkUse& operator=(const NetworkUse&) = delete;
};
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
void CloseNative(NativeSocket s) { close(s); }
class NetworkUse {};
#endif

class Socket {
public:
    explicit Socket(NativeSocket s) : socket_(s) {}
    ~Socket()
    {
        if (socket_ != kNoSocket) CloseNative(socket_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    NativeSocket Get() const { return socket_; }

private:
    NativeSocket socket_;
};

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList()
    {
        if (first) freeaddrinfo(first);
    }
};

void SetTimeouts(NativeSocket s, std::chrono::milliseconds timeout)
{
#ifdef _WIN32
    const DWORD value = static_cast<DWORD>(timeout.count());
#else
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
#endif
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
}

NativeSocket Connect(const HttpAddress& address, std::chrono::milliseconds timeout)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    AddressList list;
    if (getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list.first) != 0 || !list.first)
        throw HttpError("cannot resolve the host " + address.host);
    for (const addrinfo* candidate = list.first; candidate; candidate = candidate->ai_next) {
        NativeSocket s = socket(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol);
        if (s == kNoSocket) continue;
        SetTimeouts(s, timeout);
        if (connect(s, candidate->ai_addr, static_cast<int>(candidate->ai_addrlen)) == 0) return s;
        CloseNative(s);
    }
    throw HttpError("cannot connect to " + address.host + ":" + address.port);
}

// Reads the reply through one buffer: the head line by line, then the body.
class Reader {
public:
    explicit Reader(NativeSocket s) : socket_(s) {}

    std::string Line()
    {
        std::string line;
        for (;;) {
            if (start_ == end_ && !Fill()) throw HttpError("the connection closed in the middle of the reply's head");
            const auto from = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
            const auto to = buffer_.begin() + static_cast<std::ptrdiff_t>(end_);
            const auto newline = std::find(from, to, '\n');
            line.append(from, newline);
            start_ = static_cast<std::size_t>(newline - buffer_.begin());
            if (newline != to) {
                ++start_;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            if (line.size() > 65536) throw HttpError("a line of the reply's head is too long");
        }
    }

    // Up to `most` bytes; zero only at the end of the connection.
    std::size_t Some(std::size_t most, const HttpBodySink& sink)
    {
        if (start_ == end_ && !Fill()) return 0;
        const std::size_t size = std::min(most, end_ - start_);
        sink(buffer_.data() + start_, size);
        start_ += size;
        return size;
    }

private:
    bool Fill()
    {
        const int got = static_cast<int>(recv(socket_, buffer_.data(), static_cast<int>(buffer_.size()), 0));
        if (got < 0) throw HttpError("no answer in time, or the connection failed");
        start_ = 0;
        end_ = static_cast<std::size_t>(got);
        return got > 0;
    }

    NativeSocket socket_;
    std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 16);
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

void SendAll(NativeSocket s, const std::string& data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
#ifdef _WIN32
        const int flags = 0;
#else
        const int flags = MSG_NOSIGNAL;
#endif
        const int got = static_cast<int>(send(s, data.data() + sent, static_cast<int>(data.size() - sent), flags));
        if (got <= 0) throw HttpError("the connection failed while sending the request");
        sent += static_cast<std::size_t>(got);
    }
}

std::string Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

std::uint64_t Number(const std::string& text, int base, const char* what)
{
    if (text.empty() || text.size() > 15) throw HttpError(std::string("malformed ") + what);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, base);
    if (*end != '\0') throw HttpError(std::string("malformed ") + what);
    return value;
}

void ReadExactly(Reader& reader, std::uint64_t length, const HttpBodySink& body)
{
    std::uint64_t left = length;
    while (left > 0) {
        const std::size_t got = reader.Some(static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 16)), body);
        if (got == 0)
            throw HttpError("the connection closed after " + std::to_string(length - left) + " of " +
                            std::to_string(length) + " bytes");
        left -= got;
    }
}

void ReadChunked(Reader& reader, const HttpBodySink& body)
{
    for (;;) {
        std::string sizeLine = reader.Line();
        sizeLine = Trimmed(sizeLine.substr(0, sizeLine.find(';')));
        const std::uint64_t size = Number(sizeLine, 16, "chunk size");
        if (size == 0) break;
        ReadExactly(reader, size, body);
        if (!reader.Line().empty()) throw HttpError("malformed chunk");
    }
    // Trailer fields carry nothing the check needs.
    while (!reader.Line().empty()) continue;
}

}  // namespace

std::optional<HttpAddress> ParseHttpAddress(std::string_view url)
{
    if (!IsAbsoluteHttpAddress(url)) return std::nullopt;
    url.remove_prefix(7);
    if (const auto fragment = url.find('#'); fragment != std::string_view::npos) url = url.substr(0, fragment);
    const auto pathStart = url.find_first_of("/?");
    std::string_view authority = url.substr(0, pathStart);
    if (authority.find('@') != std::string_view::npos) return std::nullopt;

    HttpAddress address;
    std::string_view port;
    if (authority.starts_with("[")) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        address.host = std::string(authority.substr(1, close - 1));
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return std::nullopt;
            port = authority.substr(close + 2);
        }
    } else {
        const auto colon = authority.find(':');
        address.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }
    if (address.host.empty()) return std::nullopt;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
        const int number = std::atoi(std::string(port).c_str());
        if (number < 1 || number > 65535) return std::nullopt;
        address.port = std::string(port);
    }

    // The target starts as "/" (see HttpAddress); a path brings its own.
    if (pathStart != std::string_view::npos && url[pathStart] == '/') address.target.clear();
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : pathStart == std::string_view::npos ? std::string_view() : url.substr(pathStart)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || std::string_view("\"<>\\^`{|}").find(c) != std::string_view::npos) {
            address.target.push_back('%');
            address.target.push_back(kHex[byte >> 4]);
            address.target.push_back(kHex[byte & 0x0F]);
        } else {
            address.target.push_back(c);
        }
    }
    return address;
}

int HttpGet(std::string_view url, const HttpBodySink& body, std::chrono::milliseconds timeout)
{
    const auto address = ParseHttpAddress(url);
    if (!address) throw HttpError("not an http:// address");
    [[maybe_unused]] const NetworkUse network;
    Socket socket(Connect(*address, timeout));

    const bool ipv6 = address->host.find(':') != std::string::npos;
    std::string host = ipv6 ? "[" + address->host + "]" : address->host;
    if (address->port != "80") host += ":" + address->port;
    SendAll(socket.Get(), "GET " + address->target + " HTTP/1.1\r\nHost: " + host +
                              "\r\nUser-Agent: tallowfin-publish\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n");

    Reader reader(socket.Get());
    for (;;) {
        const std::string statusLine = reader.Line();
        if (!statusLine.starts_with("HTTP/1.") || statusLine.size() < 12 || statusLine[8] != ' ')
            throw HttpError("not an HTTP reply");
        const int status = static_cast<int>(Number(statusLine.substr(9, 3), 10, "status"));
        std::optional<std::uint64_t> length;
        bool chunked = false;
        for (std::string line = reader.Line(); !line.empty(); line = reader.Line()) {
            const auto colon = line.find(':');
            if (colon == std::string::npos) throw HttpError("malformed header line in the reply");
            const std::string name = AsciiLower(line.substr(0, colon));
            const std::string value = Trimmed(std::string_view(line).substr(colon + 1));
            if (name == "content-length") length = Number(value, 10, "Content-Length");
            if (name == "transfer-encoding" && AsciiLower(value) != "identity") chunked = true;
        }
        // An interim reply ("100 Continue") is followed by the real one.
        if (status >= 100 && status < 200) continue;
        if (status != 200) return status;
        if (chunked) {
            ReadChunked(reader, body);
        } else if (length) {
            ReadExactly(reader, *length, body);
        } else {
            // Without a length the body ends when the server closes.
            while (reader.Some(std::size_t{1} << 16, body) != 0) continue;
        }
        return status;
    }
}

}  // namespace tallowfin::publish
