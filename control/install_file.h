// Putting one file in place so that it is whole at every moment.
#pragma once

#include <string>

namespace tallowfin {

// Replaces `target` with a copy of `source` in one step: the copy is written
// beside the target under a name of the updater's own, flushed to the disk,
// and then renamed over the target, so that a watcher, a power cut or a kill
// finds the target holding either its old content or the whole new one, never
// a part. When the rename fails (the target in use, read-only, access denied)
// the target stays as it was and the copy is removed. While the copy exists
// it is recorded as pending work, so that a later run removes it if this one
// is killed. True when the target was replaced.
bool PlaceFile(const std::string& source, const std::string& target);

}  // namespace tallowfin
