#include "tests/support/tls_proxy.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "tests/support/win_util.h"

namespace tallowfin::test {

namespace {

using namespace std::chrono_literals;

// Where the build put the certificates, and the programs that serve them:
// Linux paths, as the proxy sees them. This process reads them on drive Z:.
std::string CertificatePath(const std::string& name) { return std::string(TALLOWFIN_TEST_CERTS) + "/" + name; }

std::filesystem::path FromLinux(const std::string& path)
{
    std::string windows = "Z:" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

// Waits until `s` can be read, for at most `limit`.
bool Readable(SOCKET s, std::chrono::milliseconds limit)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{static_cast<long>(limit.count() / 1000), static_cast<long>(limit.count() % 1000 * 1000)};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
}

// The registry part of the store, where an added authority is kept. Wine
// reports success for a delete through the whole system store, yet keeps the
// certificate in the registry; through this part the delete is kept.
CertStore OpenRootRegistryStore()
{
    return CertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root"));
}

}  // namespace

TlsProxy::TlsProxy(const HttpServer& upstream, const std::map<std::string, std::string>& certificates)
{
    // Sockets are ready: the upstream server has started them.
    SocketHandle listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 || getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("the proxy's lifeline cannot listen: error " + std::to_string(WSAGetLastError()));

    std::string command = std::string(TALLOWFIN_PYTHON) + " " + TALLOWFIN_TLS_PROXY +
                          " --lifeline " + std::to_string(ntohs(address.sin_port)) +
                          " --upstream " + std::to_string(upstream.Port()) + " --key " + CertificatePath("server.key");
    for (const auto& [host, file] : certificates) command += " --cert " + host + "=" + CertificatePath(file);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        throw std::runtime_error("cannot start the proxy: error " + std::to_string(GetLastError()));
    // Wine starts a Unix program without giving handles for it.
    KernelHandle process(info.hProcess), thread(info.hThread);

    if (!Readable(listener.get(), 20s)) throw std::runtime_error("the proxy did not call back: " + command);
    lifeline_.reset(accept(listener.get(), nullptr, nullptr));
    std::size_t end = 0;
    WaitUntil(
        [&] {
            char chunk[256];
            if (!Readable(lifeline_.get(), 100ms)) return false;
            const int got = recv(lifeline_.get(), chunk, sizeof chunk, 0);
            if (got <= 0) return true;
            received_.append(chunk, static_cast<std::size_t>(got));
            return (end = received_.find('\n')) != std::string::npos;
        },
        20s);
    if (end == 0 || end == std::string::npos) throw std::runtime_error("the proxy did not start: " + received_);
    port_ = static_cast<std::uint16_t>(std::stoi(received_.substr(0, end)));
    if (port_ == 0) throw std::runtime_error("the proxy did not start: " + received_);
    received_.erase(0, end + 1);
}

std::string TlsProxy::ProxyAddress() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> TlsProxy::Reports()
{
    char chunk[4096];
    while (Readable(lifeline_.get(), 0ms)) {
        const int got = recv(lifeline_.get(), chunk, sizeof chunk, 0);
        if (got <= 0) break;
        received_.append(chunk, static_cast<std::size_t>(got));
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = received_.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(received_.substr(start, end - start));
    return lines;
}

std::size_t TlsProxy::CountReports(const std::string& prefix)
{
    const auto lines = Reports();
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

TrustedTestAuthority::TrustedTestAuthority() : der_(ReadBytes(FromLinux(CertificatePath("authority.der"))))
{
    CertStore root = OpenRootRegistryStore();
    if (!root || !CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING,
                                                   reinterpret_cast<const BYTE*>(der_.data()),
                                                   static_cast<DWORD>(der_.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                   nullptr))
        throw std::runtime_error("cannot trust the test authority: error " + std::to_string(GetLastError()));
}

TrustedTestAuthority::~TrustedTestAuthority()
{
    CertStore root = OpenRootRegistryStore();
    CertContext authority(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()), static_cast<DWORD>(der_.size())));
    if (!root || !authority) return;
    // Deleting frees the context found, whatever the result.
    if (PCCERT_CONTEXT found = CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                          authority.get(), nullptr))
        CertDeleteCertificateFromStore(found);
}

}  // namespace tallowfin::test
