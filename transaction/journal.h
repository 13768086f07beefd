// The journal of a release transaction: what the installation of one release
// intends, kept in the installation's own folder so that a run killed at any
// step leaves what the next run needs to finish it forward or take it back.
// Plain values and their file format; the steps that write and read it are
// release_transaction.*.
//
// The file is a sealed record (common/sealed_record.h): a file that is cut
// short, damaged, of another version or written by something else reads as
// nothing. It is written whole (common/kept_file.h) before each phase begins,
// so a kill leaves the journal of the phase under way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin {

// In the program's folder, beside the files a release replaces and the
// installation's serial. A fixed name without the leading "~" of the files a
// run makes beside the product's.
inline constexpr char kJournalFile[] = "TallowfinUpdate.journal";
// No journal is larger: a release of tens of thousands of files with long
// paths stays far below it.
inline constexpr std::size_t kLargestJournal = 64 * 1024 * 1024;

enum class JournalPhase : std::uint32_t {
    // New copies are being written beside their targets; nothing is in place.
    kStaging = 1,
    // Every copy was written and checked; old files are being renamed aside
    // and new ones into place. Finished forward or taken back by the next run.
    kCommitting = 2,
    // The release is in place; left are old files to delete and DLLs to
    // register.
    kCommitted = 3,
};

struct JournalEntry {
    std::string target;   // where the file belongs
    std::string staged;   // its new copy beside it, named by the updater
    std::string aside;    // where the old file goes meanwhile, named by the updater
    std::string md5;      // the digest text read of the staged copy (from kCommitting on)
    std::string sha256;   // the same for SHA-256, where the list gave one
    bool selfUpdate = false;  // the updater's own new build, which the helper puts in place
    bool registers = false;   // a COM server DLL, registered once it is in place
    bool hadOld = false;      // a file stood at the target when the renames began
    bool operator==(const JournalEntry&) const = default;
};

struct JournalRegistration {
    std::string path;              // a target of this journal's release
    std::string md5;               // what it held when it was put in place
    std::uint32_t attempts = 0;    // registrations begun that did not end
    bool operator==(const JournalRegistration&) const = default;
};

struct Journal {
    JournalPhase phase = JournalPhase::kStaging;
    std::string list;  // the release's list, as its digest text: which publication this was
    std::vector<JournalEntry> entries;
    // From kCommitted on: the DLLs still to register, in list order.
    std::vector<JournalRegistration> registrations;
    bool operator==(const Journal&) const = default;
};

std::string JournalBytes(const Journal& journal);
// Nothing unless the bytes are exactly a journal: a damaged or foreign file is
// never acted on.
std::optional<Journal> ReadJournal(std::string_view bytes);

}  // namespace tallowfin
