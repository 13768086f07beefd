// The highest serial of a signed file list accepted: a list with a lower one
// is an old publication served again, which would undo updates (or bring
// back a file with a known flaw), and is refused.
//
// Kept in two places, and the higher counts:
// - per user in the registry, beside the updater's other records: the
//   REG_QWORD value "AcceptedListSerial" of the key
//   HKEY_CURRENT_USER\Software\Kestal\TallowfinUpdate. A value is written in
//   one step, so a run killed while it writes leaves the old serial or the
//   new one, and it lives out of the folders an installation replaces;
// - per installation, in its folder (installation_serial.h), so that a user
//   who never ran the updater does not take an older publication than the
//   one already installed. The file is replaced whole (common/kept_file.h).
// Keeping either is best effort: a record that cannot be read counts as no
// list accepted yet, one that cannot be written never stops an update, and a
// folder the user may not write leaves the per-user record to hold alone.
#pragma once

#include <cstdint>
#include <string>

namespace tallowfin {

inline constexpr char kAcceptedSerialKey[] = "Software\\Kestal\\TallowfinUpdate";
inline constexpr char kAcceptedSerialValue[] = "AcceptedListSerial";

// 0 when none is recorded (or the value is not a REG_QWORD).
std::uint64_t HighestAcceptedSerial() noexcept;
// Records `serial` unless a higher one is recorded already.
void RecordAcceptedSerial(std::uint64_t serial) noexcept;

// The same for the installation whose record is `file` (see
// InstallationSerialFileOf).
std::uint64_t InstallationAcceptedSerial(const std::string& file) noexcept;
void RecordInstallationSerial(const std::string& file, std::uint64_t serial) noexcept;

// The record's path for the installation in `programFolder`.
std::string InstallationSerialFileOf(const std::string& programFolder);

}  // namespace tallowfin
