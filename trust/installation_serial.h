// The highest serial of a signed file list accepted for an installation,
// kept in the installation's own folder. The per-user record
// (accepted_serial.h) protects only users who ran the updater before; a user
// who never did, or whose registry was reset, would take an older
// publication and undo updates for everyone sharing the installation. The
// higher of the two records counts.
//
// The file is a sealed record (common/sealed_record.h): the mark, a format
// version and the serial. A file that is missing, damaged, of another
// version or written by something else counts as no serial recorded, and
// the per-user record still holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowfin {

// Beside the updater's executable and the files a release replaces. A fixed
// name without the leading "~" of what a run makes and a later run cleans up
// (common/own_names.h), so no cleanup of left files ever takes it.
inline constexpr char kInstallationSerialFile[] = "TallowfinUpdate.serial";

// The whole file is this small; anything larger is not one.
inline constexpr std::size_t kInstallationSerialFileSize = 4 + 4 + 8 + 16;

std::string InstallationSerialBytes(std::uint64_t serial);
// Nothing unless the bytes are exactly such a file with a serial a signed
// list can have.
std::optional<std::uint64_t> ReadInstallationSerial(std::string_view bytes);

}  // namespace tallowfin
