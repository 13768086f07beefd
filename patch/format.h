// The patch file, in one place for the maker, the applier and the publishing
// tool's checks. The README ("Binary patches") describes it for other tools.
//
// A patch turns one earlier version of a file (the base) into the listed one
// (the result) in the bsdiff layout: control records, each saying "add the
// next X diff bytes to X bytes of the base, copy Y extra bytes, move in the
// base by Z", a diff stream and an extra stream, each compressed with zlib.
// The three streams are cut into sections and the sections written one after
// the other, so that a patch is read front to back in bounded memory: the
// applier holds one section's control records and diff bytes, never more,
// whatever the patch says.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tallowfin::patch {

using Md5Digest = std::array<std::uint8_t, 16>;
using Sha256Digest = std::array<std::uint8_t, 32>;

inline constexpr std::array<std::uint8_t, 8> kMagic = {'T', 'F', 'P', 'A', 'T', 'C', 'H', 0x1A};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 152;
inline constexpr std::size_t kSectionHeaderSize = 16;
inline constexpr std::size_t kControlRecordSize = 24;

// What one section may hold: the applier keeps this many control records
// (96 KiB) and diff bytes (1 MiB) in memory. Extra bytes are copied as they
// arrive, so a section's extra stream is not bounded.
inline constexpr std::uint32_t kMostRecordsPerSection = 4096;
inline constexpr std::uint32_t kMostDiffBytesPerSection = 1u << 20;

// Everything the header says. Sizes of the streams are of their compressed
// bytes, all sections together.
struct PatchHeader {
    std::uint32_t sections = 0;
    std::uint64_t baseSize = 0;
    std::uint64_t resultSize = 0;
    std::uint64_t controlBytes = 0;
    std::uint64_t diffBytes = 0;
    std::uint64_t extraBytes = 0;
    Md5Digest baseMd5{};
    Sha256Digest baseSha256{};
    Md5Digest resultMd5{};
    Sha256Digest resultSha256{};

    friend bool operator==(const PatchHeader&, const PatchHeader&) = default;
};

// A section: how many control records it has, and the bytes of its piece of
// each compressed stream, which follow its header in this order.
struct SectionHeader {
    std::uint32_t records = 0;
    std::uint32_t controlBytes = 0;
    std::uint32_t diffBytes = 0;
    std::uint32_t extraBytes = 0;
};

// One control record: add `diff` bytes, copy `extra` bytes, then move the
// base position by `seek` (which may be negative).
struct ControlRecord {
    std::uint64_t diff = 0;
    std::uint64_t extra = 0;
    std::int64_t seek = 0;
};

// The digest a text of hexadecimal digits (either case) gives, as a list
// carries digests: the form ApplyOptions and the header take. None for a text
// of another length or with another character.
std::optional<Md5Digest> Md5FromText(std::string_view text);
std::optional<Sha256Digest> Sha256FromText(std::string_view text);

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const PatchHeader& header);

// The header at the start of `bytes`, or why it is none: too short, another
// magic or version, sizes whose sum does not fit in 64 bits, no section.
struct HeaderRead {
    std::optional<PatchHeader> header;
    std::string problem;
};
HeaderRead DecodeHeader(std::span<const std::uint8_t> bytes);

// The size of the whole patch the header describes: its own bytes, the
// section headers and the streams. A well-formed header always has one.
std::optional<std::uint64_t> PatchSizeOf(const PatchHeader& header);

std::array<std::uint8_t, kSectionHeaderSize> EncodeSection(const SectionHeader& section);
SectionHeader DecodeSection(std::span<const std::uint8_t, kSectionHeaderSize> bytes);

std::array<std::uint8_t, kControlRecordSize> EncodeRecord(const ControlRecord& record);
// Counts are unsigned 64-bit numbers and the seek two's complement, as
// written; whether they make sense is the applier's question.
ControlRecord DecodeRecord(std::span<const std::uint8_t, kControlRecordSize> bytes);

}  // namespace tallowfin::patch
