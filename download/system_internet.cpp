// The worker's internet layer over WinInet.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "download/internet.h"

namespace tallowfin {

namespace {

// A session or a URL of the library, with the read-ahead buffer of a URL.
struct Stream {
    explicit Stream(HINTERNET h) : internet(h) {}
    HINTERNET internet;
    std::vector<char> buffer;
    std::size_t position = 0;
    std::size_t filled = 0;
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

class WinInetLayer final : public InternetLayer {
public:
    Handle Open(const char* agent) override
    {
        return Wrap(InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    }

    Handle OpenUrl(Handle session, const char* url) override
    {
        // Caching is off: a stale copy of the list would hide an update, and a
        // stale copy of a file would be installed over a newer one.
        return Wrap(InternetOpenUrlA(StreamOf(session).internet, url, nullptr, 0, INTERNET_FLAG_RELOAD, 0));
    }

    std::uint32_t BodyLength(Handle url) override
    {
        // The length comes from the reply's header rather than from moving the
        // file pointer to the end, which not every implementation of the
        // library supports. Only a 200 reply is a file: a 404 page saved as
        // the file would later be installed over the real one.
        DWORD status = 0;
        DWORD size = sizeof status;
        HINTERNET request = StreamOf(url).internet;
        if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) ||
            status != HTTP_STATUS_OK)
            return kNoLength;

        char text[32] = {};
        size = sizeof text - 1;
        if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
            return kNoLength;
        std::uint64_t length = 0;
        auto [end, error] = std::from_chars(text, text + size, length);
        // Sizes and positions are reported as 32-bit signed numbers, so a
        // larger file cannot be fetched.
        if (error != std::errc{} || end != text + size || length > 0x7FFFFFFF) return kNoLength;
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
