#include "tools/pe/pe_image.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tools/pe/byte_view.h"
#include "tools/pe/pe_error.h"

namespace tallowfin::pe {

namespace {

constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kNewHeaderPointer = 0x3c;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kPe32Magic = 0x10b;
constexpr std::uint16_t kPe32PlusMagic = 0x20b;
// The Windows loader refuses more; a larger count means a damaged header.
constexpr std::uint16_t kMaxSections = 96;

}  // namespace

std::uint32_t FileBackedSize(const Section& section)
{
    // Some linkers leave the virtual size zero; the raw size is all there is.
    if (section.virtualSize == 0) return section.rawSize;
    return std::min(section.virtualSize, section.rawSize);
}

PeImage PeImage::FromFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error("cannot read " + path.string());
    return PeImage(std::move(bytes));
}

PeImage::PeImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes))
{
    const ByteView file(bytes_, "file");
    if (file.Size() < kDosHeaderSize) {
        throw PeFormatError("file of " + std::to_string(file.Size()) + " bytes is too short for an executable");
    }
    if (bytes_[0] != 'M' || bytes_[1] != 'Z') throw PeFormatError("no MZ signature: not a Windows executable");

    const std::uint32_t peOffset = file.U32(kNewHeaderPointer);
    if (!file.Contains(peOffset, 4 + kFileHeaderSize)) {
        throw PeFormatError("PE header offset " + Hex(peOffset) + " lies past the end of the file (truncated?)");
    }
    auto signature = file.Sub(peOffset, 4);
    if (!std::equal(signature.begin(), signature.end(), "PE\0\0")) {
        throw PeFormatError("no PE signature at " + Hex(peOffset) + ": a DOS program or a damaged file");
    }

    const std::size_t fileHeader = peOffset + 4;
    machine_ = file.U16(fileHeader);
    const std::uint16_t sectionCount = file.U16(fileHeader + 2);
    const std::uint16_t optionalSize = file.U16(fileHeader + 16);
    if (sectionCount > kMaxSections) throw PeFormatError(std::to_string(sectionCount) + " sections: damaged header");

    const std::size_t optionalStart = fileHeader + kFileHeaderSize;
    if (!file.Contains(optionalStart, optionalSize)) throw PeFormatError("optional header cut short (truncated file)");
    const ByteView optional(file.Sub(optionalStart, optionalSize), "optional header");
    const std::uint16_t magic = optional.U16(0);
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        throw PeFormatError("unknown optional header magic " + Hex(magic));
    }
    pe32Plus_ = magic == kPe32PlusMagic;
    subsystem_ = optional.U16(68);

    // The data directories follow fields whose widths differ between the
    // 32- and 64-bit layouts.
    const std::size_t countAt = pe32Plus_ ? 108 : 92;
    const std::uint32_t directoryCount = optional.U32(countAt);
    if (directoryCount > (optional.Size() - countAt - 4) / 8) {
        throw PeFormatError(std::to_string(directoryCount) + " data directories do not fit the optional header");
    }
    for (std::uint32_t i = 0; i < directoryCount; ++i) {
        const std::size_t at = countAt + 4 + i * 8;
        directories_.push_back({optional.U32(at), optional.U32(at + 4)});
    }

    const std::size_t sectionTable = optionalStart + optionalSize;
    if (!file.Contains(sectionTable, sectionCount * kSectionHeaderSize)) {
        throw PeFormatError("section table cut short (truncated file)");
    }
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const ByteView header(file.Sub(sectionTable + i * kSectionHeaderSize, kSectionHeaderSize), "section table");
        auto rawName = header.Sub(0, 8);
        Section s;
        s.name.assign(rawName.begin(), std::find(rawName.begin(), rawName.end(), 0));
        s.virtualSize = header.U32(8);
        s.virtualAddress = header.U32(12);
        s.rawSize = header.U32(16);
        s.rawOffset = header.U32(20);
        if (s.rawSize != 0 && !file.Contains(s.rawOffset, s.rawSize)) {
            throw PeFormatError("section " + s.name + " extends past the end of the file (truncated file)");
        }
        sections_.push_back(std::move(s));
    }
}

DataDirectory PeImage::Directory(std::size_t index) const
{
    return index < directories_.size() ? directories_[index] : DataDirectory{};
}

const Section& PeImage::SectionHolding(std::uint32_t rva) const
{
    for (const Section& s : sections_) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < FileBackedSize(s)) return s;
    }
    throw PeFormatError("address " + Hex(rva) + " lies in no section's file data");
}

std::span<const std::uint8_t> PeImage::BytesFrom(std::uint32_t rva) const
{
    const Section& s = SectionHolding(rva);
    const std::uint32_t skip = rva - s.virtualAddress;
    return std::span<const std::uint8_t>(bytes_).subspan(s.rawOffset + skip, FileBackedSize(s) - skip);
}

std::span<const std::uint8_t> PeImage::BytesAt(std::uint32_t rva, std::uint32_t size) const
{
    if (size == 0) return {};
    auto rest = BytesFrom(rva);
    if (size > rest.size()) {
        throw PeFormatError(std::to_string(size) + " bytes at " + Hex(rva) + " run past the end of their section");
    }
    return rest.first(size);
}

}  // namespace tallowfin::pe
