#include "patch/format.h"

#include <algorithm>

namespace tallowfin::patch {

namespace {

// Little-endian, whatever the machine: the publisher and the updater may differ.
template <class T>
void Put(std::uint8_t* at, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
}

template <class T>
T Get(const std::uint8_t* at)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= std::uint64_t{at[i]} << (8 * i);
    return static_cast<T>(value);
}

// Offsets of the header's fields.
constexpr std::size_t kVersionAt = 8, kSectionsAt = 12, kBaseSizeAt = 16, kResultSizeAt = 24, kControlAt = 32,
                      kDiffAt = 40, kExtraAt = 48, kBaseMd5At = 56, kBaseSha256At = 72, kResultMd5At = 104,
                      kResultSha256At = 120;
static_assert(kResultSha256At + 32 == kHeaderSize);

bool AddTo(std::uint64_t& sum, std::uint64_t value)
{
    if (value > UINT64_MAX - sum) return false;
    sum += value;
    return true;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> DigestFromText(std::string_view text)
{
    if (text.size() != 2 * N) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::array<std::uint8_t, N> digest{};
    for (std::size_t i = 0; i < N; ++i) {
        const int high = value(text[2 * i]), low = value(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digest;
}

}  // namespace

std::optional<Md5Digest> Md5FromText(std::string_view text) { return DigestFromText<16>(text); }
std::optional<Sha256Digest> Sha256FromText(std::string_view text) { return DigestFromText<32>(text); }

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const PatchHeader& header)
{
    std::array<std::uint8_t, kHeaderSize> bytes{};
    std::copy(kMagic.begin(), kMagic.end(), bytes.begin());
    Put<std::uint32_t>(&bytes[kVersionAt], kVersion);
    Put<std::uint32_t>(&bytes[kSectionsAt], header.sections);
    Put<std::uint64_t>(&bytes[kBaseSizeAt], header.baseSize);
    Put<std::uint64_t>(&bytes[kResultSizeAt], header.resultSize);
    Put<std::uint64_t>(&bytes[kControlAt], header.controlBytes);
    Put<std::uint64_t>(&bytes[kDiffAt], header.diffBytes);
    Put<std::uint64_t>(&bytes[kExtraAt], header.extraBytes);
    std::copy(header.baseMd5.begin(), header.baseMd5.end(), &bytes[kBaseMd5At]);
    std::copy(header.baseSha256.begin(), header.baseSha256.end(), &bytes[kBaseSha256At]);
    std::copy(header.resultMd5.begin(), header.resultMd5.end(), &bytes[kResultMd5At]);
    std::copy(header.resultSha256.begin(), header.resultSha256.end(), &bytes[kResultSha256At]);
    return bytes;
}

HeaderRead DecodeHeader(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kHeaderSize)
        return {std::nullopt, "shorter than a patch header (" + std::to_string(bytes.size()) + " of " +
                                  std::to_string(kHeaderSize) + " bytes)"};
    if (!std::equal(kMagic.begin(), kMagic.end(), bytes.begin())) return {std::nullopt, "not a patch (another magic)"};
    if (const auto version = Get<std::uint32_t>(&bytes[kVersionAt]); version != kVersion)
        return {std::nullopt, "a patch of version " + std::to_string(version) + ", not " + std::to_string(kVersion)};
    PatchHeader header;
    header.sections = Get<std::uint32_t>(&bytes[kSectionsAt]);
    header.baseSize = Get<std::uint64_t>(&bytes[kBaseSizeAt]);
    header.resultSize = Get<std::uint64_t>(&bytes[kResultSizeAt]);
    header.controlBytes = Get<std::uint64_t>(&bytes[kControlAt]);
    header.diffBytes = Get<std::uint64_t>(&bytes[kDiffAt]);
    header.extraBytes = Get<std::uint64_t>(&bytes[kExtraAt]);
    std::copy_n(&bytes[kBaseMd5At], header.baseMd5.size(), header.baseMd5.begin());
    std::copy_n(&bytes[kBaseSha256At], header.baseSha256.size(), header.baseSha256.begin());
    std::copy_n(&bytes[kResultMd5At], header.resultMd5.size(), header.resultMd5.begin());
    std::copy_n(&bytes[kResultSha256At], header.resultSha256.size(), header.resultSha256.begin());
    if (header.sections == 0) return {std::nullopt, "a patch without sections"};
    // Positions in the base are signed 64-bit numbers while they are moved.
    if (header.baseSize > INT64_MAX || header.resultSize > INT64_MAX)
        return {std::nullopt, "a base or result size beyond 2^63 bytes"};
    if (!PatchSizeOf(header)) return {std::nullopt, "stream sizes whose sum exceeds 64 bits"};
    return {header, {}};
}

std::optional<std::uint64_t> PatchSizeOf(const PatchHeader& header)
{
    std::uint64_t size = kHeaderSize;
    if (!AddTo(size, std::uint64_t{header.sections} * kSectionHeaderSize) || !AddTo(size, header.controlBytes) ||
        !AddTo(size, header.diffBytes) || !AddTo(size, header.extraBytes))
        return std::nullopt;
    return size;
}

std::array<std::uint8_t, kSectionHeaderSize> EncodeSection(const SectionHeader& section)
{
    std::array<std::uint8_t, kSectionHeaderSize> bytes{};
    Put<std::uint32_t>(&bytes[0], section.records);
    Put<std::uint32_t>(&bytes[4], section.controlBytes);
    Put<std::uint32_t>(&bytes[8], section.diffBytes);
    Put<std::uint32_t>(&bytes[12], section.extraBytes);
    return bytes;
}

SectionHeader DecodeSection(std::span<const std::uint8_t, kSectionHeaderSize> bytes)
{
    return {Get<std::uint32_t>(&bytes[0]), Get<std::uint32_t>(&bytes[4]), Get<std::uint32_t>(&bytes[8]),
            Get<std::uint32_t>(&bytes[12])};
}

std::array<std::uint8_t, kControlRecordSize> EncodeRecord(const ControlRecord& record)
{
    std::array<std::uint8_t, kControlRecordSize> bytes{};
    Put<std::uint64_t>(&bytes[0], record.diff);
    Put<std::uint64_t>(&bytes[8], record.extra);
    Put<std::uint64_t>(&bytes[16], static_cast<std::uint64_t>(record.seek));
    return bytes;
}

ControlRecord DecodeRecord(std::span<const std::uint8_t, kControlRecordSize> bytes)
{
    return {Get<std::uint64_t>(&bytes[0]), Get<std::uint64_t>(&bytes[8]),
            static_cast<std::int64_t>(Get<std::uint64_t>(&bytes[16]))};
}

}  // namespace tallowfin::patch
