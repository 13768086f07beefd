#include "control/sole_run.h"

namespace tallowfin {

SoleRun::SoleRun()
{
    SetLastError(ERROR_SUCCESS);
    mutex_.reset(CreateMutexA(nullptr, TRUE, kMutexName));
    // A run that finds it already there, or cannot have it at all, is not
    // known to be alone.
    sole_ = mutex_ && GetLastError() != ERROR_ALREADY_EXISTS;
}

}  // namespace tallowfin
