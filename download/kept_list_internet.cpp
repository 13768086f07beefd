#include "download/kept_list_internet.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "common/file_system.h"
#include "common/kept_file.h"
#include "download/kept_list.h"

namespace tallowfin {

namespace {

constexpr unsigned kOk = 200;
constexpr unsigned kNotModified = 304;
// The kept file: the list and its few fields.
constexpr std::size_t kLargestKeptFile = kLargestKeptList + 16 * 1024;

// Keeps the thread's last error across work of our own that may change it:
// the worker reports the error of the call that failed, not of ours.
class LastErrorKeeper {
public:
    LastErrorKeeper() : error_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD error_;
};

}  // namespace

// A handle of this layer: the inner layer's handle, or the kept copy being
// read in place of a reply.
struct KeptListInternet::Stream {
    Handle inner = nullptr;
    // A 304 reply: the kept list is read from here.
    std::optional<std::string> kept;
    std::size_t position = 0;
    // A 200 reply to the list's request: what it says of itself, and its
    // body as it is read, to be kept once it is whole.
    bool recording = false;
    bool tooLarge = false;
    std::uint32_t length = kNoLength;
    KeptList fetched;
};

KeptListInternet::KeptListInternet(InternetLayer& inner, std::string listUrl, std::string keptFile, Clock clock)
    : inner_(inner), listUrl_(std::move(listUrl)), keptFile_(std::move(keptFile)), clock_(std::move(clock))
{
}

InternetLayer::Handle KeptListInternet::Open(const char* agent)
{
    Handle session = inner_.Open(agent);
    if (!session) return nullptr;
    auto stream = std::make_unique<Stream>();
    stream->inner = session;
    return stream.release();
}

InternetLayer::Handle KeptListInternet::OpenUrl(Handle session, const char* url)
{
    return OpenUrlWithHeaders(session, url, {});
}

InternetLayer::Handle KeptListInternet::OpenUrlWithHeaders(Handle session, const char* url, const std::string& headers)
{
    Handle innerSession = static_cast<Stream*>(session)->inner;
    const bool isList = !keptFile_.empty() && url == listUrl_;
    std::optional<KeptList> kept;
    std::string conditions;
    if (isList) {
        LastErrorKeeper keeper;
        try {
            if (auto bytes = ReadWholeFile(keptFile_, kLargestKeptFile)) kept = ReadKeptList(*bytes);
            if (kept && kept->url == listUrl_ && KeptListIsFresh(*kept, clock_())) conditions = ConditionalHeaders(*kept);
        } catch (...) {
            // Whatever went wrong, the list is asked for whole.
            kept.reset();
            conditions.clear();
        }
    }

    Handle reply = inner_.OpenUrlWithHeaders(innerSession, url, headers + conditions);
    if (!reply) return nullptr;
    auto stream = std::make_unique<Stream>();
    stream->inner = reply;
    if (isList) {
        const unsigned status = inner_.StatusCode(reply);
        if (status == kNotModified && !conditions.empty()) {
            // Nothing more comes from the server; the reply is done with.
            inner_.Close(reply);
            stream->inner = nullptr;
            stream->kept = std::move(kept->body);
        } else if (status == kOk) {
            stream->recording = true;
            stream->fetched.url = listUrl_;
            // Only what can be trusted to change with the list is kept to
            // ask with next time.
            std::string tag = inner_.HeaderValue(reply, "ETag");
            std::string date = inner_.HeaderValue(reply, "Last-Modified");
            if (IsStrongEntityTag(tag)) stream->fetched.entityTag = std::move(tag);
            if (IsHttpDate(date)) stream->fetched.lastModified = std::move(date);
        }
    }
    return stream.release();
}

unsigned KeptListInternet::StatusCode(Handle url)
{
    const Stream& stream = *static_cast<Stream*>(url);
    return stream.kept ? kOk : inner_.StatusCode(stream.inner);
}

std::string KeptListInternet::HeaderValue(Handle url, const char* name)
{
    const Stream& stream = *static_cast<Stream*>(url);
    return stream.kept ? std::string() : inner_.HeaderValue(stream.inner, name);
}

std::uint32_t KeptListInternet::BodyLength(Handle url)
{
    Stream& stream = *static_cast<Stream*>(url);
    if (stream.kept) return static_cast<std::uint32_t>(stream.kept->size());
    stream.length = inner_.BodyLength(stream.inner);
    return stream.length;
}

void KeptListInternet::Rewind(Handle url)
{
    Stream& stream = *static_cast<Stream*>(url);
    if (stream.kept) stream.position = 0;
    else inner_.Rewind(stream.inner);
}

bool KeptListInternet::Read(Handle url, void* buffer, std::uint32_t size, std::uint32_t& count)
{
    Stream& stream = *static_cast<Stream*>(url);
    if (stream.kept) {
        const std::size_t n = std::min<std::size_t>(size, stream.kept->size() - stream.position);
        std::memcpy(buffer, stream.kept->data() + stream.position, n);
        stream.position += n;
        count = static_cast<std::uint32_t>(n);
        return true;
    }
    if (!inner_.Read(stream.inner, buffer, size, count)) {
        stream.recording = false;  // a list cut short is never kept
        return false;
    }
    if (stream.recording) {
        if (stream.fetched.body.size() + count > kLargestKeptList) stream.tooLarge = true;
        if (!stream.tooLarge) stream.fetched.body.append(static_cast<const char*>(buffer), count);
        if (count == 0) Keep(stream);
    }
    return true;
}

void KeptListInternet::Keep(Stream& stream)
{
    stream.recording = false;
    LastErrorKeeper keeper;
    stream.fetched.keptAt = clock_();
    const KeptList& list = stream.fetched;
    // Only a list that arrived whole, with something to ask with next time,
    // is worth keeping; otherwise the old copy goes too, so that it can never
    // stand in for a list the server has replaced.
    try {
        if (!stream.tooLarge && stream.length == list.body.size() && !ConditionalHeaders(list).empty() &&
            ReplaceKeptFile(keptFile_, KeptListBytes(list)))
            return;
    } catch (...) {
        // Not kept; the next run fetches the list whole.
    }
    DeleteKeptFile(keptFile_);
}

void KeptListInternet::Abandon(Handle url)
{
    // Not freed: a read may still use it.
    Stream& stream = *static_cast<Stream*>(url);
    stream.recording = false;
    if (stream.inner) inner_.Abandon(stream.inner);
}

void KeptListInternet::Close(Handle handle)
{
    std::unique_ptr<Stream> stream(static_cast<Stream*>(handle));
    if (stream->inner) inner_.Close(stream->inner);
}

}  // namespace tallowfin
