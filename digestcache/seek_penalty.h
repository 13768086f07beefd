// Whether reading several files at once pays: a disk that moves a head to
// each file is slower read two ways at once than one after the other.
#pragma once

#include <string>
#include <vector>

namespace tallowfin {

// True only when every volume that holds one of these files says it incurs
// no seek penalty (IOCTL_STORAGE_QUERY_PROPERTY,
// StorageDeviceSeekPenaltyProperty); each volume is asked once. False when
// one says it does, and when one cannot be asked: a network share, a driver
// that does not answer the question, a volume that cannot be opened.
// Measured under Wine 8: "\\.\C:" opens and the question fails with
// ERROR_NOT_SUPPORTED; "\\.\Z:" cannot be opened (access denied).
bool WithoutSeekPenalty(const std::vector<std::string>& paths);

}  // namespace tallowfin
