// The names a run gives what it makes outside the temporary files of its
// worker: beside the product's files and under the temporary folder. Pure
// functions on plain values, tested natively.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowfin {

// Named "~TallowfinUpdate.<process id>.<number>.<kind>" (both numbers
// hexadecimal): the name says whose it is, the process id and number keep two
// runs apart, and neither kind ends in an extension a program would load or run.
enum class OwnNameKind {
    kNone,          // not a name a run gives
    kNewCopy,       // "tmp": a new copy beside the file it is to replace
    kHelperFolder,  // "helper": a folder of its own for the replacement helper
    kOldCopy,       // "old": an old file set aside while its new one takes its place
};

std::string OwnName(OwnNameKind kind, std::uint32_t processId, std::uint32_t number);
// The kind of a file name (without folder); kNone for any other name.
OwnNameKind KindOfOwnName(std::string_view name);

// The new copy of `target` that the installation writes before it replaces
// the target in one step: in the target's own folder, so that the
// replacement is a rename on one volume.
std::string NewCopyPathFor(std::string_view target, std::uint32_t processId, std::uint32_t number);
// Where the old `target` is set aside meanwhile, in the same folder.
std::string OldCopyPathFor(std::string_view target, std::uint32_t processId, std::uint32_t number);

}  // namespace tallowfin
