#include "publish/patch_maker.h"

#include "patch/make.h"

#include <stdexcept>

namespace tallowfin::publish {

namespace {

// Digest texts the tool took itself: well-formed.
template <class Digest>
Digest Checked(const std::optional<Digest>& digest)
{
    if (!digest) throw std::logic_error("a digest text that is no digest");
    return *digest;
}

std::span<const std::uint8_t> Bytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

bool CanMakePatches() { return true; }

std::string PatchBetween(std::string_view base, std::string_view result, const FileDigests& baseDigests,
                         const FileDigests& resultDigests,
                         const std::function<void(std::uint64_t done, std::uint64_t total)>& progress)
{
    const patch::PatchDigests digests{
        Checked(patch::Md5FromText(baseDigests.md5)), Checked(patch::Sha256FromText(baseDigests.sha256)),
        Checked(patch::Md5FromText(resultDigests.md5)), Checked(patch::Sha256FromText(resultDigests.sha256))};
    return patch::MakePatch(Bytes(base), Bytes(result), digests, progress);
}

}  // namespace tallowfin::publish
