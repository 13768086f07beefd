// The worker's internet layer over WinInet.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/limits.h"
#include "download/internet.h"
#include "download/url_rules.h"

namespace tallowfin {

namespace {

// A session or a URL of the library, with the read-ahead buffer of a URL and
// the address its request has reached through redirects.
struct Stream {
    explicit Stream(HINTERNET h) : internet(h) {}
    HINTERNET internet;
    std::vector<char> buffer;
    std::size_t position = 0;
    std::size_t filled = 0;
    std::string location;
    bool downgraded = false;
};

Stream& StreamOf(InternetLayer::Handle handle) { return *static_cast<Stream*>(handle); }

// The worker reads 4 KiB at a time and reports each read; the library is asked
// for larger pieces, because every call into it costs far more than copying
// 4 KiB out of a buffer (under Wine, a 4 KiB call delivers a sixth of what a
// 64 KiB one does). Only what has already arrived is taken, so a slow
// connection still reports its progress as the bytes come in. Memory stays
// one buffer per file, whatever its size.
constexpr DWORD kReadAhead = 64 * 1024;

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
        // library supports. Only a 200 reply is a file: a 404 page saved as
        // the file would later be installed over the real one.
        if (StatusCode(url) != HTTP_STATUS_OK) return kNoLength;

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
        Stream& stream = StreamOf(url);
        count = 0;
        if (stream.position == stream.filled) {
            stream.buffer.resize(kReadAhead);
            // Waits for the next bytes to arrive; at the end of the body (or
            // if the question fails) the read below tells how it stands.
            DWORD available = 0;
            if (!InternetQueryDataAvailable(stream.internet, &available, 0, 0) || available == 0) available = size;
            DWORD got = 0;
            // On failure the library's error stays the thread's last error.
            if (!InternetReadFile(stream.internet, stream.buffer.data(), std::min(available, kReadAhead), &got))
                return false;
            stream.position = 0;
            stream.filled = got;
            if (got == 0) return true;  // the end of the body
        }
        const std::size_t n = std::min<std::size_t>(size, stream.filled - stream.position);
        std::memcpy(buffer, stream.buffer.data() + stream.position, n);
        stream.position += n;
        count = static_cast<std::uint32_t>(n);
        return true;
    }

    void Close(Handle handle) override
    {
        std::unique_ptr<Stream> stream(static_cast<Stream*>(handle));
        InternetCloseHandle(stream->internet);
    }
};

}  // namespace

InternetLayer& SystemInternet()
{
    static WinInetLayer layer;  // stateless
    return layer;
}

}  // namespace tallowfin
