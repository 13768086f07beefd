// The maker, on the publisher's machine: the patch that turns one version of a
// file into another. Suffix sorting by libdivsufsort, matching in the bsdiff
// manner (approximate matches extended forwards and backwards, so that code
// whose addresses moved becomes small differences), zlib at its best level.
//
// Memory is about five times the base plus three times the result, all of it
// held at once: the publisher keeps files above its limit (64 MiB by
// default) out of the maker.
#pragma once

#include "patch/format.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace tallowfin::patch {

// The suffix array holds 32-bit positions.
inline constexpr std::uint64_t kLargestMakerBase = 0x7FFFFFFF;

// The digests the header carries, as the caller took them.
struct PatchDigests {
    Md5Digest baseMd5{};
    Sha256Digest baseSha256{};
    Md5Digest resultMd5{};
    Sha256Digest resultSha256{};
};

// Called now and then with the bytes of the result matched so far.
using MakeProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The patch's bytes. Throws std::length_error for a base above
// kLargestMakerBase, std::bad_alloc, and std::runtime_error when the suffix
// sort or zlib fails.
std::string MakePatch(std::span<const std::uint8_t> base, std::span<const std::uint8_t> result,
                      const PatchDigests& digests, const MakeProgress& progress = {});

}  // namespace tallowfin::patch
