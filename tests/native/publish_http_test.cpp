#include "publish/http_fetch.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

using tallowfin::publish::HttpError;
using tallowfin::publish::HttpGet;
using tallowfin::publish::ParseHttpAddress;

namespace {

// Answers one request with fixed bytes: replies the test server in the tree
// never sends (chunked bodies, interim replies, garbage).
class CannedServer {
public:
    explicit CannedServer(std::string reply) : reply_(std::move(reply))
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~CannedServer()
    {
        thread_.join();
        close(listener_);
    }

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    const std::string& Request() const { return request_; }  // after HttpGet returned

private:
    void Serve()
    {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        char buffer[4096];
        while (request_.find("\r\n\r\n") == std::string::npos) {
            const auto got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request_.append(buffer, static_cast<std::size_t>(got));
        }
        send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        close(client);
    }

    std::string reply_;
    std::string request_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

std::string Get(const CannedServer& server, int expectedStatus)
{
    std::string body;
    EXPECT_EQ(HttpGet(server.Url("/a%20b/c?x=1"), [&](const char* data, std::size_t size) { body.append(data, size); }),
              expectedStatus);
    return body;
}

}  // namespace

TEST(HttpFetch, ReadsEveryWayABodyCanBeFramed)
{
    {
        CannedServer server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                            "4;ext=1\r\nWiki\r\nB\r\npedia in \r\n\r\n0\r\nTrailer: x\r\n\r\n");
        EXPECT_EQ(Get(server, 200), "Wikipedia in \r\n");
        EXPECT_TRUE(server.Request().starts_with("GET /a%20b/c?x=1 HTTP/1.1\r\nHost: 127.0.0.1:")) << server.Request();
    }
    {
        CannedServer server("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabcdef");
        EXPECT_EQ(Get(server, 200), "abc");
    }
    {
        CannedServer server("HTTP/1.0 200 OK\r\n\r\nuntil the end");
        EXPECT_EQ(Get(server, 200), "until the end");
    }
    {
        CannedServer server("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 5\r\n\r\nmoved");
        EXPECT_EQ(Get(server, 302), "");
    }
}

TEST(HttpFetch, BrokenRepliesAreErrorsNotBodies)
{
    for (const char* reply : {"SSH-2.0-OpenSSH\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort",
                              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "HTTP/1.1 200 OK\r\nbad\r\n\r\n",
                              "HTTP/1.1 200 OK\r\nContent-Length: 1"}) {
        SCOPED_TRACE(reply);
        CannedServer server(reply);
        EXPECT_THROW(HttpGet(server.Url("/"), [](const char*, std::size_t) {}), HttpError);
    }
    // Nothing listens on a port that was just freed.
    std::string url;
    {
        CannedServer server("HTTP/1.1 200 OK\r\n\r\n");
        url = server.Url("/");
        EXPECT_EQ(HttpGet(url, [](const char*, std::size_t) {}), 200);
    }
    EXPECT_THROW(HttpGet(url, [](const char*, std::size_t) {}), HttpError);
}

TEST(HttpFetch, AddressesAreSplitAndMadeSendable)
{
    const auto plain = ParseHttpAddress("HTTP://Example.com/software/T/a b/\xED\x95\x9C.bin#part");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->host, "Example.com");
    EXPECT_EQ(plain->port, "80");
    EXPECT_EQ(plain->target, "/software/T/a%20b/%ED%95%9C.bin");
    const auto ported = ParseHttpAddress("http://[::1]:8080?q=%41");
    ASSERT_TRUE(ported);
    EXPECT_EQ(ported->host, "::1");
    EXPECT_EQ(ported->port, "8080");
    EXPECT_EQ(ported->target, "/?q=%41");
    for (const char* bad : {"https://h/", "ftp://h/", "http://", "http://:80/", "http://h:0/", "http://h:99999/",
                            "http://h:8a/", "http://user@h/", "http://[::1/"})
        EXPECT_FALSE(ParseHttpAddress(bad)) << bad;
}
