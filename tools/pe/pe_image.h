#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace tallowfin::pe {

inline constexpr std::uint16_t kMachineI386 = 0x14c;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kSubsystemWindowsGui = 2;
inline constexpr std::uint16_t kSubsystemWindowsConsole = 3;

inline constexpr std::size_t kImportDirectory = 1;
inline constexpr std::size_t kResourceDirectory = 2;

struct Section {
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t rawSize = 0;
};

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

// The headers of a PE file and a view of its sections as the loader would
// place them. Only what lies in the file can be read: addresses in the
// zero-filled tail of a section are refused, since no resource or import
// table written by a linker lives there.
class PeImage {
public:
    // Throws PeFormatError when the headers are damaged or the file is cut
    // short, std::runtime_error when it cannot be read.
    explicit PeImage(std::vector<std::uint8_t> bytes);
    static PeImage FromFile(const std::filesystem::path& path);

    std::uint16_t Machine() const { return machine_; }
    std::uint16_t Subsystem() const { return subsystem_; }
    bool IsPe32Plus() const { return pe32Plus_; }
    const std::vector<Section>& Sections() const { return sections_; }
    std::span<const std::uint8_t> FileBytes() const { return bytes_; }

    // A zero directory when the file has none at that index.
    DataDirectory Directory(std::size_t index) const;

    // Exactly `size` bytes at an address; throws unless all of them come
    // from one section's data in the file.
    std::span<const std::uint8_t> BytesAt(std::uint32_t rva, std::uint32_t size) const;
    // From an address to the end of its section's data in the file.
    std::span<const std::uint8_t> BytesFrom(std::uint32_t rva) const;

private:
    const Section& SectionHolding(std::uint32_t rva) const;

    std::vector<std::uint8_t> bytes_;
    std::uint16_t machine_ = 0;
    std::uint16_t subsystem_ = 0;
    bool pe32Plus_ = false;
    std::vector<DataDirectory> directories_;
    std::vector<Section> sections_;
};

// Bytes of a section that the file backs: a linker pads the raw data to the
// file alignment, and the padding is no part of the section.
std::uint32_t FileBackedSize(const Section& section);

}  // namespace tallowfin::pe
