// The digests of the installed files, for the file-list reader and after the
// installation: taken from the digest cache where what the file system says
// of a file has not changed since its digest was taken, otherwise read and
// hashed, by several threads where the disk allows, and then remembered.
//
// Used on the main thread only; the hashing threads see nothing but the
// paths they hash. The cache file is read once, when this object is made,
// and written whole (see common/kept_file.h) when what it holds changed.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/system_thread.h"

#include "digestcache/digest_cache.h"
#include "digestcache/folder_listing.h"
#include "download/update_record.h"

namespace tallowfin {

class LocalDigests {
public:
    // `cacheFile`: where the cache is kept; empty for none (every file is
    // read, nothing is kept). `threads`: how many threads hash; 0 lets the
    // processors and the disk decide (see digestcache/hashing_pool.h). With a
    // cache, the folders of the files it remembers are listed at once on a
    // thread of their own, for Of to use.
    explicit LocalDigests(std::string cacheFile, unsigned threads = 0);
    ~LocalDigests();
    LocalDigests(const LocalDigests&) = delete;
    LocalDigests& operator=(const LocalDigests&) = delete;

    struct Digest {
        std::string text;          // as FileDigestText gives it: empty for a missing file
        std::exception_ptr error;  // set instead for a file that exists but cannot be read
    };
    // The digest of each file, in the order of `paths`.
    std::vector<Digest> Of(const std::vector<std::string>& paths);

    // After a list was read whole: forgets the files it does not name, and
    // writes the cache if it changed.
    void KeepOnly(const std::vector<std::string>& listed);

    // After the installation: remembers the files put in place with the
    // digests their downloads were checked against, forgets the others, and
    // writes the cache, so that the next run need not read what this one
    // put in place.
    void Refresh(const std::vector<TUpdateRec*>& records) noexcept;

private:
    void RememberInstalled(const std::vector<TUpdateRec*>& records);
    void Hash(const std::vector<std::string>& paths, std::vector<std::size_t> unknown, std::vector<Digest>& digests);
    void Save();

    std::string file_;
    unsigned threads_;
    DigestCache cache_;
    // Listings made ahead, by listing_, before readAt_; the caller's thread
    // touches them only once listing_ has been joined (and reset).
    std::unique_ptr<SystemThread> listing_;
    FolderListings listings_;
    std::uint64_t readAt_ = 0;
};

}  // namespace tallowfin
