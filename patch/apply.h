// The applier: a patch and its base in, the result out, in bounded memory.
//
// It holds a fixed set of buffers (about 1.3 MB, whatever the patch says),
// never allocates by a size the patch claims, never writes past the result
// size the header declares nor past the caller's limit, checks every count and
// position in 64 bits, and takes a read of the base outside the base for a
// malformed patch. Faults come back as an outcome, never as an exception: an
// exception thrown by one of the caller's interfaces is caught and reported as
// the failure of that interface.
//
// The result's MD5 is taken as it is written and must be the one the header
// names; a patch applied to another base of the same size fails there. What
// the caller wrote before a failure is garbage: it writes into a file of its
// own and discards it on any outcome but Applied.
#pragma once

#include "patch/format.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tallowfin::patch {

// The patch, read front to back once.
class PatchInput {
public:
    virtual ~PatchInput() = default;
    // Reads up to `size` bytes (size > 0) into `buffer` and sets `got`: 0
    // only at the end. False when the read fails.
    virtual bool Read(void* buffer, std::size_t size, std::size_t& got) = 0;
};

// The earlier version of the file, read at any offset.
class BaseInput {
public:
    virtual ~BaseInput() = default;
    virtual bool Size(std::uint64_t& size) = 0;
    // Reads exactly `size` bytes at `offset` (which the applier keeps inside
    // the size); false when they cannot be read.
    virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

// The result, written front to back in pieces of up to 64 KiB; a caller that
// shows progress or takes another digest does it here.
class ResultOutput {
public:
    virtual ~ResultOutput() = default;
    virtual bool Write(const void* data, std::size_t size) = 0;
};

struct ApplyOptions {
    // The largest result the caller takes; a patch declaring more is refused
    // before anything is written.
    std::uint64_t largestResult = UINT64_MAX;
    // What the caller knows: the base's MD5 (the updater's digest of the
    // installed file) and the MD5 the result must have (the list entry's).
    // A header naming others is refused before anything is read of the base.
    std::optional<Md5Digest> baseMd5;
    std::optional<Md5Digest> resultMd5;
};

enum class ApplyOutcome {
    Applied,
    Malformed,       // not a patch, damaged, truncated, inconsistent, reads outside the base
    BaseMismatch,    // made for another base (size or MD5)
    ResultMismatch,  // names another result than the caller's, or its result is not the one it names
    TooLarge,        // declares a result larger than the caller takes
    BaseReadFailed,
    PatchReadFailed,
    WriteFailed,
    NoMemory,
};

const char* OutcomeName(ApplyOutcome outcome);

struct ApplyResult {
    ApplyOutcome outcome = ApplyOutcome::Malformed;
    std::string detail;         // one line for a log; empty when applied
    std::uint64_t written = 0;  // bytes handed to the output
    Md5Digest resultMd5{};      // of what was written, when applied

    bool Applied() const { return outcome == ApplyOutcome::Applied; }
};

ApplyResult ApplyPatch(PatchInput& patch, BaseInput& base, ResultOutput& result,
                       const ApplyOptions& options = {}) noexcept;

}  // namespace tallowfin::patch
