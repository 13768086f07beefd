// The test server as a program of its own, for benchmarks and for looking at
// the updater by hand: serves a folder on 127.0.0.1 until stopped.
//   tallowfin-test-server FOLDER [--port N] [--rate BYTES_PER_SECOND] [--cut-once PATH=BYTES]
// Prints the port on its first line, then a line for every request: the time
// it arrived (seconds since the epoch) and its path; and one for every answer
// once it is sent: "answer STATUS BYTES_SENT PATH". --cut-once cuts the first
// answer for PATH after BYTES of its body (a cut transfer, to be resumed).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/http_server.h"

namespace {
volatile std::sig_atomic_t stop = 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [--port N] [--rate BYTES_PER_SECOND] [--cut-once PATH=BYTES]\n", argv[0]);
        return 2;
    }
    unsigned port = 0;
    long long rate = 0;
    std::string cutPath;
    long long cutAfter = -1;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) port = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--rate") == 0) rate = std::atoll(argv[i + 1]);
        else if (std::strcmp(argv[i], "--cut-once") == 0) {
            const std::string cut = argv[i + 1];
            const auto equals = cut.rfind('=');
            if (equals == std::string::npos) {
                std::fprintf(stderr, "--cut-once takes PATH=BYTES\n");
                return 2;
            }
            cutPath = cut.substr(0, equals);
            cutAfter = std::atoll(cut.c_str() + equals + 1);
        }
    }
    std::signal(SIGINT, [](int) { stop = 1; });
    std::signal(SIGTERM, [](int) { stop = 1; });
    tallowfin::test::HttpServer server(argv[1], static_cast<std::uint16_t>(port));
    if (rate > 0) server.SetDefaultFault({.bytesPerSecond = rate});
    if (!cutPath.empty()) server.SetFault(cutPath, {.cutAfter = cutAfter, .uses = 1});
    server.SetRequestObserver([](const tallowfin::test::Request& request) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        std::printf("%.6f %s\n", std::chrono::duration<double>(now).count(), request.path.c_str());
        std::fflush(stdout);
    });
    server.SetReplyObserver([](const tallowfin::test::Request& request) {
        std::printf("answer %d %lld %s\n", request.status, static_cast<long long>(request.bytesSent), request.path.c_str());
        std::fflush(stdout);
    });
    std::printf("%u\n", server.Port());
    std::fflush(stdout);
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}
