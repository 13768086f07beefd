// What the worker tests share: a log of status events as the main thread
// receives them, a scripted internet layer, and a way to run one worker to
// its end while the test's thread serves as the main thread.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "download/internet.h"
#include "download/web_thread.h"

namespace tallowfin::test {

struct Event {
    TWebStatus kind;
    std::string message;
    std::int32_t size;
    std::int32_t position;
    bool operator==(const Event& other) const
    {
        return kind == other.kind && message == other.message && size == other.size && position == other.position;
    }
};
std::ostream& operator<<(std::ostream& out, const Event& e);

// A reply as the scripted layer gives it.
struct FakeReply {
    bool openFails = false;
    DWORD openError = ERROR_INTERNET_CANNOT_CONNECT;
    std::optional<std::uint32_t> length;  // none: no length can be had
    std::vector<std::uint32_t> reads;     // byte counts the reads deliver, before the final 0
    int failingRead = -1;                 // index of the read that fails (0 bytes, error set)
    DWORD readError = ERROR_INTERNET_CONNECTION_RESET;

    // A reply whose body is these bytes, in reads of up to 4096.
    static FakeReply Serving(const std::string& body);
    std::optional<std::string> body;
    unsigned status = 0;                         // 0: 200 with a length, 404 without
    std::map<std::string, std::string> headers;  // of the reply, by name
    std::uint64_t msPerRead = 0;                 // how far each read moves the layer's clock
};

class FakeInternet final : public InternetLayer {
public:
    bool sessionFails = false;
    std::map<std::string, FakeReply> replies;  // by full URL; others cannot be opened
    // Given instead to a request that asks for a range, where there is one.
    std::map<std::string, FakeReply> rangedReplies;

    std::vector<std::string> opened;  // URLs asked for, in order
    std::vector<std::string> sentHeaders;  // the caller's header lines of each, in the same order
    std::string agent;
    std::atomic<int> readsDone{0};
    std::uint64_t askedBytes = 0;      // what the reads asked for, in all
    std::uint64_t deliveredBytes = 0;  // what they gave
    int openHandles = 0;
    int abandoned = 0;  // replies given up rather than closed (no longer counted as open)
    // A clock for the worker (WorkerSettings), moved by the reads.
    std::atomic<std::uint64_t> now{1'000'000};

    Handle Open(const char* agentText) override;
    Handle OpenUrl(Handle session, const char* url) override;
    Handle OpenUrlWithHeaders(Handle session, const char* url, const std::string& headers) override;
    unsigned StatusCode(Handle url) override;
    std::string HeaderValue(Handle url, const char* name) override;
    std::uint32_t BodyLength(Handle url) override;
    void Rewind(Handle) override {}
    bool Read(Handle url, void* buffer, std::uint32_t size, std::uint32_t& count) override;
    void Close(Handle handle) override;
    void Abandon(Handle url) override;

    // The bytes a reply's reads deliver, so that fetched files can be compared.
    static std::string BodyOf(const FakeReply& reply);

private:
    struct Stream {
        const FakeReply* reply = nullptr;
        std::size_t next = 0;
        std::uint32_t offset = 0;
    };
    std::vector<std::unique_ptr<Stream>> streams_;
};

// Runs a worker for `records` on a fresh thread while this thread pumps
// messages, and returns the events in the order the main thread saw them.
struct RunResult {
    std::vector<Event> events;
    TWebStatus finalStatus = wsConnected;
    bool terminated = false;
    bool terminateOnMainThread = false;
    bool destroyed = false;
    bool eventsOnMainThread = true;
    std::vector<std::string> tempFilesAtTerminate;
};
struct WorkerSettings {
    std::string partsFolder{};                 // TWebThread::FPartsFolder
    std::function<std::uint64_t()> clock{};    // TWebThread::FClock; none: the worker's own
};
RunResult RunWorker(InternetLayer& internet, const std::string& baseUrl, std::vector<TUpdateRec*> records,
                    std::function<void(const Event&)> onEvent = {}, const WorkerSettings& settings = {});

}  // namespace tallowfin::test
