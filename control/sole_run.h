// Whether this is the only updater run of the user's session. Runs leave
// their work in shared places (their downloads in the temporary folder, their
// pending installation work in the user's registry), where a killed run's
// leftovers and a live run's files look alike: only a run that knows no other
// run is alive may clean them up.
#pragma once

#include "common/handle.h"

namespace tallowfin {

class SoleRun {
public:
    // The updater's own mutex. The main program's mutex, by which the updater
    // tells whether the main program runs, is never created or held here.
    static constexpr char kMutexName[] = "TALLOWFIN_BETA_AUTO_UPDATE_RUN";

    // Every run holds a handle for its whole life, so the mutex exists exactly
    // while some run is alive (a killed run's handle goes with its process).
    // The run that creates it is the only one, and owns it.
    SoleRun();

    bool Sole() const noexcept { return sole_; }

private:
    KernelHandle mutex_;
    bool sole_ = false;
};

}  // namespace tallowfin
