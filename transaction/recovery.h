// What the next run does with a transaction a killed run left: the state each
// entry was left in, told from which of its files exist, and whether the
// release goes forward or back. Pure functions on plain values, tested
// natively.
#pragma once

#include <vector>

#include "transaction/journal.h"

namespace tallowfin {

// What the file system shows of an entry's files.
struct ObservedEntry {
    bool staged = false;          // the new copy still lies under its staged name
    bool stagedAsListed = false;  // ...and has the digests the journal gives (looked at only when it lies there)
    bool aside = false;           // the old file lies under its aside name
    bool target = false;          // a file lies at the target
};

enum class EntryState {
    kUntouched,  // the new copy waits beside the old file (or beside nothing)
    kHalf,       // the old file is aside, the new copy not yet in place
    kSwapped,    // the new file is in place (its old one, if any, aside)
    kLost,       // the new copy is gone without having been put in place
};

// The updater's own new build is never in this state machine: the helper
// puts it in place after the run, and a left one is only ever deleted.
EntryState StateOf(const JournalEntry& entry, const ObservedEntry& observed);

// A transaction left while committing goes forward when every new file is in
// place or still whole and as listed beside its target; otherwise it goes back
// to the previous release. Earlier phases always go back, later ones forward.
bool RecoversForward(const Journal& journal, const std::vector<ObservedEntry>& observed);

}  // namespace tallowfin
