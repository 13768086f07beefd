// HTTPS for the Windows tests: a proxy that answers CONNECT with certificates
// made by the build's test authority and hands the decrypted requests to an
// HttpServer, which records them and injects its faults as over plain HTTP;
// and the test authority, trusted inside this Wine prefix only while a test
// needs it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/handle.h"
#include "tests/support/http_server.h"

namespace tallowfin::test {

struct SocketTraits {
    using pointer = SOCKET;
    static pointer invalid() noexcept { return INVALID_SOCKET; }
    static bool close(pointer s) noexcept { return closesocket(s) == 0; }
};
using SocketHandle = UniqueHandle<SocketTraits>;

// The proxy runs as a Linux program (tests/support/tls_proxy.py). Wine gives
// no handle for it, so it holds a connection to this object and ends when the
// connection closes, with this object or with this process.
class TlsProxy {
public:
    // `certificates`: for each host the proxy answers, the file name of its
    // certificate among the test certificates ("update.pem", "expired.pem").
    TlsProxy(const HttpServer& upstream, const std::map<std::string, std::string>& certificates);

    std::string ProxyAddress() const;  // "http://127.0.0.1:PORT"
    // What the proxy reported so far, one line per CONNECT: "tls HOST ok" once
    // the handshake is done (the client checks the certificate after it),
    // "tls HOST failed: REASON", "refused HOST" for a host it has no
    // certificate for.
    std::vector<std::string> Reports();
    std::size_t CountReports(const std::string& prefix);

private:
    SocketHandle lifeline_;
    std::uint16_t port_ = 0;
    std::string received_;
};

// Adds the test authority to the prefix's LOCAL_MACHINE "Root" store, which
// Wine's certificate checks consult besides the machine's own authorities,
// and deletes it again when it goes.
class TrustedTestAuthority {
public:
    TrustedTestAuthority();
    ~TrustedTestAuthority();
    TrustedTestAuthority(const TrustedTestAuthority&) = delete;
    TrustedTestAuthority& operator=(const TrustedTestAuthority&) = delete;

private:
    std::string der_;
};

}  // namespace tallowfin::test
