#include "control/install_file.h"

#include <windows.h>

#include "common/file_system.h"
#include "common/handle.h"
#include "common/own_names.h"
#include "control/install_rules.h"
#include "control/pending_work.h"

namespace tallowfin {

namespace {

// Copies `source` to `copy`, which must not exist yet, and flushes it: what
// is renamed over the target afterwards has reached the disk whole.
bool WriteCopy(const std::string& source, const std::string& copy)
{
    if (!CopyFileA(source.c_str(), copy.c_str(), TRUE)) return false;
    FileHandle file(CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && FlushFileBuffers(file.get());
}

}  // namespace

bool PlaceFile(const std::string& source, const std::string& target)
{
    // The process id keeps apart the copies of two runs that install into one
    // folder at the same time; the number steps past a copy a killed run of
    // the same id left.
    for (std::uint32_t number = 0; number < 16; ++number) {
        const std::string copy = NewCopyPathFor(target, GetCurrentProcessId(), number);
        if (FileExists(copy)) continue;
        BeginPendingWork(copy, PendingKind::kNewCopy);
        const bool placed = WriteCopy(source, copy) &&
                            MoveFileExA(copy.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!placed) DeleteFileA(copy.c_str());
        if (!FileExists(copy)) EndPendingWork(copy);
        return placed;
    }
    return false;
}

}  // namespace tallowfin
