// The names a run gives what it puts beside the product's files, and what a
// later run does with the work a killed run left pending. Pure functions on
// plain values, tested natively.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowfin {

// What a run makes outside the temporary files of its worker, named
// "~TallowfinUpdate.<process id>.<number>.<kind>" (both numbers hexadecimal):
// the name says whose it is, the process id and number keep two runs apart,
// and neither kind ends in an extension a program would load or run.
enum class OwnNameKind {
    kNone,          // not a name a run gives
    kNewCopy,       // "tmp": a new copy beside the file it is to replace
    kHelperFolder,  // "helper": a folder of its own for the replacement helper
};

std::string OwnName(OwnNameKind kind, std::uint32_t processId, std::uint32_t number);
// The kind of a file name (without folder); kNone for any other name.
OwnNameKind KindOfOwnName(std::string_view name);

// The new copy of `target` that the installation writes before it replaces
// the target in one step: in the target's own folder, so that the
// replacement is a rename on one volume.
std::string NewCopyPathFor(std::string_view target, std::uint32_t processId, std::uint32_t number);

// Work that an installation records before it begins it and forgets once it
// is done, so that a later run can finish what a killed run left.
enum class PendingKind : std::uint32_t {
    kNewCopy = 1,       // a new copy that may be left beside its target
    kRegistration = 2,  // a DLL whose registration may not have been made
};

enum class LeftWork {
    kForget,    // nothing to do but forget the entry
    kRemove,    // delete the file the entry names
    kRegister,  // call the DLL's registration entry
};

// What a later run does with an entry read back from the record, which may
// be damaged: only a new copy by its name is ever deleted, only a DLL by its
// extension registered; anything else is forgotten.
LeftWork LeftWorkFor(std::string_view path, bool isNumber, std::uint32_t kind);

}  // namespace tallowfin
