// Making a patch, where this build can: the Linux tool diffs with the patch
// maker (patch/make.h, over libdivsufsort); there is no build of that library
// for Windows, so the Windows tool makes no patches (it checks them).
#pragma once

#include "publish/file_digest.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tallowfin::publish {

bool CanMakePatches();

// The patch that turns `base` into `result`, with the digests the caller
// took of each. `progress` hears of the bytes of the result matched so far.
// Throws InputError where this build makes no patches.
std::string PatchBetween(std::string_view base, std::string_view result, const FileDigests& baseDigests,
                         const FileDigests& resultDigests,
                         const std::function<void(std::uint64_t done, std::uint64_t total)>& progress);

}  // namespace tallowfin::publish
