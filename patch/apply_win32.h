// The applier over Win32 file handles, for the updater: the installed file as
// the base, the downloaded patch, the staged copy as the result. The handles
// stay the caller's; nothing here opens, closes or deletes a file.
#pragma once

#include "patch/apply.h"

#include <windows.h>

namespace tallowfin::patch {

// The base, read at offsets (ReadFile with an OVERLAPPED offset on a handle
// opened for synchronous reads, with GENERIC_READ).
class FileBaseInput : public BaseInput {
public:
    explicit FileBaseInput(HANDLE file) : file_(file) {}
    bool Size(std::uint64_t& size) override;
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;

private:
    HANDLE file_;
};

// The patch, from the handle's current position to the end of the file.
class FilePatchInput : public PatchInput {
public:
    explicit FilePatchInput(HANDLE file) : file_(file) {}
    bool Read(void* buffer, std::size_t size, std::size_t& got) override;

private:
    HANDLE file_;
};

// The result, written at the handle's current position; the caller flushes
// and renames the file once it is checked.
class FileResultOutput : public ResultOutput {
public:
    explicit FileResultOutput(HANDLE file) : file_(file) {}
    bool Write(const void* data, std::size_t size) override;
    // The system's error of the last failed call, for the caller's log.
    DWORD LastError() const { return error_; }

private:
    HANDLE file_;
    DWORD error_ = ERROR_SUCCESS;
};

ApplyResult ApplyPatchToFile(HANDLE base, HANDLE patch, HANDLE result, const ApplyOptions& options = {}) noexcept;

}  // namespace tallowfin::patch
