// What a later run does with the work a killed run left pending. Pure
// functions on plain values, tested natively.
#pragma once

#include <cstdint>
#include <string_view>

namespace tallowfin {

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
// be damaged: only a new copy by its name (common/own_names.h) is ever
// deleted, only a DLL by its extension registered; anything else is forgotten.
LeftWork LeftWorkFor(std::string_view path, bool isNumber, std::uint32_t kind);

}  // namespace tallowfin
