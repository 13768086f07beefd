// The parts of transfers that ended early, kept per user to be resumed: in
// the folder the controller names (the per-user folder of the installation,
// digestcache/user_cache_folder.h, "parts" below it), one part per file,
// "<name>.part" holding the bytes received and "<name>.info" what the reply
// said of the file (resume_rules.h), named by the entry's listed digest.
//
// A part is held by one transfer at a time: its file is open without sharing
// while the transfer writes it, so another run of the updater can neither
// write into it nor delete it, and fetches its own copy instead. When the
// transfer is whole the part is moved to a name of its own ("~wuXXXX.tmp" in
// the same folder), which no later transfer opens: the controller installs
// it and deletes it like any download.
//
// Kept parts stay bounded: only those of the files the current list has the
// updater fetch survive a list read whole (KeepPartsOnly), each no larger
// than its entry allows, and an installed download is deleted with its part.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/handle.h"
#include "download/resume_rules.h"

namespace tallowfin {

class KeptPart {
public:
    // Holds the part `name` in `folder` for this transfer alone: only one
    // that exists, or (with `create`) a new one where there is none, the
    // folder made when missing. Nothing when it cannot be had: none kept,
    // another run holds it, the folder cannot be written. A part that cannot
    // be resumed (no info, or longer than the file it claims to be of) is
    // emptied.
    static std::optional<KeptPart> Hold(const std::string& folder, const std::string& name, bool create);

    KeptPart(KeptPart&&) noexcept = default;
    KeptPart& operator=(KeptPart&&) = delete;
    // Closes the part, keeping what it holds for the next transfer; an empty
    // part resumes nothing and goes, with its info.
    ~KeptPart();

    // What the next request may ask for: the info of a part that holds
    // something, and how many of its bytes to keep. A part that holds the
    // whole file asks again for its last byte: the server still confirms
    // that it is the same version, and the file is then whole again.
    const std::optional<KeptPartInfo>& Info() const noexcept { return info_; }
    std::uint64_t Length() const noexcept { return length_; }

    // Writing starts at `from` (0: the whole file again) for a reply that
    // `info` describes; what lies past `from` is cut off. False, with the
    // system's error set, when the part cannot be prepared.
    bool Begin(std::uint64_t from, const KeptPartInfo& info);
    HANDLE File() const noexcept { return file_.get(); }

    // The transfer is whole: the info goes, and the file, closed, is moved
    // to a name of its own, which is returned; empty on failure (error set),
    // the part then being as it was.
    std::string Finish();
    // Nothing of it is worth keeping (of another version, a refused reply):
    // emptied, and its info deleted; still held.
    void Drop() noexcept;
    // Deleted altogether, and no longer held.
    void Discard() noexcept;

private:
    KeptPart(std::string folder, std::string name, FileHandle file)
        : folder_(std::move(folder)), name_(std::move(name)), file_(std::move(file))
    {
    }
    std::string PartPath() const { return folder_ + "\\" + name_ + ".part"; }
    std::string InfoPath() const { return folder_ + "\\" + name_ + ".info"; }

    std::string folder_, name_;
    FileHandle file_;
    std::optional<KeptPartInfo> info_;
    std::uint64_t length_ = 0;
};

// Deletes the parts whose names `wanted` does not hold, and those longer than
// the length it gives for theirs (the file's listed size, or the largest the
// updater fetches), with their info; a part another transfer holds stays.
// The controller calls it once a list was read whole, with the parts of the
// files it is about to fetch: a part of a file no longer listed, or listed
// again with another digest, or already installed, goes. Returns how many
// parts were deleted.
int KeepPartsOnly(const std::string& folder, const std::map<std::string, std::uint64_t>& wanted);

}  // namespace tallowfin
