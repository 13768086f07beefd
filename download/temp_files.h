// The worker's temporary files: "~wuXXXX.tmp" in the system's temporary
// folder, and beside the kept parts for downloads that were resumable.
#pragma once

#include <string>

namespace tallowfin {

// Deletes what earlier runs left behind: files of the worker's naming that
// nobody holds open. A run that was killed cannot clean up after itself, and
// the system gives one prefix at most 65,535 names, after which every fetch
// would fail for good. A file another running worker still writes is open
// without sharing and stays. Returns how many were deleted.
int RemoveLeftTemporaryFiles();
// The same in `folder` (the folder of kept parts).
int RemoveLeftTemporaryFiles(const std::string& folder);

// Creates a new empty file of the worker's naming in `folder` (the system's
// temporary folder when empty) and returns its path; empty on failure, with
// the system's error set.
std::string NewWorkerTemporaryFile(const std::string& folder = {});

// Whether a file name (without folder) is one the worker gives its files.
bool IsWorkerTemporaryName(const std::string& name);

}  // namespace tallowfin
