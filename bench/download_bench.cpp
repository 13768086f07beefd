// How fast the download worker fetches a large file from a local server, with
// the main thread taking every event as the controller does (a progress bar
// is moved for each one), beside what the same internet library delivers
// without any hand-over in reads of the worker's size, what one hand-over
// costs through the door the worker uses and through a sent message, and
// what posting a progress report without waiting costs the worker.
//
//   download_bench.exe --base http://host/software/Tallowfin/ --file big.bin
//                      [--small small.bin] [--repeat N] [--round-trips N]
// Prints "key value" lines for its driver script, bench/download-bench.sh.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "download/main_thread_door.h"
#include "download/read_thread.h"
#include "download/web_thread.h"

namespace {

using namespace tallowfin;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string base;
    std::string file;
    std::string small;
    int repeat = 3;
    int roundTrips = 20000;
};

struct Memory {
    std::size_t workingSetKib;
    std::size_t pagefileKib;
};

Memory PeakMemory()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return {counters.PeakWorkingSetSize / 1024, counters.PeakPagefileUsage / 1024};
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Pump(const bool& done)
{
    MSG msg;
    while (!done && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// A hidden window with a progress bar, moved for every progress event as the
// controller's window does.
class ProgressWindow {
public:
    ProgressWindow()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        window_.reset(CreateWindowExA(0, "STATIC", "bench", WS_OVERLAPPED, 0, 0, 338, 65, nullptr, nullptr, nullptr,
                                      nullptr));
        bar_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 8, 8, 313, 17, window_.get(), nullptr,
                               nullptr, nullptr);
    }
    void Set(int max, int position)
    {
        SendMessageA(bar_, PBM_SETRANGE32, 0, max);
        SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }

private:
    WindowHandle window_;
    HWND bar_ = nullptr;
};

struct Fetch {
    double seconds = 0;
    std::int64_t bytes = 0;
    long events = 0;
    long reads = 0;
    bool ok = false;
};

// One pass of the worker over one record, the main thread pumping.
Fetch FetchWithWorker(MainThreadDoor& door, ProgressWindow& progress, const std::string& base, const std::string& file)
{
    TUpdateRec record{"bench", file, "", ""};
    Fetch result;
    bool done = false;
    auto worker = std::make_unique<TWebThread>(door);
    worker->FreeOnTerminate = true;
    worker->FBaseUrl = base;
    worker->FRecords.push_back(&record);
    worker->OnStatus = [&](TWebThread*, TWebStatus kind, const std::string&, std::int32_t size, std::int32_t position) {
        ++result.events;
        if (kind == wsProgress) {
            progress.Set(size, position);
            result.bytes = position;
        }
    };
    worker->OnTerminate = [&](TThread* sender) {
        result.ok = static_cast<TWebThread*>(sender)->FStatus == wsDisconnected && !record.TempFile.empty();
        done = true;
    };
    const auto started = Clock::now();
    worker->Resume();
    worker.release();  // frees itself
    Pump(done);
    result.seconds = Seconds(Clock::now() - started);
    if (!record.TempFile.empty()) DeleteFileA(record.TempFile.c_str());
    Sleep(50);  // let the worker delete itself before the next pass
    return result;
}

// The same library reading the same body in reads of the worker's size, with
// no hand-over and nothing written: what the machine's internet layer can
// deliver.
// With `arrived`, each read takes only what has arrived, as the worker's
// internet layer does (InternetQueryDataAvailable first).
Fetch FetchRaw(const std::string& url, bool arrived)
{
    Fetch result;
    const auto started = Clock::now();
    HINTERNET session = InternetOpenA(TWebThread::kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET handle = session ? InternetOpenUrlA(session, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0) : nullptr;
    if (handle) {
        std::vector<char> buffer(ReadThread::kLargestRead);
        for (;;) {
            DWORD available = ReadThread::kLargestRead, got = 0;
            if (arrived && (!InternetQueryDataAvailable(handle, &available, 0, 0) || available == 0))
                available = ReadThread::kLargestRead;
            if (!InternetReadFile(handle, buffer.data(), std::min<DWORD>(available, ReadThread::kLargestRead), &got) ||
                got == 0)
                break;
            result.bytes += got;
            ++result.reads;
        }
        result.ok = true;
        InternetCloseHandle(handle);
    }
    if (session) InternetCloseHandle(session);
    result.seconds = Seconds(Clock::now() - started);
    return result;
}

// The worker's internet layer reading the same body as the worker asks it,
// on one thread, nothing written: what the layer's reads cost.
Fetch FetchThroughLayer(const std::string& url)
{
    Fetch result;
    InternetLayer& layer = SystemInternet();
    const auto started = Clock::now();
    InternetHandle session(layer, layer.Open(TWebThread::kAgent));
    InternetHandle request(layer, session ? layer.OpenUrl(session.get(), url.c_str()) : nullptr);
    if (request) {
        std::vector<char> buffer(ReadThread::kLargestRead);
        std::uint32_t got = 0;
        while (layer.Read(request.get(), buffer.data(), ReadThread::kLargestRead, got) && got > 0) {
            result.bytes += got;
            ++result.reads;
        }
        result.ok = true;
    }
    result.seconds = Seconds(Clock::now() - started);
    return result;
}

// Median round trip of a hand-over, in microseconds.
template <class HandOver>
double MedianRoundTrip(int count, HandOver handOver)
{
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    bool done = false;
    std::thread worker([&] {
        for (int i = 0; i < count; ++i) {
            const auto started = Clock::now();
            handOver();
            times.push_back(Seconds(Clock::now() - started) * 1e6);
        }
        done = true;
        PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
    });
    MSG msg;
    while (!done) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0)
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    worker.join();
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

LRESULT CALLBACK Echo(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP) return 1;
    return DefWindowProcA(window, message, wParam, lParam);
}

Options Parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--base") options.base = value;
        else if (key == "--file") options.file = value;
        else if (key == "--small") options.small = value;
        else if (key == "--repeat") options.repeat = std::stoi(value);
        else if (key == "--round-trips") options.roundTrips = std::stoi(value);
    }
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = Parse(argc, argv);
    if (options.base.empty() || options.file.empty()) {
        std::fprintf(stderr, "usage: download_bench --base URL --file NAME [--small NAME] [--repeat N]\n");
        return 2;
    }
    MainThreadDoor door;
    ProgressWindow progress;
    const Memory atStart = PeakMemory();

    if (!options.small.empty()) {
        Fetch small = FetchWithWorker(door, progress, options.base, options.small);
        const Memory afterSmall = PeakMemory();
        std::printf("small_bytes %lld\nsmall_ok %d\n", static_cast<long long>(small.bytes), small.ok ? 1 : 0);
        std::printf("peak_working_set_small_kib %zu\npeak_pagefile_small_kib %zu\n", afterSmall.workingSetKib,
                    afterSmall.pagefileKib);
    }
    double best = 0, bestRaw = 0, bestArrived = 0, bestLayer = 0;
    long arrivedReads = 0, layerReads = 0;
    Fetch last;
    for (int i = 0; i < options.repeat; ++i) {
        last = FetchWithWorker(door, progress, options.base, options.file);
        if (!last.ok) {
            std::fprintf(stderr, "the worker's fetch failed\n");
            return 1;
        }
        best = std::max(best, static_cast<double>(last.bytes) / 1e6 / last.seconds);
        Fetch raw = FetchRaw(options.base + options.file, false);
        if (raw.ok) bestRaw = std::max(bestRaw, static_cast<double>(raw.bytes) / 1e6 / raw.seconds);
        Fetch arrived = FetchRaw(options.base + options.file, true);
        if (arrived.ok) bestArrived = std::max(bestArrived, static_cast<double>(arrived.bytes) / 1e6 / arrived.seconds);
        arrivedReads = arrived.reads;
        Fetch layered = FetchThroughLayer(options.base + options.file);
        if (layered.ok) bestLayer = std::max(bestLayer, static_cast<double>(layered.bytes) / 1e6 / layered.seconds);
        layerReads = layered.reads;
    }
    const Memory atEnd = PeakMemory();
    std::printf("bytes %lld\nevents %ld\nworker_mbps %.1f\nraw_mbps %.1f\narrived_mbps %.1f\narrived_reads %ld\n",
                static_cast<long long>(last.bytes), last.events, best, bestRaw, bestArrived, arrivedReads);
    std::printf("layer_mbps %.1f\nlayer_reads %ld\n", bestLayer, layerReads);
    std::printf("peak_working_set_start_kib %zu\npeak_working_set_kib %zu\n", atStart.workingSetKib,
                atEnd.workingSetKib);
    std::printf("peak_pagefile_start_kib %zu\npeak_pagefile_kib %zu\n", atStart.pagefileKib, atEnd.pagefileKib);

    // One hand-over through the worker's door, and through a sent message;
    // and what a posted report costs the thread that posts it.
    std::printf("door_us %.1f\n", MedianRoundTrip(options.roundTrips, [&] { door.Run([] {}); }));
    std::printf("post_us %.1f\n", MedianRoundTrip(options.roundTrips, [&] { door.Post([] {}); }));
    WNDCLASSA wc{};
    wc.lpfnWndProc = Echo;
    wc.lpszClassName = "BenchEcho";
    RegisterClassA(&wc);
    WindowHandle echo(CreateWindowExA(0, "BenchEcho", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    std::printf("send_us %.1f\n",
                MedianRoundTrip(options.roundTrips, [&] { SendMessageA(echo.get(), WM_APP, 0, 0); }));
    return 0;
}
