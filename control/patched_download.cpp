#include "control/patched_download.h"

#include <windows.h>

#include "common/handle.h"
#include "common/limits.h"
#include "common/md5.h"
#include "digestcache/file_digest.h"
#include "download/temp_files.h"
#include "patch/apply_win32.h"

namespace tallowfin {

namespace {

bool ApplyTo(const TUpdateRec& record, const std::string& resultPath)
{
    const TListedPatch& patch = *record.Patch;
    // A patch is checked before it is used, where the list pins it.
    if (!patch.Sha256.empty() && FileSha256Text(record.TempFile) != patch.Sha256) return false;
    // Read as the updater's own running image can be: shared for reading and
    // deleting, never for writing while it is read.
    FileHandle base(CreateFileA(record.LocalPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr));
    FileHandle fetched(CreateFileA(record.TempFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    FileHandle result(CreateFileA(resultPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!base || !fetched || !result) return false;
    patch::ApplyOptions options;
    options.largestResult = record.WholeSize.value_or(limits::kLargestFile);
    options.baseMd5 = patch::Md5FromText(record.BaseMd5);
    // A listed text that is no digest checks nothing, here as for a whole file.
    options.resultMd5 = patch::Md5FromText(record.Listed.Md5);
    if (!options.baseMd5 || !patch::ApplyPatchToFile(base.get(), fetched.get(), result.get(), options).Applied())
        return false;
    if (!result.reset()) return false;
    return record.Listed.Sha256.empty() || FileSha256Text(resultPath) == record.Listed.Sha256;
}

// The record fetches the whole file again: its address and size.
void FetchWholeFileInstead(TUpdateRec& record) noexcept
{
    record.Url = record.WholeUrl;
    record.Size = record.WholeSize;
    record.Patch.reset();
    record.TempFile.clear();
}

}  // namespace

bool ApplyFetchedPatch(TUpdateRec& record) noexcept
{
    if (!record.Patch) return false;
    if (record.TempFile.empty()) {
        FetchWholeFileInstead(record);
        return false;
    }
    // Of the worker's naming: a killed run's is removed by the next run as any
    // left download is.
    const std::string resultPath = NewWorkerTemporaryFile();
    bool applied = false;
    try {
        applied = !resultPath.empty() && ApplyTo(record, resultPath);
    } catch (...) {
        // A file that cannot be read: the whole file serves instead.
    }
    DeleteFileA(record.TempFile.c_str());
    if (!applied) {
        if (!resultPath.empty()) DeleteFileA(resultPath.c_str());
        FetchWholeFileInstead(record);
        return false;
    }
    record.TempFile = resultPath;
    record.Patch.reset();
    return true;
}

}  // namespace tallowfin
