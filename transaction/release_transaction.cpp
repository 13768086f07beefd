#include "transaction/release_transaction.h"

#include <windows.h>

#include <ctime>

#include "common/file_system.h"
#include "common/handle.h"
#include "common/kept_file.h"
#include "common/own_names.h"
#include "common/path_rules.h"
#include "common/win_error.h"
#include "selfreplace/self_update_rules.h"
#include "transaction/listed_digests.h"
#include "transaction/recovery.h"
#include "transaction/registration.h"

namespace tallowfin {

namespace {

// A file held for a moment (a virus scanner opening a new file, an indexer)
// is tried again every tenth of a second for this long; a file held longer
// (by the running product, say) holds back the release until a later run.
constexpr DWORD kHoldRetryLimitMs = 3000;
constexpr DWORD kHoldRetryIntervalMs = 100;

// Errors that say the path itself cannot exist here: a folder that is not
// there (and could not be created), a name the system does not take, a path
// too long. Such an entry could never be installed on this machine.
bool PathCannotExist(DWORD error)
{
    switch (error) {
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY: return true;
    default: return false;
    }
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Runs `attempt` until it succeeds, or fails with an error that is no brief
// hold, or the hold outlasts kHoldRetryLimitMs; its last error stays.
template <class Attempt>
bool WithBriefHoldsRetried(Attempt attempt)
{
    for (DWORD waited = 0;; waited += kHoldRetryIntervalMs) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (!ReplacementMayStillSucceed(error) || waited >= kHoldRetryLimitMs) return false;
        Sleep(kHoldRetryIntervalMs);
        SetLastError(error);
    }
}

bool Rename(const std::string& from, const std::string& to, bool replace)
{
    return WithBriefHoldsRetried([&] {
        return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)) !=
               FALSE;
    });
}

// Deletes an old file set aside, which an installer or a user may have made
// read-only; false while it is still in use (a running program, a loaded DLL).
bool DeleteSetAside(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Only the names the updater gives what it writes beside the product, and its
// own staged build, are ever deleted or renamed by what a journal says.
bool IsOwnCopy(const std::string& path, OwnNameKind kind) { return KindOfOwnName(FileNameOf(path)) == kind; }

bool IsOwnStagedCopy(const JournalEntry& entry)
{
    return entry.selfUpdate ? AsciiLower(entry.staged) == AsciiLower(StagedPathFor(entry.target))
                            : IsOwnCopy(entry.staged, OwnNameKind::kNewCopy);
}

// A program that reads the journal for a moment (a scanner looking at a
// new file) makes the replacement fail under it: retried like a rename.
void WriteJournalFile(const std::string& path, const Journal& journal, bool& written)
{
    const std::string bytes = JournalBytes(journal);
    written = WithBriefHoldsRetried([&] { return ReplaceKeptFile(path, bytes); });
}

std::string Md5Of(const std::string& path) { return DigestsOfFile(path, false).md5; }

// Registers, in list order, each DLL left to register whose file still holds
// what was put in place, counting the attempt in the journal before it
// begins, so that a kill or a crash in the middle counts too. A registration
// that does not end (a crash, a hang) stops only itself: it stays for the
// next run until it was tried kMostRegistrationAttempts times.
void RegisterLeft(const std::string& journalPath, Journal& journal, const TransactionLog& log)
{
    bool written = false;
    auto givenUp = [&](const JournalRegistration& registration) {
        if (log)
            log("The registration of " + registration.path + " did not end in " +
                std::to_string(registration.attempts) + " attempts and is given up");
    };
    for (std::size_t i = 0; i < journal.registrations.size();) {
        JournalRegistration& next = journal.registrations[i];
        bool keep = false;
        if (next.attempts >= kMostRegistrationAttempts) {
            givenUp(next);
        } else if (Md5Of(next.path) == next.md5) {
            ++next.attempts;
            WriteJournalFile(journalPath, journal, written);
            if (RegisterInChildProcess(next.path) == RegistrationOutcome::kUnfinished) {
                keep = next.attempts < kMostRegistrationAttempts;
                if (!keep) givenUp(next);
                else if (log)
                    log("The registration of " + next.path + " crashed or did not end in time (attempt " +
                        std::to_string(next.attempts) + "); the next run tries it again");
            }
        }
        // Otherwise the file was replaced since (by a later release), and
        // nothing of this release is left to register.
        if (keep) ++i;
        else journal.registrations.erase(journal.registrations.begin() + static_cast<std::ptrdiff_t>(i));
        WriteJournalFile(journalPath, journal, written);
    }
}

// After the release is in place: the old files go, and the journal with them
// once nothing is left for a later run.
void FinishCommitted(const std::string& journalPath, Journal& journal, const TransactionLog& log)
{
    std::vector<JournalEntry> left;
    for (JournalEntry& entry : journal.entries) {
        if (entry.selfUpdate) continue;  // the helper's from here on
        if (entry.hadOld && IsOwnCopy(entry.aside, OwnNameKind::kOldCopy) && !DeleteSetAside(entry.aside))
            left.push_back(std::move(entry));
    }
    journal.entries = std::move(left);
    bool written = false;
    WriteJournalFile(journalPath, journal, written);
    RegisterLeft(journalPath, journal, log);
    if (journal.entries.empty() && journal.registrations.empty()) DeleteKeptFile(journalPath);
    else WriteJournalFile(journalPath, journal, written);
}

// The left copies of a release taken back: the old files back in their places,
// the new ones gone. Steps that fail are skipped; false says the journal is
// still needed.
bool TakeBack(const Journal& journal)
{
    bool whole = true;
    for (auto entry = journal.entries.rbegin(); entry != journal.entries.rend(); ++entry) {
        if (!IsOwnStagedCopy(*entry)) continue;
        const bool staged = Exists(entry->staged);
        // Before the renames began nothing is in place: only copies go.
        if (!entry->selfUpdate && journal.phase == JournalPhase::kCommitting) {
            const bool aside = Exists(entry->aside), target = Exists(entry->target);
            const EntryState state = StateOf(*entry, {staged, false, aside, target});
            if (state == EntryState::kSwapped || state == EntryState::kHalf) {
                if (entry->hadOld) {
                    whole = Rename(entry->aside, entry->target, true) && whole;
                    // Renaming a name onto another name of the same file (the
                    // old file's hard link) may leave both.
                    if (Exists(entry->aside)) DeleteSetAside(entry->aside);
                } else if (state == EntryState::kSwapped) {
                    whole = (DeleteFileA(entry->target.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) && whole;
                }
            }
        }
        if (staged) whole = (DeleteFileA(entry->staged.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) && whole;
    }
    return whole;
}

}  // namespace

ReleaseTransaction::ReleaseTransaction(std::string journalPath, std::string list, TransactionLog log)
    : journalPath_(std::move(journalPath)), log_(std::move(log))
{
    journal_.list = std::move(list);
}

ReleaseTransaction::~ReleaseTransaction()
{
    // Staged copies not committed (a run that ends in the middle) go with it.
    if (journal_.phase != JournalPhase::kCommitted) Abandon();
}

void ReleaseTransaction::Report(const std::string& line) const
{
    if (log_) log_(line);
}

bool ReleaseTransaction::WriteJournal()
{
    bool written = false;
    WriteJournalFile(journalPath_, journal_, written);
    return written;
}

void ReleaseTransaction::Abandon() noexcept
{
    for (StagedFile& staged : staged_) staged.Discard();
    staged_.clear();
    if (!journal_.entries.empty()) DeleteKeptFile(journalPath_);
    journal_.entries.clear();
    ReleaseLock();
}

void ReleaseTransaction::ReleaseLock() noexcept
{
    if (lockOwned_) ReleaseMutex(installLock_.get());
    lockOwned_ = false;
    installLock_.reset();
}

ReleaseTransaction::Staging ReleaseTransaction::Stage(const std::vector<ReleaseFile>& files)
{
    // One transaction at a time: a second run that reaches its installation
    // while another's is under way (waiting at its notice, say), or while a
    // killed run's waits for the next sole run, installs nothing; the next run
    // tries again.
    installLock_.reset(CreateMutexA(nullptr, FALSE, kInstallMutex));
    const DWORD owned = installLock_ ? WaitForSingleObject(installLock_.get(), 0) : WAIT_FAILED;
    if (owned != WAIT_OBJECT_0 && owned != WAIT_ABANDONED) {
        installLock_.reset();
        problem_ = "Another run is installing a release";
        return Staging::kFailed;
    }
    lockOwned_ = true;
    // What an earlier release left for later runs (registrations to try
    // again, old files still in use) goes on with this one's; an installation
    // left unfinished waits for the next sole run.
    carried_ = Journal{};
    if (Exists(journalPath_)) {
        const auto bytes = ReadWholeFile(journalPath_, kLargestJournal);
        const auto left = bytes ? ReadJournal(*bytes) : std::nullopt;
        if (!left || left->phase != JournalPhase::kCommitted) {
            problem_ = "An unfinished installation waits in " + journalPath_;
            ReleaseLock();
            return Staging::kFailed;
        }
        carried_ = *left;
    }
    const DWORD process = GetCurrentProcessId();
    std::uint32_t number = 0;
    journal_.phase = JournalPhase::kStaging;
    journal_.entries.clear();
    fileIndex_.clear();
    leftOut_.clear();
    md5Read_.assign(files.size(), std::string());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const ReleaseFile& file = files[i];
        JournalEntry entry;
        entry.target = file.target;
        entry.selfUpdate = file.selfUpdate;
        entry.registers = file.registers;
        if (file.selfUpdate) {
            entry.staged = StagedPathFor(file.target);
        } else {
            // Names of this process's own, numbered through the release (so no
            // two files of one folder share one), that lie nowhere yet: a
            // killed run with the same process id may have left some.
            for (std::uint32_t tries = 0; entry.staged.empty(); ++tries, ++number) {
                const std::string staged = NewCopyPathFor(file.target, process, number);
                const std::string aside = OldCopyPathFor(file.target, process, number);
                if (!Exists(staged) && !Exists(aside)) {
                    entry.staged = staged;
                    entry.aside = aside;
                } else if (tries == 1024) {
                    problem_ = "No name is free beside " + file.target;
                    return Staging::kFailed;
                }
            }
            ++number;
        }
        journal_.entries.push_back(std::move(entry));
        fileIndex_.push_back(i);
    }
    // Before the first copy: a kill from here on leaves the names of every
    // copy the next run is to remove.
    if (!WriteJournal()) {
        problem_ = "The journal " + journalPath_ + " cannot be written";
        journal_.entries.clear();
        return Staging::kFailed;
    }

    std::vector<JournalEntry> entries;
    std::vector<std::size_t> indexes;
    for (std::size_t k = 0; k < journal_.entries.size(); ++k) {
        JournalEntry& entry = journal_.entries[k];
        const ReleaseFile& file = files[fileIndex_[k]];
        StagedFile staged;
        try {
            staged = StagedFile::Write(file.source, entry.staged, !file.listedSha256.empty(), file.selfUpdate);
        } catch (const WinError& error) {
            if (!file.selfUpdate && PathCannotExist(error.code())) {
                leftOut_.push_back(fileIndex_[k]);
                continue;
            }
            problem_ = error.what();
            Abandon();
            return Staging::kFailed;
        }
        if (!IsAsListed(file.listedMd5, file.listedSha256, staged.Md5(), staged.Sha256())) {
            problem_ = "The file fetched for " + file.target + " is not the listed one";
            staged.Discard();
            Abandon();
            return Staging::kNotAsListed;
        }
        if (!file.mustCarryOneOf.empty()) {
            // A keyed updater never puts in a build of itself without one of
            // its keys: from then on the client would take unsigned lists.
            std::vector<std::string> keys;
            for (const P256PublicKey& key : file.mustCarryOneOf)
                keys.emplace_back(reinterpret_cast<const char*>(key.data()), key.size());
            if (!staged.HoldsOneOf(keys)) {
                problem_ = "The new build of the updater carries none of its list keys";
                staged.Discard();
                Abandon();
                return Staging::kNotAsListed;
            }
        }
        entry.md5 = staged.Md5();
        entry.sha256 = staged.Sha256();
        md5Read_[fileIndex_[k]] = staged.Md5();
        staged_.push_back(std::move(staged));
        entries.push_back(std::move(entry));
        indexes.push_back(fileIndex_[k]);
    }
    journal_.entries = std::move(entries);
    fileIndex_ = std::move(indexes);
    return Staging::kStaged;
}

const std::string& ReleaseTransaction::Md5Read(std::size_t index) const
{
    static const std::string kNone;
    return index < md5Read_.size() ? md5Read_[index] : kNone;
}

std::string ReleaseTransaction::SelfUpdateFile() const
{
    for (std::size_t k = 0; k < journal_.entries.size(); ++k)
        if (journal_.entries[k].selfUpdate && k < staged_.size() && staged_[k]) return staged_[k].Path();
    return {};
}

bool ReleaseTransaction::PutInPlace(std::size_t k)
{
    const JournalEntry& entry = journal_.entries[k];
    StagedFile& staged = staged_[k];
    if (!entry.hadOld) return WithBriefHoldsRetried([&] { return staged.MoveTo(entry.target, false); });
    // A file another program holds without sharing its deletion cannot be
    // renamed or replaced: asked first (and again while the hold may be a
    // scanner's moment), so that nothing is linked to a file that stays held.
    const bool free = WithBriefHoldsRetried([&] {
        FileHandle probe(CreateFileA(entry.target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return static_cast<bool>(probe);
    });
    if (!free) return false;
    // The old file keeps a second name (a hard link) under its aside name, and
    // the new one replaces it in one rename: the target holds the old file or
    // the new one at every moment, never nothing.
    if (CreateHardLinkA(entry.aside.c_str(), entry.target.c_str(), nullptr)) {
        if (staged.MoveTo(entry.target, true)) return true;
        DWORD error = GetLastError();
        // A file held for a moment (a scanner) is tried again for a while.
        if (error != ERROR_ACCESS_DENIED &&
            WithBriefHoldsRetried([&] { return staged.MoveTo(entry.target, true); }))
            return true;
        error = GetLastError();
        DeleteFileA(entry.aside.c_str());
        SetLastError(error);
        // A running program or a loaded DLL cannot be replaced, only renamed:
        // that is what "access denied" says here. Anything else holds the
        // release back.
        if (error != ERROR_ACCESS_DENIED) return false;
    }
    // Where a file cannot have two names (a volume without hard links) or
    // cannot be replaced (in use as a program's image), it is renamed aside
    // and the new one renamed in.
    if (!Rename(entry.target, entry.aside, false)) return false;
    if (WithBriefHoldsRetried([&] { return staged.MoveTo(entry.target, false); })) return true;
    const DWORD error = GetLastError();
    Rename(entry.aside, entry.target, false);
    SetLastError(error);
    return false;
}

bool ReleaseTransaction::Commit()
{
    for (JournalEntry& entry : journal_.entries) entry.hadOld = !entry.selfUpdate && Exists(entry.target);
    journal_.phase = JournalPhase::kCommitting;
    // Written, flushed and in place before the first rename.
    if (!WriteJournal()) {
        problem_ = "The journal " + journalPath_ + " cannot be written";
        Abandon();
        return false;
    }
    std::size_t k = 0;
    bool failed = false;
    for (; k < journal_.entries.size() && !failed; ++k) {
        const JournalEntry& entry = journal_.entries[k];
        if (entry.selfUpdate) continue;
        if (!PutInPlace(k)) {
            problem_ = entry.target + " cannot be replaced: " + SystemErrorText(GetLastError());
            failed = true;
        }
    }
    if (failed) --k;  // the entry that failed left nothing to undo
    if (!failed) return true;

    // Back to the previous release, in the reverse order: each new file under
    // its staged name again (through its handle), each old one in its place.
    bool whole = true;
    while (k-- > 0) {
        const JournalEntry& entry = journal_.entries[k];
        if (entry.selfUpdate) continue;
        whole = staged_[k].MoveTo(entry.staged, false) && whole;
        if (entry.hadOld) whole = Rename(entry.aside, entry.target, true) && whole;
    }
    Report(problem_);
    if (!whole) {
        // Left for the next run, which finds every new file whole and takes
        // the release forward or back before it does anything else.
        Report("The previous release could not be put back whole; the next run finishes the installation");
        for (StagedFile& staged : staged_) staged.Release();
        staged_.clear();
        journal_.entries.clear();
        ReleaseLock();
        return false;
    }
    Abandon();
    return false;
}

void ReleaseTransaction::Finish()
{
    journal_.phase = JournalPhase::kCommitted;
    journal_.registrations.clear();
    for (const JournalEntry& entry : journal_.entries)
        if (entry.registers && !entry.selfUpdate) journal_.registrations.push_back({entry.target, entry.md5, 0});
    // The new files are the installation's now; the updater's own new build
    // stays held until this run ends and the helper takes it.
    for (std::size_t k = 0; k < journal_.entries.size(); ++k)
        if (!journal_.entries[k].selfUpdate) staged_[k].Release();
    Journal journal = journal_;
    journal.entries.insert(journal.entries.end(), carried_.entries.begin(), carried_.entries.end());
    journal.registrations.insert(journal.registrations.end(), carried_.registrations.begin(),
                                 carried_.registrations.end());
    FinishCommitted(journalPath_, journal, log_);
    ReleaseLock();
}

void FinishLeftTransaction(const std::string& journalPath, const TransactionLog& log)
{
    // A run killed while writing the journal left its new copy beside it.
    RemoveLeftNewCopies(journalPath);
    const auto bytes = ReadWholeFile(journalPath, kLargestJournal);
    if (!bytes) return;
    auto journal = ReadJournal(*bytes);
    if (!journal) {
        // Not a journal this updater wrote whole: nothing it names is touched.
        if (log) log("The journal " + journalPath + " is damaged and was removed unread");
        DeleteKeptFile(journalPath);
        return;
    }

    if (journal->phase == JournalPhase::kCommitting) {
        // Each new copy still beside its target is held while it is looked at
        // and while it is renamed, so what was found whole is what goes in.
        std::vector<ObservedEntry> observed(journal->entries.size());
        std::vector<StagedFile> held(journal->entries.size());
        for (std::size_t i = 0; i < journal->entries.size(); ++i) {
            const JournalEntry& entry = journal->entries[i];
            if (entry.selfUpdate || !IsOwnStagedCopy(entry)) continue;
            ObservedEntry& seen = observed[i];
            seen.aside = Exists(entry.aside);
            seen.target = Exists(entry.target);
            seen.staged = Exists(entry.staged);
            if (seen.staged) {
                held[i] = StagedFile::Open(entry.staged, !entry.sha256.empty());
                seen.stagedAsListed = held[i] && held[i].Md5() == entry.md5 && held[i].Sha256() == entry.sha256;
            }
        }
        bool forward = RecoversForward(*journal, observed);
        for (std::size_t i = 0; forward && i < journal->entries.size(); ++i) {
            const JournalEntry& entry = journal->entries[i];
            if (entry.selfUpdate) continue;
            const EntryState state = StateOf(entry, observed[i]);
            if (state == EntryState::kUntouched && entry.hadOld &&
                !CreateHardLinkA(entry.aside.c_str(), entry.target.c_str(), nullptr) &&
                !Rename(entry.target, entry.aside, false)) {
                forward = false;
            } else if (state == EntryState::kUntouched || state == EntryState::kHalf) {
                // Replacing: the target may still be the old file under a
                // second name (its aside name is the first).
                if (!held[i].MoveTo(entry.target, true)) forward = false;
                else observed[i] = {false, false, entry.hadOld, true};
            }
        }
        for (StagedFile& staged : held) staged.Release();
        if (!forward) {
            if (log) log("An installation left unfinished is taken back to the previous release");
            journal->phase = JournalPhase::kCommitting;
            if (TakeBack(*journal)) DeleteKeptFile(journalPath);
            return;
        }
        if (log) log("An installation left unfinished is finished");
        journal->phase = JournalPhase::kCommitted;
        journal->registrations.clear();
        for (const JournalEntry& entry : journal->entries)
            if (entry.registers && !entry.selfUpdate) journal->registrations.push_back({entry.target, entry.md5, 0});
        for (const JournalEntry& entry : journal->entries)
            if (entry.selfUpdate && IsOwnStagedCopy(entry)) DeleteFileA(entry.staged.c_str());
    }

    switch (journal->phase) {
    case JournalPhase::kStaging:
        // Nothing was in place yet: the copies go.
        if (TakeBack(*journal)) DeleteKeptFile(journalPath);
        break;
    case JournalPhase::kCommitting: break;  // handled above
    case JournalPhase::kCommitted: FinishCommitted(journalPath, *journal, log); break;
    }
}

TransactionLog LogFileBeside(const std::string& journalPath)
{
    const std::string logPath = journalPath.substr(0, journalPath.find_last_of('\\') + 1) + kTransactionLogFile;
    return [logPath](const std::string& line) {
        // Kept small: a log nobody reads must not grow without end.
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const bool tooLarge = GetFileAttributesExA(logPath.c_str(), GetFileExInfoStandard, &data) &&
                              (data.nFileSizeHigh != 0 || data.nFileSizeLow > 64 * 1024);
        FileHandle file(CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    tooLarge ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        char stamp[32] = {};
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_s(&utc, &now);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC ", &utc);
        const std::string text = stamp + line + "\r\n";
        DWORD written = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    };
}

}  // namespace tallowfin
