// What installing a release as one transaction costs, beside installing it
// the way the updater did before: each download's digests read from the
// temporary folder, then copied beside its target, flushed and renamed over
// it, one file after the other. Measured on the same files in the same run:
//
//   large   one file of --size bytes replacing an older one
//   many    one changed file of --files, all in one folder
//
//   install_bench.exe FOLDER [--size BYTES] [--files N] [--repeat N]
// Prints "key value" lines (seconds, best of the rounds) for bench/run.sh.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/own_names.h"
#include "digestcache/file_digest.h"
#include "transaction/release_transaction.h"
#include "transaction/staged_file.h"

namespace {

using namespace tallowfin;
using Clock = std::chrono::steady_clock;

void WriteFileOf(const std::string& path, std::uint64_t size, unsigned seed)
{
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::mt19937 random(seed);
    std::vector<std::uint32_t> block(1 << 18);
    for (std::uint64_t done = 0; done < size;) {
        for (auto& word : block) word = random();
        const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(size - done, block.size() * 4));
        DWORD put = 0;
        WriteFile(file.get(), block.data(), want, &put, nullptr);
        done += put;
    }
}

// The installation before releases were transactions: the download's MD5
// checked where it lay, then copied beside the target under the updater's
// name, flushed, and renamed over the target.
bool InstallAsBefore(const std::string& download, const std::string& target, const std::string& md5)
{
    if (FileDigestText(download) != md5) return false;
    const std::string copy = NewCopyPathFor(target, GetCurrentProcessId(), 0);
    if (!CopyFileA(download.c_str(), copy.c_str(), FALSE)) return false;
    {
        FileHandle file(CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !FlushFileBuffers(file.get())) return false;
    }
    return MoveFileExA(copy.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool InstallAsTransaction(const std::string& folder, const std::string& download, const std::string& target,
                          const std::string& md5)
{
    ReleaseTransaction transaction(folder + "\\" + kJournalFile, md5);
    ReleaseFile file;
    file.source = download;
    file.target = target;
    file.listedMd5 = md5;
    if (transaction.Stage({file}) != ReleaseTransaction::Staging::kStaged || !transaction.Commit()) return false;
    transaction.Finish();
    return true;
}

double Time(const std::function<bool()>& install)
{
    const auto start = Clock::now();
    if (!install()) {
        std::fprintf(stderr, "an installation failed\n");
        std::exit(1);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [--size BYTES] [--files N] [--repeat N]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    std::uint64_t size = 200ull * 1024 * 1024;
    int files = 1000, repeat = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--size") size = std::stoull(argv[i + 1]);
        else if (option == "--files") files = std::stoi(argv[i + 1]);
        else if (option == "--repeat") repeat = std::stoi(argv[i + 1]);
    }
    CreateDirectoryA(folder.c_str(), nullptr);

    // One large file: a download and an older installed copy.
    const std::string download = folder + "\\download.bin", target = folder + "\\large.bin";
    WriteFileOf(download, size, 1);
    const std::string md5 = FileDigestText(download);
    // Many small files, one of which a release changes.
    const std::string many = folder + "\\many";
    CreateDirectoryA(many.c_str(), nullptr);
    for (int i = 0; i < files; ++i) WriteFileOf(many + "\\file" + std::to_string(i) + ".bin", 20000, 100 + i);
    const std::string small = folder + "\\small.bin";
    WriteFileOf(small, 20000, 7);
    const std::string smallMd5 = FileDigestText(small);
    const std::string changed = many + "\\file" + std::to_string(files / 2) + ".bin";

    double before = 1e9, transaction = 1e9, beforeOne = 1e9, transactionOne = 1e9;
    for (int round = 0; round < repeat; ++round) {
        // The downloads and the old files are put back between the runs; the
        // installations take turns.
        WriteFileOf(target, size / 2, 2);
        before = std::min(before, Time([&] { return InstallAsBefore(download, target, md5); }));
        WriteFileOf(target, size / 2, 2);
        transaction = std::min(transaction, Time([&] { return InstallAsTransaction(folder, download, target, md5); }));
        WriteFileOf(changed, 20000, 3);
        beforeOne = std::min(beforeOne, Time([&] { return InstallAsBefore(small, changed, smallMd5); }));
        WriteFileOf(changed, 20000, 3);
        transactionOne = std::min(transactionOne, Time([&] { return InstallAsTransaction(many, small, changed, smallMd5); }));
    }
    std::printf("large_bytes %llu\n", static_cast<unsigned long long>(size));
    std::printf("large_before_s %.3f\nlarge_transaction_s %.3f\n", before, transaction);
    std::printf("one_of_many_files %d\n", files);
    std::printf("one_before_s %.4f\none_transaction_s %.4f\n", beforeOne, transactionOne);
    return 0;
}
