#include "control/patch_choice.h"

#include "common/limits.h"
#include "common/md5.h"

namespace tallowfin {

namespace {

// Decimal digits only, from 1 up to the largest file the updater fetches.
std::optional<std::uint64_t> ReadLength(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text[0] == '0') return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > limits::kLargestFile) return std::nullopt;
    return value;
}

// An optional digest: absent is fine, present must be one.
bool ReadOptionalDigest(const std::optional<std::string>& text, std::size_t bytes, std::string& digest)
{
    if (!text) return true;
    const auto read = ReadDigestText(*text, bytes);
    if (!read) return false;
    digest = *read;
    return true;
}

}  // namespace

std::optional<TListedPatch> ReadListedPatch(const std::optional<std::string>& base,
                                            const std::optional<std::string>& baseSha256,
                                            const std::optional<std::string>& size,
                                            const std::optional<std::string>& sha256, const std::string& url)
{
    TListedPatch patch;
    const auto baseMd5 = base ? ReadDigestText(*base, 16) : std::nullopt;
    const auto length = size ? ReadLength(*size) : std::nullopt;
    if (!baseMd5 || !length || url.empty()) return std::nullopt;
    if (!ReadOptionalDigest(baseSha256, 32, patch.BaseSha256) || !ReadOptionalDigest(sha256, 32, patch.Sha256))
        return std::nullopt;
    patch.Url = url;
    patch.BaseMd5 = *baseMd5;
    patch.Size = *length;
    return patch;
}

std::optional<TListedPatch> ChoosePatch(const std::vector<TListedPatch>& patches, const std::string& installedMd5,
                                        const std::optional<std::uint64_t>& wholeSize, bool signedList,
                                        const std::function<std::string()>& installedSha256)
{
    if (installedMd5.empty()) return std::nullopt;
    std::optional<std::string> sha256;
    for (const TListedPatch& patch : patches) {
        if (patch.BaseMd5 != installedMd5 || (wholeSize && patch.Size >= *wholeSize)) continue;
        if (signedList) {
            // What the signature covers must pin both the patch and its base:
            // an MD5 base alone could be matched by a file made for the purpose.
            if (patch.Sha256.empty() || patch.BaseSha256.empty()) continue;
            if (!sha256) sha256 = installedSha256();
            if (patch.BaseSha256 != *sha256) continue;
        }
        return patch;
    }
    return std::nullopt;
}

}  // namespace tallowfin
