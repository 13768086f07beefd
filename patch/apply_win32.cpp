#include "patch/apply_win32.h"

#include <algorithm>

namespace tallowfin::patch {

namespace {

// ReadFile and WriteFile take 32-bit counts; the applier's pieces are far
// smaller, but a caller's own use may not be.
constexpr std::size_t kLargestCall = 1u << 30;

}  // namespace

bool FileBaseInput::Size(std::uint64_t& size)
{
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(file_, &value) || value.QuadPart < 0) return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

bool FileBaseInput::ReadAt(std::uint64_t offset, void* buffer, std::size_t size)
{
    auto* at = static_cast<char*>(buffer);
    while (size > 0) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(offset);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min(size, kLargestCall));
        // Zero bytes means the file ended before the size the applier was told.
        if (!ReadFile(file_, at, want, &got, &where) || got == 0) return false;
        at += got;
        offset += got;
        size -= got;
    }
    return true;
}

bool FilePatchInput::Read(void* buffer, std::size_t size, std::size_t& got)
{
    DWORD read = 0;
    if (!ReadFile(file_, buffer, static_cast<DWORD>(std::min(size, kLargestCall)), &read, nullptr)) return false;
    got = read;
    return true;
}

bool FileResultOutput::Write(const void* data, std::size_t size)
{
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        DWORD wrote = 0;
        if (!WriteFile(file_, at, static_cast<DWORD>(std::min(size, kLargestCall)), &wrote, nullptr) || wrote == 0) {
            error_ = GetLastError();
            return false;
        }
        at += wrote;
        size -= wrote;
    }
    return true;
}

ApplyResult ApplyPatchToFile(HANDLE base, HANDLE patch, HANDLE result, const ApplyOptions& options) noexcept
{
    FileBaseInput baseInput(base);
    FilePatchInput patchInput(patch);
    FileResultOutput output(result);
    return ApplyPatch(patchInput, baseInput, output, options);
}

}  // namespace tallowfin::patch
