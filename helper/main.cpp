// The replacement helper: waits until a process has ended, then puts a staged
// file in place of a target file in one step. The updater starts it with
// "staged" "target" pid  just before it ends, because it cannot replace its
// own executable while that runs. No window, no message, exit code 0 on
// every path: the updater never learns how it went, and finds a failed
// replacement on its next run by comparing digests.
#include <windows.h>

#include <cstdint>

#include "common/handle.h"
#include "common/int_text.h"
#include "common/lead_bytes.h"
#include "helper/command_line.h"
#include "selfreplace/self_update_rules.h"

namespace {

// Process ids are reused. The process to wait for started this helper, so it
// was created before it; a process with that id created later is another
// program that got the id after the awaited one had ended, and waiting for
// it could last for ever.
bool CreatedAfterThisProcess(HANDLE process)
{
    FILETIME created{}, ownCreated{}, unused{};
    if (!GetProcessTimes(process, &created, &unused, &unused, &unused) ||
        !GetProcessTimes(GetCurrentProcess(), &ownCreated, &unused, &unused, &unused))
        return false;
    return CompareFileTime(&created, &ownCreated) > 0;
}

// Renames the staged file over the target: both lie in one folder, so the
// target holds the old executable or the new one at every moment, and a kill
// or a power cut cannot leave it broken. The staged file is gone only once it
// is the target. The system keeps an ended program's image busy for a moment,
// and a scanner may hold the file: while the target is held the rename is
// tried again, for a while. A staged file that never gets in stays, for a
// later self-update to overwrite.
void ReplaceTarget(const char* staged, const char* target)
{
    using namespace tallowfin;
    for (std::uint32_t waited = 0;; waited += kReplaceRetryIntervalMs) {
        if (MoveFileExA(staged, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
        if (!ReplacementMayStillSucceed(GetLastError()) || waited >= kReplaceRetryLimitMs) return;
        Sleep(kReplaceRetryIntervalMs);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    using namespace tallowfin;
    const std::vector<std::string> args = SplitCommandLine(GetCommandLineA(), IsLeadByteOfAnsiCodePage);
    if (args.size() < 3) return 0;

    const auto pid = static_cast<DWORD>(static_cast<std::uint64_t>(ReadIntegerText<std::int64_t>(args[2])));
    if (pid != 0) {
        // Only SYNCHRONIZE is needed; the full mask is what older systems grant
        // to the same user anyway. A process that has already ended cannot be
        // opened, and the wait on a null handle returns at once.
        KernelHandle process(OpenProcess(0x1F0FFF, FALSE, pid));
        if (process && CreatedAfterThisProcess(process.get())) process.reset();
        WaitForSingleObject(process.get(), INFINITE);
    }
    ReplaceTarget(args[0].c_str(), args[1].c_str());
    return 0;
}
