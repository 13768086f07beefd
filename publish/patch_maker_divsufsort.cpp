#include "publish/patch_maker.h"

#include "patch/make.h"

#include <stdexcept>

namespace tallowfin::publish {

namespace {

// The bytes of a digest text the tool took itself (lower-case hexadecimal).
template <std::size_t N>
std::array<std::uint8_t, N> DigestBytes(const std::string& text)
{
    if (text.size() != 2 * N) throw std::logic_error("a digest text of another length");
    auto value = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); };
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) bytes[i] = static_cast<std::uint8_t>(value(text[2 * i]) << 4 | value(text[2 * i + 1]));
    return bytes;
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
    const patch::PatchDigests digests{DigestBytes<16>(baseDigests.md5), DigestBytes<32>(baseDigests.sha256),
                                      DigestBytes<16>(resultDigests.md5), DigestBytes<32>(resultDigests.sha256)};
    return patch::MakePatch(Bytes(base), Bytes(result), digests, progress);
}

}  // namespace tallowfin::publish
