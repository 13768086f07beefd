// Replacing the small files the updater keeps between runs (they are read
// with ReadWholeFile). A run can be killed at any moment and two runs can
// overlap, so a kept file is only ever replaced whole: a new file is written
// beside it and moved over it in one step.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tallowfin {

// Creates the file's folder (every level that is missing), writes `bytes` to
// a new file beside it and moves that over `path`, flushed to the disk. On
// failure `path` is as it was and the new file is gone; false says so, with
// the system's error of the step that failed.
bool ReplaceKeptFile(const std::string& path, std::string_view bytes);

// Creates each missing folder on the way to `folder`, from below its root
// ("C:\" or "\\server\share\") down; true when it exists as a folder then.
bool CreateFolderPath(const std::string& folder);

// Deletes the file when it exists; what is not there needs no deleting.
void DeleteKeptFile(const std::string& path);

// Deletes the new files a run killed while replacing `path` left beside it.
// A run still writing one holds it open, so its file stays; call this where
// no other run replaces the same file.
void RemoveLeftNewCopies(const std::string& path);

}  // namespace tallowfin
