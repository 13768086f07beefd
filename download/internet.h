// The few internet operations the worker needs, behind an interface so that
// its decisions can be exercised against a scripted fake as well as the real
// library. Failures set the thread's last error, as the system calls do.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tallowfin {

class InternetLayer {
public:
    using Handle = void*;
    static constexpr std::uint32_t kNoLength = 0xFFFFFFFF;

    virtual ~InternetLayer() = default;

    // A session with the system's proxy settings; null on failure.
    virtual Handle Open(const char* agent) = 0;
    // Sends the request, always to the server, never answered from a cache;
    // null on failure.
    virtual Handle OpenUrl(Handle session, const char* url) = 0;
    // The same with header lines of the caller's ("Name: value" and CR LF
    // each; empty for none).
    virtual Handle OpenUrlWithHeaders(Handle session, const char* url, const std::string& headers) = 0;
    // The reply's status code; 0 when it cannot be had.
    virtual unsigned StatusCode(Handle url) = 0;
    // The value of a header of the reply, as sent; empty when it has none.
    virtual std::string HeaderValue(Handle url, const char* name) = 0;
    // The body's length in bytes, or kNoLength when the reply has none or is
    // not a successful one (the body would be an error page, not the file).
    virtual std::uint32_t BodyLength(Handle url) = 0;
    // Puts the reading position back on the body's first byte.
    virtual void Rewind(Handle url) = 0;
    // Reads up to `size` bytes: what has arrived when the bytes come slowly,
    // and may wait for all of them when they flow; count is 0 at the end of
    // the body and on failure. Called on the worker's reading thread
    // (read_thread.h), one call at a time per handle.
    virtual bool Read(Handle url, void* buffer, std::uint32_t size, std::uint32_t& count) = 0;
    virtual void Close(Handle handle) = 0;
    // Gives a reply up without closing it: a read may still be under way on
    // it (read_thread.h), or closing it would read the rest of its body
    // (under Wine the library does, for as long as bytes keep coming).
    // Neither the reply nor its session is closed afterwards: the connection
    // goes with the process.
    virtual void Abandon(Handle url) = 0;
};

// The system's internet library.
InternetLayer& SystemInternet();

// Owns one handle of a layer.
class InternetHandle {
public:
    InternetHandle() noexcept = default;
    InternetHandle(InternetLayer& layer, InternetLayer::Handle handle) noexcept : layer_(&layer), handle_(handle) {}
    InternetHandle(InternetHandle&& other) noexcept
        : layer_(other.layer_), handle_(std::exchange(other.handle_, nullptr))
    {
    }
    InternetHandle& operator=(InternetHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            layer_ = other.layer_;
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() { reset(); }

    InternetLayer::Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    void reset() noexcept
    {
        if (handle_) layer_->Close(std::exchange(handle_, nullptr));
    }
    // Gives the reply up (see InternetLayer::Abandon).
    void abandon() noexcept
    {
        if (handle_) layer_->Abandon(std::exchange(handle_, nullptr));
    }

private:
    InternetLayer* layer_ = nullptr;
    InternetLayer::Handle handle_ = nullptr;
};

}  // namespace tallowfin
