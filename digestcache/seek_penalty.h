// Whether reading several files at once pays: a disk that moves a head to
// each file is slower read two ways at once than one after the other.
#pragma once

#include <string>
#include <vector>

#include "digestcache/hashing_pool.h"

namespace tallowfin {

// What the volumes that hold these files say (IOCTL_STORAGE_QUERY_PROPERTY,
// StorageDeviceSeekPenaltyProperty); each volume is asked once. kNone only
// when every one says it incurs no seek penalty, kSome when one says it
// does, kUnknown when one cannot be asked and none said it does: a network
// share, a driver that does not answer the question, a volume that cannot
// be opened. Measured under Wine 8: "\\.\C:" opens and the question fails
// with ERROR_NOT_SUPPORTED; "\\.\Z:" cannot be opened (access denied).
SeekPenalty SeekPenaltyOf(const std::vector<std::string>& paths);

}  // namespace tallowfin
