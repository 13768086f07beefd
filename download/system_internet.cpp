// The worker's internet layer over WinInet.
#include <windows.h>
#include <wininet.h>

#include <charconv>
#include <cstdint>

#include "download/internet.h"

namespace tallowfin {

namespace {

class WinInetLayer final : public InternetLayer {
public:
    Handle Open(const char* agent) override
    {
        return InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    }

    Handle OpenUrl(Handle session, const char* url) override
    {
        // Caching is off: a stale copy of the list would hide an update, and a
        // stale copy of a file would be installed over a newer one.
        return InternetOpenUrlA(static_cast<HINTERNET>(session), url, nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    }

    std::uint32_t BodyLength(Handle url) override
    {
        // The length comes from the reply's header rather than from moving the
        // file pointer to the end, which not every implementation of the
        // library supports. Only a 200 reply is a file: a 404 page saved as
        // the file would later be installed over the real one.
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!HttpQueryInfoA(static_cast<HINTERNET>(url), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                            &size, nullptr) ||
            status != HTTP_STATUS_OK)
            return kNoLength;

        char text[32] = {};
        size = sizeof text - 1;
        if (!HttpQueryInfoA(static_cast<HINTERNET>(url), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
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
        DWORD got = 0;
        BOOL ok = InternetReadFile(static_cast<HINTERNET>(url), buffer, size, &got);
        count = ok ? got : 0;
        return ok != FALSE;
    }

    void Close(Handle handle) override { InternetCloseHandle(static_cast<HINTERNET>(handle)); }
};

}  // namespace

InternetLayer& SystemInternet()
{
    static WinInetLayer layer;  // stateless
    return layer;
}

}  // namespace tallowfin
