// The highest serial of a signed file list this user has accepted: a list
// with a lower one is an old publication served again, which would undo
// updates (or bring back a file with a known flaw), and is refused.
//
// Kept per user in the registry, beside the updater's other records: the
// REG_QWORD value "AcceptedListSerial" of the key
// HKEY_CURRENT_USER\Software\Kestal\TallowfinUpdate. A value is written in
// one step, so a run killed while it writes leaves the old serial or the new
// one; and the registry is where the product already keeps what belongs to
// this user, out of the folders an installation replaces. Keeping it is best effort: a registry that cannot be
// read counts as no list accepted yet, one that cannot be written never stops
// an update.
#pragma once

#include <cstdint>

namespace tallowfin {

inline constexpr char kAcceptedSerialKey[] = "Software\\Kestal\\TallowfinUpdate";
inline constexpr char kAcceptedSerialValue[] = "AcceptedListSerial";

// 0 when none is recorded (or the value is not a REG_QWORD).
std::uint64_t HighestAcceptedSerial() noexcept;
// Records `serial` unless a higher one is recorded already.
void RecordAcceptedSerial(std::uint64_t serial) noexcept;

}  // namespace tallowfin
