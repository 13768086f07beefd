// The worker's internet layer over WinInet.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "common/limits.h"
#include "download/internet.h"
#include "download/transfer_pace.h"
#include "download/url_rules.h"

namespace tallowfin {

namespace {

// A session or a URL of the library, with the address its request has
// reached through redirects.
struct Stream {
    explicit Stream(HINTERNET h) : internet(h) {}
    HINTERNET internet;
    std::string location;
    bool downgraded = false;
    Stream* session = nullptr;  // a URL's
    // A session with a URL given up: closing it would close the URL too.
    bool keepOpen = false;
};

Stream& StreamOf(InternetLayer::Handle handle) { return *static_cast<Stream*>(handle); }

// As much as the library holds of a body under Wine (see Read).
constexpr DWORD kFlowing = 8 * 1024;

InternetLayer::Handle Wrap(HINTERNET internet)
{
    return internet ? std::make_unique<Stream>(internet).release() : nullptr;
}

// The address the reply came from, after redirects. When the library cannot
// tell, an address of no scheme we fetch, which a request that began on HTTPS
// refuses.
std::string FinalUrl(HINTERNET request)
{
    char url[INTERNET_MAX_URL_LENGTH + 1] = {};
    DWORD size = sizeof url - 1;
    if (!InternetQueryOptionA(request, INTERNET_OPTION_URL, url, &size)) return "unknown:";
    return std::string(url, std::strlen(url));
}

// Follows a request through its redirects. The library reports each one
// before it sends the next request; its context is the URL's Stream, which
// lives as long as the handle. Other reports, and the session's (no context),
// are not looked at.
void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD) noexcept
{
    if (status != INTERNET_STATUS_REDIRECT || context == 0 || information == nullptr) return;
    Stream& stream = *reinterpret_cast<Stream*>(context);
    const char* target = static_cast<const char*>(information);
    try {
        if (IsDowngrade(stream.location, target)) stream.downgraded = true;
        // A relative target stays on the scheme it came from.
        if (!SchemeOf(target).empty()) stream.location = target;
    } catch (...) {
        stream.downgraded = true;  // an address we cannot follow is not trusted
    }
}

class WinInetLayer final : public InternetLayer {
public:
    Handle Open(const char* agent) override
    {
        HINTERNET session = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        // A read waits for the next bytes no longer than a transfer may go
        // without its share of them (transfer_pace.h): a connection that
        // sends nothing at all fails as one that sends too little does.
        DWORD receiveTimeout = static_cast<DWORD>(kPaceWindowMs);
        if (session) InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof receiveTimeout);
        if (session && InternetSetStatusCallbackA(session, OnInternetStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
            // Without the reports a redirect away from HTTPS would go unseen.
            const DWORD error = GetLastError();
            InternetCloseHandle(session);
            SetLastError(error);
            return nullptr;
        }
        return Wrap(session);
    }

    Handle OpenUrl(Handle session, const char* url) override { return OpenUrlWithHeaders(session, url, {}); }

    Handle OpenUrlWithHeaders(Handle session, const char* url, const std::string& headers) override
    {
        auto stream = std::make_unique<Stream>(nullptr);
        stream->location = url;
        stream->session = &StreamOf(session);
        // Caching is off: a stale copy of the list would hide an update, and a
        // stale copy of a file would be installed over a newer one. Certificate
        // errors are never ignored: a server that cannot prove its name fails
        // the fetch like one that does not answer. Redirects from HTTP to HTTPS
        // are followed whatever the user's zone-crossing warning says.
        stream->internet = InternetOpenUrlA(StreamOf(session).internet, url, headers.empty() ? nullptr : headers.c_str(),
                                            static_cast<DWORD>(headers.size()),
                                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS,
                                            reinterpret_cast<DWORD_PTR>(stream.get()));
        if (!stream->internet) return nullptr;
        // A redirect from HTTPS to plain HTTP is refused, at any step: the
        // library may have followed it, and whatever came over plain HTTP can
        // have been changed on the way. The reply is closed unread.
        if (stream->downgraded || IsDowngrade(url, FinalUrl(stream->internet))) {
            Close(stream.release());
            SetLastError(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
            return nullptr;
        }
        return stream.release();
    }

    unsigned StatusCode(Handle url) override
    {
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!HttpQueryInfoA(StreamOf(url).internet, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                            nullptr))
            return 0;
        return status;
    }

    std::string HeaderValue(Handle url, const char* name) override
    {
        // The header's name goes in, its value comes out, in the same buffer.
        char text[1024] = {};
        const std::size_t length = std::strlen(name);
        if (length >= sizeof text) return {};
        std::memcpy(text, name, length);
        DWORD size = sizeof text - 1;
        if (!HttpQueryInfoA(StreamOf(url).internet, HTTP_QUERY_CUSTOM, text, &size, nullptr)) return {};
        return std::string(text, size);
    }

    std::uint32_t BodyLength(Handle url) override
    {
        // The length comes from the reply's header rather than from moving the
        // file pointer to the end, which not every implementation of the
        // library supports. Only a 200 reply is a file, and a 206 a part of
        // one: a 404 page saved as the file would later be installed over
        // the real one.
        const unsigned status = StatusCode(url);
        if (status != HTTP_STATUS_OK && status != HTTP_STATUS_PARTIAL_CONTENT) return kNoLength;

        HINTERNET request = StreamOf(url).internet;
        char text[32] = {};
        DWORD size = sizeof text - 1;
        if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
            return kNoLength;
        std::uint64_t length = 0;
        auto [end, error] = std::from_chars(text, text + size, length);
        // Sizes and positions are reported as 32-bit signed numbers, so a
        // larger file cannot be fetched.
        if (error != std::errc{} || end != text + size || length > limits::kLargestFile) return kNoLength;
        return static_cast<std::uint32_t>(length);
    }

    void Rewind(Handle) override
    {
        // Nothing has been read yet: the position is already on the first byte.
    }

    bool Read(Handle url, void* buffer, std::uint32_t size, std::uint32_t& count) override
    {
        HINTERNET request = StreamOf(url).internet;
        count = 0;
        // The question waits for the next bytes (at most the receive
        // timeout). Under Wine its answer is what the library holds, never
        // more than its buffer of 8 KiB: a full buffer says the bytes are
        // flowing, and the whole block is read, which waits until it has
        // arrived; less says they come slowly, and only what has arrived is
        // taken, so that a slow connection shows its progress and is judged
        // by its pace as it goes. At the end of the body, or if the question
        // fails, the read tells how it stands. Nothing is read ahead of what
        // the caller asks for: the caller decides how much of a body is ever
        // taken from the connection.
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0) || available == 0 || available >= kFlowing)
            available = size;
        DWORD got = 0;
        // On failure the library's error stays the thread's last error.
        if (!InternetReadFile(request, buffer, std::min<DWORD>(available, size), &got)) return false;
        count = got;
        return true;
    }

    void Close(Handle handle) override
    {
        std::unique_ptr<Stream> stream(static_cast<Stream*>(handle));
        if (!stream->keepOpen) InternetCloseHandle(stream->internet);
    }

    void Abandon(Handle url) override
    {
        // Neither closed nor freed: a read may still use the handle, and the
        // library's reports of it come with the Stream as their context.
        Stream& stream = StreamOf(url);
        if (stream.session) stream.session->keepOpen = true;
        stream.session = nullptr;  // it may be freed before a read ends
    }
};

}  // namespace

InternetLayer& SystemInternet()
{
    static WinInetLayer layer;  // stateless
    return layer;
}

}  // namespace tallowfin
