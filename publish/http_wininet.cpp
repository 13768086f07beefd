// HTTP through WinINet, the library the updater itself fetches with: its
// framing, TLS, certificate checks and the system's proxy settings are what
// clients get. Redirects are left to verify, which follows them by the
// updater's rules.
#include "publish/http_transport.h"

#include "common/handle.h"
#include "common/win_error.h"
#include "publish/utf8.h"

#include <algorithm>
#include <vector>

namespace tallowfin::publish {

namespace {

std::string LastErrorText()
{
    const DWORD code = GetLastError();
    const std::string text = SystemErrorText(code);
    return (text.empty() ? "error" : text) + " (" + std::to_string(code) + ")";
}

// A header of the reply as text, or nothing when it has none.
bool QueryText(HINTERNET request, DWORD what, std::wstring& text)
{
    DWORD size = 0;
    HttpQueryInfoW(request, what, nullptr, &size, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
    if (!HttpQueryInfoW(request, what, buffer.data(), &size, nullptr)) return false;
    text.assign(buffer.data(), size / sizeof(wchar_t));
    return true;
}

class WinInetTransport final : public HttpTransport {
public:
    WinInetTransport()
        : session_(InternetOpenW(L"tallowfin-publish", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0))
    {
        if (!session_) throw std::runtime_error("the internet library cannot be started: " + LastErrorText());
    }

    HttpExchange Get(const std::string& url, std::chrono::steady_clock::time_point deadline, std::uint64_t maxBytes,
                     const WantBody& wantBody, const BodySink& body) override
    {
        HttpExchange exchange;
        auto left = [&] {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            return static_cast<DWORD>(std::clamp<long long>(ms.count(), 0, 0x7FFFFFFF));
        };
        // The library's time-outs apply to each step; the deadline between
        // reads makes them a limit for the whole file.
        for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
            DWORD ms = std::max<DWORD>(left(), 1);
            InternetSetOptionW(session_.get(), option, &ms, sizeof ms);
        }
        const std::wstring wideUrl = WideFromUtf8(url);
        // As the updater asks: always from the server, and redirects are
        // judged here rather than followed blindly.
        WinInetHandle request(InternetOpenUrlW(session_.get(), wideUrl.c_str(), nullptr, 0,
                                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                                   INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES |
                                                   INTERNET_FLAG_NO_UI,
                                               0));
        if (!request) {
            exchange.timedOut = GetLastError() == ERROR_INTERNET_TIMEOUT;
            exchange.failure = LastErrorText();
            return exchange;
        }
        std::wstring head;
        if (!QueryText(request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, head)) {
            exchange.failure = "no head in the reply: " + LastErrorText();
            return exchange;
        }
        const std::string text = Utf8FromWide(head);
        for (std::size_t from = 0; from < text.size();) {
            const std::size_t end = std::min(text.find('\n', from), text.size());
            AddHeadLine(exchange.response, std::string_view(text).substr(from, end - from));
            from = end + 1;
        }
        exchange.headComplete = true;
        if (std::wstring location; QueryText(request.get(), HTTP_QUERY_LOCATION, location)) {
            DWORD size = 0;
            InternetCombineUrlW(wideUrl.c_str(), location.c_str(), nullptr, &size, ICU_NO_ENCODE);
            std::vector<wchar_t> combined(size + 1);
            if (InternetCombineUrlW(wideUrl.c_str(), location.c_str(), combined.data(), &size, ICU_NO_ENCODE))
                exchange.redirectTarget = Utf8FromWide(std::wstring_view(combined.data(), size));
        }
        if (!wantBody(exchange.response)) {
            exchange.bodyRefused = true;
            return exchange;
        }
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            if (left() == 0) {
                exchange.timedOut = true;
                exchange.failure = "the time limit ran out after " + std::to_string(exchange.bodyBytes) + " bytes";
                break;
            }
            DWORD got = 0;
            if (!InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
                exchange.timedOut = GetLastError() == ERROR_INTERNET_TIMEOUT;
                exchange.failure = LastErrorText();
                break;
            }
            if (got == 0) break;
            if (exchange.bodyBytes + got > maxBytes) {
                exchange.failure = "the body goes on past " + std::to_string(maxBytes) + " bytes";
                break;
            }
            exchange.bodyBytes += got;
            body(buffer.data(), got);
        }
        return exchange;
    }

private:
    WinInetHandle session_;
};

}  // namespace

std::unique_ptr<HttpTransport> SystemHttpTransport() { return std::make_unique<WinInetTransport>(); }

}  // namespace tallowfin::publish
