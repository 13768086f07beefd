#include "control/download_check.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "common/file_system.h"
#include "common/handle.h"
#include "control/file_digest.h"

namespace tallowfin {

namespace {

// One row per digest a list gives: the listed text, and how the same digest is
// taken of a file. The texts are compared as the list's are with installed
// files, byte for byte, so an empty or upper-case listed text never matches,
// except that a digest only some lists give is not looked for where the list
// gave none.
struct DigestCheck {
    std::string TListedDigests::*listed;
    std::string (*ofFile)(const std::string& path);
    bool onlyWhereListed;
};

constexpr DigestCheck kDigestChecks[] = {
    {&TListedDigests::Md5, [](const std::string& path) { return FileDigestText(path); }, false},
    // A signed list gives it for every entry (its reader refuses the list
    // otherwise); the list's signature covers it, where an MD5 could be
    // matched by a file made for the purpose.
    {&TListedDigests::Sha256, &FileSha256Text, true},
};

// One digest of a file, taken on whichever thread runs it. A file that cannot
// be read gives none: it cannot be shown to be the listed one.
struct DigestJob {
    const DigestCheck* check;
    const std::string* path;
    std::optional<std::string> digest;

    void Run() noexcept
    {
        try {
            digest = check->ofFile(*path);
        } catch (...) {
            digest.reset();
        }
    }
    static DWORD WINAPI Start(void* job)
    {
        static_cast<DigestJob*>(job)->Run();
        return 0;
    }
};

bool HasListedDigests(const TUpdateRec& record)
{
    std::vector<DigestJob> jobs;
    for (const DigestCheck& check : kDigestChecks)
        if (!check.onlyWhereListed || !(record.Listed.*check.listed).empty())
            jobs.push_back({&check, &record.TempFile, std::nullopt});

    // The digests are taken at once: the first on this thread, each other one
    // on a thread of its own. The system's SHA-256 runs at a fraction of
    // MD5's speed (under Wine 8, 260 MB/s against 650); one after the other,
    // the two would hold a large download a second longer before it is
    // installed. Each reads the file, the second from the system's cache.
    std::vector<KernelHandle> threads;
    threads.reserve(jobs.size());  // no allocation while a thread runs on `jobs`
    for (std::size_t i = 1; i < jobs.size(); ++i) {
        KernelHandle thread(CreateThread(nullptr, 0, &DigestJob::Start, &jobs[i], 0, nullptr));
        if (thread) threads.push_back(std::move(thread));
        else jobs[i].Run();  // no thread to be had: here, one after the other
    }
    if (!jobs.empty()) jobs[0].Run();
    for (const KernelHandle& thread : threads) WaitForSingleObject(thread.get(), INFINITE);

    return std::all_of(jobs.begin(), jobs.end(),
                       [&](const DigestJob& job) { return job.digest == record.Listed.*(job.check->listed); });
}

}  // namespace

const TUpdateRec* FirstDownloadNotAsListed(const std::vector<TUpdateRec*>& records)
{
    for (const TUpdateRec* record : records)
        if (FileExists(record->TempFile) && !HasListedDigests(*record)) return record;
    return nullptr;
}

}  // namespace tallowfin
