#include "transaction/recovery.h"

namespace tallowfin {

EntryState StateOf(const JournalEntry& entry, const ObservedEntry& observed)
{
    if (entry.hadOld) {
        if (observed.staged) return observed.aside ? EntryState::kHalf : EntryState::kUntouched;
        return observed.aside ? EntryState::kSwapped : EntryState::kLost;
    }
    // Nothing was set aside: the new file is in place exactly when its copy
    // has left its staged name for the target.
    if (observed.staged) return EntryState::kUntouched;
    return observed.target ? EntryState::kSwapped : EntryState::kLost;
}

bool RecoversForward(const Journal& journal, const std::vector<ObservedEntry>& observed)
{
    if (journal.phase == JournalPhase::kStaging) return false;
    if (journal.phase == JournalPhase::kCommitted) return true;
    if (observed.size() != journal.entries.size()) return false;
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const JournalEntry& entry = journal.entries[i];
        if (entry.selfUpdate) continue;
        switch (StateOf(entry, observed[i])) {
        case EntryState::kSwapped: break;
        case EntryState::kUntouched:
        case EntryState::kHalf:
            if (!observed[i].stagedAsListed) return false;
            break;
        case EntryState::kLost: return false;
        }
    }
    return true;
}

}  // namespace tallowfin
