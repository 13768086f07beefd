#include "control/install_rules.h"

#include "common/own_names.h"
#include "common/path_rules.h"

namespace tallowfin {

namespace {

// A path from the root of a drive or of a network share: a relative one would
// be looked up elsewhere (a DLL through the system's search path).
bool IsFullPath(std::string_view path)
{
    const bool drive = path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && path[2] == '\\';
    return drive || path.starts_with("\\\\");
}

}  // namespace

LeftWork LeftWorkFor(std::string_view path, bool isNumber, std::uint32_t kind)
{
    if (!isNumber || !IsFullPath(path)) return LeftWork::kForget;
    switch (static_cast<PendingKind>(kind)) {
    case PendingKind::kNewCopy:
        return KindOfOwnName(FileNameOf(path)) == OwnNameKind::kNewCopy ? LeftWork::kRemove : LeftWork::kForget;
    case PendingKind::kRegistration:
        return AsciiUpper(ExtensionOf(path)) == ".DLL" ? LeftWork::kRegister : LeftWork::kForget;
    }
    return LeftWork::kForget;
}

}  // namespace tallowfin
