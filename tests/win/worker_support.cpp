#include "tests/win/worker_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/win_util.h"

namespace tallowfin::test {

std::ostream& operator<<(std::ostream& out, const Event& e)
{
    return out << "{" << int(e.kind) << ", \"" << e.message << "\", " << e.size << ", " << e.position << "}";
}

InternetLayer::Handle FakeInternet::Open(const char* agentText)
{
    agent = agentText;
    if (sessionFails) {
        SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
        return nullptr;
    }
    streams_.push_back(std::make_unique<Stream>());
    ++openHandles;
    return streams_.back().get();
}

InternetLayer::Handle FakeInternet::OpenUrl(Handle session, const char* url)
{
    return OpenUrlWithHeaders(session, url, {});
}

InternetLayer::Handle FakeInternet::OpenUrlWithHeaders(Handle, const char* url, const std::string& headers)
{
    opened.push_back(url);
    sentHeaders.push_back(headers);
    auto it = replies.find(url);
    if (headers.find("Range:") != std::string::npos && rangedReplies.count(url)) it = rangedReplies.find(url);
    if (it == replies.end() || it->second.openFails) {
        SetLastError(it == replies.end() ? ERROR_INTERNET_NAME_NOT_RESOLVED : it->second.openError);
        return nullptr;
    }
    auto stream = std::make_unique<Stream>();
    stream->reply = &it->second;
    streams_.push_back(std::move(stream));
    ++openHandles;
    return streams_.back().get();
}

unsigned FakeInternet::StatusCode(Handle url)
{
    const FakeReply& reply = *static_cast<Stream*>(url)->reply;
    return reply.status != 0 ? reply.status : reply.length ? 200 : 404;
}

std::string FakeInternet::HeaderValue(Handle url, const char* name)
{
    const FakeReply& reply = *static_cast<Stream*>(url)->reply;
    const auto it = reply.headers.find(name);
    return it == reply.headers.end() ? std::string() : it->second;
}

std::uint32_t FakeInternet::BodyLength(Handle url)
{
    const FakeReply& reply = *static_cast<Stream*>(url)->reply;
    const unsigned status = StatusCode(url);
    return reply.length && (status == 200 || status == 206) ? *reply.length : kNoLength;
}

bool FakeInternet::Read(Handle url, void* buffer, std::uint32_t size, std::uint32_t& count)
{
    ++readsDone;
    askedBytes += size;
    auto& stream = *static_cast<Stream*>(url);
    const FakeReply& reply = *stream.reply;
    now += reply.msPerRead;
    if (static_cast<int>(stream.next) == reply.failingRead) {
        ++stream.next;
        count = 0;
        SetLastError(reply.readError);
        return false;
    }
    if (stream.next >= reply.reads.size()) {
        count = 0;
        return true;
    }
    count = std::min(size, reply.reads[stream.next]);
    const std::string body = BodyOf(reply);
    std::memcpy(buffer, body.data() + stream.offset, count);
    stream.offset += count;
    deliveredBytes += count;
    ++stream.next;
    return true;
}

void FakeInternet::Close(Handle)
{
    --openHandles;
}

void FakeInternet::Abandon(Handle)
{
    --openHandles;
    ++abandoned;
}

FakeReply FakeReply::Serving(const std::string& body)
{
    FakeReply reply;
    reply.body = body;
    reply.length = static_cast<std::uint32_t>(body.size());
    for (std::size_t at = 0; at < body.size(); at += 4096)
        reply.reads.push_back(static_cast<std::uint32_t>(std::min<std::size_t>(4096, body.size() - at)));
    return reply;
}

std::string FakeInternet::BodyOf(const FakeReply& reply)
{
    if (reply.body) return *reply.body;
    std::uint32_t total = 0;
    for (auto n : reply.reads) total += n;
    return PatternBytes(total, 17);
}

RunResult RunWorker(InternetLayer& internet, const std::string& baseUrl, std::vector<TUpdateRec*> records,
                    std::function<void(const Event&)> onEvent, const WorkerSettings& settings)
{
    MainThreadDoor door;
    RunResult result;
    const DWORD mainThread = GetCurrentThreadId();
    auto owned = std::make_unique<TWebThread>(door, internet);
    TWebThread* worker = owned.get();
    worker->FreeOnTerminate = true;
    // The handler holds this token; it is gone once the worker has deleted itself.
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> alive = token;
    worker->FBaseUrl = baseUrl;
    worker->FRecords = records;
    worker->FPartsFolder = settings.partsFolder;
    if (settings.clock) worker->FClock = settings.clock;
    worker->OnStatus = [&, token](TWebThread*, TWebStatus kind, const std::string& message, std::int32_t size,
                           std::int32_t position) {
        if (GetCurrentThreadId() != mainThread) result.eventsOnMainThread = false;
        result.events.push_back({kind, message, size, position});
        if (onEvent) onEvent(result.events.back());
    };
    worker->OnTerminate = [&](TThread* sender) {
        result.terminated = true;
        result.terminateOnMainThread = GetCurrentThreadId() == mainThread;
        result.finalStatus = static_cast<TWebThread*>(sender)->FStatus;
        for (auto* r : static_cast<TWebThread*>(sender)->FRecords) result.tempFilesAtTerminate.push_back(r->TempFile);
    };
    token.reset();
    worker->Resume();
    owned.release();  // from here on the worker owns itself
    EXPECT_TRUE(PumpUntil([&] { return result.terminated; }, std::chrono::seconds(60)));
    // The door must outlive the worker, which deletes itself after the handler.
    result.destroyed = WaitUntil([&] { return alive.expired(); }, std::chrono::seconds(10));
    return result;
}

}  // namespace tallowfin::test
