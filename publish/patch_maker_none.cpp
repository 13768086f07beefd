#include "publish/patch_maker.h"

#include "publish/errors.h"

namespace tallowfin::publish {

bool CanMakePatches() { return false; }

std::string PatchBetween(std::string_view, std::string_view, const FileDigests&, const FileDigests&,
                         const std::function<void(std::uint64_t, std::uint64_t)>&)
{
    throw InputError("this build of the tool makes no patches (it has no suffix sort library); make them with the "
                     "Linux tool");
}

}  // namespace tallowfin::publish
