// How fast the updater's applier makes a file from a patch, through the Win32
// file adapters the updater uses: the base read at offsets, the patch read
// front to back, the result written into a new file. Beside it, the result
// copied through the same output in the same pieces, for what the file layer
// alone costs. Driven by bench/patch-bench.sh.
//
// patch_bench --base FILE --patch FILE --expect FILE [--repeat N] [--out FILE]
// Prints "key value" lines: result_bytes, apply_mbps, copy_mbps,
// peak_working_set_kib (after the first application, before the program
// reads anything itself), and outcome.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/handle.h"
#include "patch/apply_win32.h"

namespace {

using tallowfin::FileHandle;

struct Options {
    std::string base, patch, expect, out;
    int repeat = 3;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--base") options.base = value;
        else if (arg == "--patch") options.patch = value;
        else if (arg == "--expect") options.expect = value;
        else if (arg == "--out") options.out = value;
        else if (arg == "--repeat") options.repeat = std::max(1, std::stoi(value));
        else throw std::runtime_error("unknown option " + arg);
    }
    if (options.base.empty() || options.patch.empty() || options.expect.empty())
        throw std::runtime_error("usage: patch_bench --base FILE --patch FILE --expect FILE [--repeat N] [--out FILE]");
    if (options.out.empty()) options.out = options.expect + ".applied";
    return options;
}

FileHandle Open(const std::string& path)
{
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) throw std::runtime_error("cannot open " + path);
    return file;
}

FileHandle Create(const std::string& path)
{
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot create " + path);
    return file;
}

// Whether two files hold the same bytes, compared a piece at a time.
bool SameContent(const std::string& a, const std::string& b)
{
    const FileHandle first = Open(a), second = Open(b);
    std::vector<char> x(1 << 20), y(1 << 20);
    for (;;) {
        DWORD gotX = 0, gotY = 0;
        if (!ReadFile(first.get(), x.data(), static_cast<DWORD>(x.size()), &gotX, nullptr) ||
            !ReadFile(second.get(), y.data(), static_cast<DWORD>(y.size()), &gotY, nullptr))
            throw std::runtime_error("cannot read " + a + " or " + b);
        if (gotX != gotY || !std::equal(x.begin(), x.begin() + gotX, y.begin())) return false;
        if (gotX == 0) return true;
    }
}

std::uint64_t SizeOf(const std::string& path)
{
    LARGE_INTEGER size{};
    GetFileSizeEx(Open(path).get(), &size);
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t PeakWorkingSetKiB()
{
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    return static_cast<std::size_t>(memory.PeakWorkingSetSize / 1024);
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const Options options = ParseOptions(argc, argv);
        const std::uint64_t resultBytes = SizeOf(options.expect);
        const double megabytes = static_cast<double>(resultBytes) / 1e6;
        double applySeconds = 1e9, copySeconds = 1e9;
        std::size_t peakKiB = 0;
        tallowfin::patch::ApplyResult result;
        for (int round = 0; round < options.repeat; ++round) {
            {
                const FileHandle base = Open(options.base), patch = Open(options.patch), out = Create(options.out);
                const auto start = std::chrono::steady_clock::now();
                result = tallowfin::patch::ApplyPatchToFile(base.get(), patch.get(), out.get());
                applySeconds = std::min(applySeconds, Seconds(start));
                if (!result.Applied())
                    throw std::runtime_error(std::string("the patch did not apply: ") +
                                             tallowfin::patch::OutcomeName(result.outcome) + ": " + result.detail);
            }
            // Before anything else of this program takes memory.
            if (round == 0) peakKiB = PeakWorkingSetKiB();
            if (!SameContent(options.out, options.expect))
                throw std::runtime_error("the applied file is not the expected one");
            {
                // The same bytes read and written through the same output in
                // the applier's pieces of 64 KiB: the file layer alone.
                const FileHandle in = Open(options.expect), out = Create(options.out);
                tallowfin::patch::FileResultOutput output(out.get());
                std::vector<char> piece(64 * 1024);
                const auto start = std::chrono::steady_clock::now();
                DWORD got = 0;
                while (ReadFile(in.get(), piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr) && got > 0)
                    if (!output.Write(piece.data(), got)) throw std::runtime_error("cannot write " + options.out);
                copySeconds = std::min(copySeconds, Seconds(start));
            }
        }
        DeleteFileA(options.out.c_str());
        std::printf("result_bytes %llu\n", static_cast<unsigned long long>(resultBytes));
        std::printf("apply_mbps %.1f\n", megabytes / applySeconds);
        std::printf("copy_mbps %.1f\n", megabytes / copySeconds);
        std::printf("peak_working_set_kib %zu\n", peakKiB);
        std::printf("outcome %s\n", tallowfin::patch::OutcomeName(result.outcome));
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "patch_bench: %s\n", failure.what());
        return 1;
    }
}
