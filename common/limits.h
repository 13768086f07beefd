// The limits the updater puts on what it fetches and reads, in one place for
// the updater and the publishing tool: a publication the tool passes must be
// one every client can use, so the two can never disagree on them. Plain
// constants, free of Windows headers, so the Linux build of the tool includes
// them too.
#pragma once

#include <cstdint>

namespace tallowfin::limits {

// A list of 10,000 files takes about 2 MB. The list is read on the main
// thread, so one many times larger would leave the updater deaf to its user
// (a 50 MB list takes half a minute and 700 MB): a larger list fails.
inline constexpr std::uint64_t kLargestList = 8 * 1024 * 1024;

// Sizes and positions are 32-bit signed numbers in the download worker and its
// events, so a larger file cannot be fetched.
inline constexpr std::uint64_t kLargestFile = 0x7FFFFFFF;

// Elements nested deeper than this fail the list. An entry needs three levels
// (list, entry, value); without a limit a small hostile document nested a
// million deep takes the parser's stack and time.
inline constexpr int kDeepestNesting = 64;

}  // namespace tallowfin::limits
