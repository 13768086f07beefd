// How fast the updater hashes an installation, and with how much memory:
// FileDigestText over every file of a folder, then the same at other read
// sizes, then Md5::Update alone over a buffer in memory, so the cost of
// reading files (under Wine, through its file layer) can be told apart from
// the cost of the hash itself. Driven by bench/hash-bench.sh.
//
// With --threads N, the same files once more through the updater's hashing
// pool with N threads, as it hashes where the disk has no seek penalty.
//
// hash_bench [--repeat N] [--chunks KiB,KiB,...] [--memory-mb N] [--digests FILE] [--threads N] FOLDER
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/md5.h"
#include "digestcache/file_digest.h"
#include "digestcache/local_digests.h"

namespace fs = std::filesystem;
using tallowfin::FileDigestText;

namespace {

struct Options {
    std::string folder;
    int repeat = 3;
    std::vector<std::size_t> chunksKiB;
    std::size_t memoryMb = 256;
    std::string digestsPath;
    unsigned threads = 0;
};

struct Entry {
    std::string path;      // as the updater would name it
    std::string relative;  // with forward slashes, for comparing with md5sum's list
    std::uint64_t size;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--repeat") {
            options.repeat = std::max(1, std::stoi(value()));
        } else if (arg == "--chunks") {
            const std::string list = value();
            std::size_t start = 0;
            while (start < list.size()) {
                std::size_t comma = list.find(',', start);
                if (comma == std::string::npos) comma = list.size();
                options.chunksKiB.push_back(std::stoul(list.substr(start, comma - start)));
                start = comma + 1;
            }
        } else if (arg == "--memory-mb") {
            options.memoryMb = std::stoul(value());
        } else if (arg == "--digests") {
            options.digestsPath = value();
        } else if (arg == "--threads") {
            options.threads = static_cast<unsigned>(std::max(1, std::stoi(value())));
        } else if (options.folder.empty()) {
            options.folder = arg;
        } else {
            throw std::runtime_error("unexpected argument " + arg);
        }
    }
    if (options.folder.empty()) throw std::runtime_error("usage: hash_bench [options] FOLDER");
    return options;
}

// Sorted, so runs and the digest list come out in the same order every time.
std::vector<Entry> ListFiles(const std::string& folder)
{
    std::vector<Entry> files;
    const fs::path root(folder);
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (!item.is_regular_file()) continue;
        std::string relative = item.path().lexically_relative(root).generic_string();
        files.push_back({item.path().string(), std::move(relative), item.file_size()});
    }
    std::sort(files.begin(), files.end(), [](const Entry& a, const Entry& b) { return a.relative < b.relative; });
    return files;
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The best of `repeat` passes: the files sit in the page cache, so the
// slower passes measure interference from the rest of the machine.
template <class Pass>
double BestSeconds(int repeat, Pass pass)
{
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        pass();
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
    }
    return best;
}

PROCESS_MEMORY_COUNTERS MemoryCounters()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        throw std::runtime_error("GetProcessMemoryInfo failed");
    return counters;
}

// SIZE_T is 32 bits wide in the 32-bit build.
unsigned long long Kib(SIZE_T bytes)
{
    return static_cast<unsigned long long>(bytes) / 1024;
}

double MegabytesPerSecond(std::uint64_t bytes, double seconds)
{
    return static_cast<double>(bytes) / 1e6 / seconds;
}

int Run(const Options& options)
{
    const std::vector<Entry> files = ListFiles(options.folder);
    std::uint64_t total = 0, largest = 0;
    for (const Entry& file : files) {
        total += file.size;
        largest = std::max(largest, file.size);
    }
    std::printf("files %zu bytes %llu largest %llu\n", files.size(), static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(largest));
    if (files.empty() || total == 0) throw std::runtime_error("no data under " + options.folder);

    const PROCESS_MEMORY_COUNTERS before = MemoryCounters();

    // The digests are kept and checked by the driver against md5sum's:
    // figures of a wrong hash would be worthless.
    std::vector<std::string> digests(files.size());
    const double fileSeconds = BestSeconds(options.repeat, [&] {
        for (std::size_t i = 0; i < files.size(); ++i) digests[i] = FileDigestText(files[i].path);
    });
    const PROCESS_MEMORY_COUNTERS after = MemoryCounters();

    std::printf("files_mbps %.1f\n", MegabytesPerSecond(total, fileSeconds));
    std::printf("files_seconds %.3f\n", fileSeconds);
    // The peaks before hashing are the program's and Wine's own; the rise
    // from there is what hashing a gigabyte cost.
    std::printf("peak_working_set_before_kib %llu\n", Kib(before.PeakWorkingSetSize));
    std::printf("peak_working_set_kib %llu\n", Kib(after.PeakWorkingSetSize));
    std::printf("peak_pagefile_before_kib %llu\n", Kib(before.PeakPagefileUsage));
    std::printf("peak_pagefile_kib %llu\n", Kib(after.PeakPagefileUsage));
    std::fflush(stdout);

    if (!options.digestsPath.empty()) {
        std::ofstream out(options.digestsPath, std::ios::binary | std::ios::trunc);
        for (std::size_t i = 0; i < files.size(); ++i) out << digests[i] << "  " << files[i].relative << "\n";
        if (!out) throw std::runtime_error("cannot write " + options.digestsPath);
    }

    if (options.threads != 0) {
        std::vector<std::string> paths;
        for (const Entry& file : files) paths.push_back(file.path);
        tallowfin::LocalDigests pool("", options.threads);
        std::vector<tallowfin::LocalDigests::Digest> pooled;
        const double seconds = BestSeconds(options.repeat, [&] { pooled = pool.Of(paths); });
        for (std::size_t i = 0; i < files.size(); ++i)
            if (pooled[i].error || pooled[i].text != digests[i])
                throw std::runtime_error("the pool's digest of " + files[i].relative + " differs");
        std::printf("pool_threads %u\npool_mbps %.1f\npool_seconds %.3f\n", options.threads,
                    MegabytesPerSecond(total, seconds), seconds);
        std::fflush(stdout);
    }

    // The sizes take turns pass after pass, so a busy spell of the machine
    // does not fall on one size only.
    std::vector<double> chunkSeconds(options.chunksKiB.size(), 1e300);
    for (int pass = 0; pass < options.repeat; ++pass) {
        for (std::size_t i = 0; i < options.chunksKiB.size(); ++i) {
            chunkSeconds[i] = std::min(chunkSeconds[i], BestSeconds(1, [&] {
                for (const Entry& file : files) FileDigestText(file.path, options.chunksKiB[i] * 1024);
            }));
        }
    }
    for (std::size_t i = 0; i < options.chunksKiB.size(); ++i)
        std::printf("chunk_kib %zu mbps %.1f\n", options.chunksKiB[i], MegabytesPerSecond(total, chunkSeconds[i]));

    // Last, because its buffer would otherwise dominate the peaks above.
    if (options.memoryMb != 0) {
        const std::size_t size = options.memoryMb << 20;
        const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        std::uint32_t x = 2463534242u;  // xorshift: cheap bytes the compiler cannot see through
        for (std::size_t i = 0; i < size; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            buffer[i] = static_cast<std::uint8_t>(x);
        }
        std::string text;
        const double seconds = BestSeconds(options.repeat, [&] {
            tallowfin::Md5 md5;
            md5.Update(buffer.get(), size);
            text = tallowfin::DigestText(md5.Finish());
        });
        std::printf("memory_mb %zu digest %s\n", options.memoryMb, text.c_str());
        std::printf("memory_mbps %.1f\n", MegabytesPerSecond(size, seconds));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(ParseOptions(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hash_bench: %s\n", e.what());
        return 1;
    }
}
