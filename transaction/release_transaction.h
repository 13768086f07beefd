// A release installed as one transaction: every new file is staged beside its
// target and checked there, then all are renamed into place, each old file
// kept under a name aside first (a second name where the volume allows, so the
// target is never missing; renamed aside where it is a running program or a
// loaded DLL, which can be renamed and not replaced); if any step fails, what was swapped is swapped back and
// the installation is the previous release, whole. A journal in the
// installation's folder (journal.h) says at every moment what a run killed
// there leaves, and the next run finishes it forward or takes it back before
// it does anything else (FinishLeftTransaction).
//
// Used on the main thread of one run, which holds the updater's run mutex
// (only the sole run finishes what another left).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/handle.h"
#include "transaction/journal.h"
#include "transaction/staged_file.h"
#include "trust/public_key.h"

namespace tallowfin {

// Held by the run whose transaction is under way, on this machine.
inline constexpr char kInstallMutex[] = "TALLOWFIN_BETA_AUTO_UPDATE_INSTALL";

// One file of a release, as the download pass left it.
struct ReleaseFile {
    std::string source;          // the complete download
    std::string target;          // where it belongs
    std::string listedMd5;       // the entry's "hash", as listed
    std::string listedSha256;    // the entry's "sha256", where the list gives one
    bool selfUpdate = false;     // the updater's own executable: staged for the helper, never renamed here
    // For the updater's own new build, with list keys: the build must carry
    // one of them (compiled in, as its 64 bytes), or it is not as listed.
    std::vector<P256PublicKey> mustCarryOneOf{};
    bool registers = false;      // a COM server DLL, registered once in place
};

// Where the transaction reports: a DLL registration given up, a step that
// failed. One line each, without a line end.
using TransactionLog = std::function<void(const std::string& line)>;

// The log beside the journal, "TallowfinUpdate.log", a line per report with
// the time (UTC); started afresh once it passes 64 KiB.
inline constexpr char kTransactionLogFile[] = "TallowfinUpdate.log";
TransactionLog LogFileBeside(const std::string& journalPath);

class ReleaseTransaction {
public:
    // `journalPath`: the journal in the installation's folder; `list`: the
    // list's identity (its digest text), kept in the journal.
    ReleaseTransaction(std::string journalPath, std::string list, TransactionLog log = {});
    ~ReleaseTransaction();
    ReleaseTransaction(const ReleaseTransaction&) = delete;
    ReleaseTransaction& operator=(const ReleaseTransaction&) = delete;

    enum class Staging {
        kStaged,      // every file is staged and as listed
        kNotAsListed, // a staged copy is not what its entry lists: nothing is left staged
        kFailed,      // a copy could not be written, or the journal: nothing is left staged
    };
    // Writes the journal, then a checked copy of each file beside its target.
    // A file whose target's folder does not exist, or whose path the system
    // cannot hold, is left out (it could never be installed here) and listed
    // in LeftOut(). On anything but kStaged, Problem() names the file and
    // the reason.
    Staging Stage(const std::vector<ReleaseFile>& files);

    // Renames every staged file into place, old files aside first, trying a
    // file held for a moment (a scanner) again for a short while. False when
    // a file could not be put in place: then every file swapped so far is
    // swapped back, the staged copies are gone, and the journal with them.
    bool Commit();

    // After Commit: deletes the old files and registers the DLLs, each in a
    // child process with a time limit, in list order. What does not end here
    // (a registration that crashed or hung, an old file still in use) stays
    // in the journal for the next runs.
    void Finish();

    // After Stage: whether the file at `index` of the staged files was left
    // out, and the MD5 digest text read of its staged copy.
    const std::vector<std::size_t>& LeftOut() const noexcept { return leftOut_; }
    const std::string& Md5Read(std::size_t index) const;
    // The updater's own new build, staged and held until this object ends;
    // empty when the release has none.
    std::string SelfUpdateFile() const;
    const std::string& Problem() const noexcept { return problem_; }

private:
    bool WriteJournal();
    bool PutInPlace(std::size_t k);
    void Abandon() noexcept;
    void ReleaseLock() noexcept;
    void Report(const std::string& line) const;

    std::string journalPath_;
    TransactionLog log_;
    // Held from Stage to the end of the transaction.
    KernelHandle installLock_;
    bool lockOwned_ = false;
    Journal journal_;
    // What the journal of an earlier release still held (see Stage).
    Journal carried_;
    // Parallel to journal_.entries: each staged copy while it is held.
    std::vector<StagedFile> staged_;
    // Indexes into the files given to Stage, parallel to journal_.entries.
    std::vector<std::size_t> fileIndex_;
    std::vector<std::size_t> leftOut_;
    std::vector<std::string> md5Read_;
    std::string problem_;
};

// Before anything else in a sole run: finishes the transaction a killed run
// left in the journal at `journalPath` (forward when every new file is in
// place or staged, whole and as listed; otherwise back to the previous
// release), deletes what it left beside the installation, and tries again
// the registrations that did not end, at most kMostRegistrationAttempts in
// all. A missing or damaged journal leaves everything as it is.
void FinishLeftTransaction(const std::string& journalPath, const TransactionLog& log = {});

}  // namespace tallowfin
