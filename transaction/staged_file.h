// A new copy of a file beside its target, written by the updater and held
// open from its first byte until it is renamed into place: shared for reading
// only, so no program can change or delete it between the moment its digests
// are taken and the moment it becomes the target. Its digests are read back
// from the copy itself, after it was flushed, never from the file it was
// copied from.
#pragma once

#include <string>
#include <vector>

#include "common/handle.h"

namespace tallowfin {

class StagedFile {
public:
    StagedFile() = default;
    StagedFile(StagedFile&&) = default;
    StagedFile& operator=(StagedFile&&) = default;

    // Copies `source` to a new file at `path` (which must not exist, unless
    // `replace`), flushes it and reads its MD5 and, with `sha256`, its SHA-256
    // back. Throws WinError naming the file and the step that failed.
    static StagedFile Write(const std::string& source, const std::string& path, bool sha256, bool replace = false);

    // Holds a copy a killed run left (shared for reading only, so that it
    // cannot change from here on) and reads its digests; an empty object when
    // it cannot be opened or read.
    static StagedFile Open(const std::string& path, bool sha256);

    const std::string& Path() const noexcept { return path_; }
    const std::string& Md5() const noexcept { return md5_; }
    const std::string& Sha256() const noexcept { return sha256_; }
    explicit operator bool() const noexcept { return static_cast<bool>(file_); }

    // Renames the copy to `path` through its own handle (the only one that
    // may), replacing a file there when `replace`. The copy stays held under
    // its new name. False with the system's error as the last error.
    bool MoveTo(const std::string& path, bool replace);

    // Whether the copy holds one of `needles` somewhere in its bytes.
    bool HoldsOneOf(const std::vector<std::string>& needles) const;

    // Lets go of the file where it lies now.
    void Release() noexcept { file_.reset(); }
    // Deletes the copy where it lies now and lets go of it.
    void Discard() noexcept;

private:
    FileHandle file_;
    std::string path_;
    std::string md5_;
    std::string sha256_;
};

// Takes the MD5 (and, with `sha256`, the SHA-256) of an open file from its
// first byte, at once on two threads, through positioned reads; empty texts
// when it cannot be read.
struct FileDigests {
    std::string md5, sha256;
};
FileDigests DigestsOfOpenFile(const FileHandle& file, bool sha256);
// The same for a file by its path, opened shared for reading only.
FileDigests DigestsOfFile(const std::string& path, bool sha256);

}  // namespace tallowfin
