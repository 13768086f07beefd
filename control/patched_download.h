// A download pass that fetched a patch in place of a file: the patch is
// checked, applied to the installed file, and the result checked against the
// entry, before the release's transaction stages it like any download.
#pragma once

#include "download/update_record.h"

namespace tallowfin {

// For a record whose pass fetched its patch (TempFile holds it, or nothing
// when the patch could not be fetched): checks the
// patch's SHA-256 where the list gives it, applies it to the file installed at
// LocalPath into a new temporary file of the worker's naming, and checks the
// result's MD5 and, where the list gives it, its SHA-256. True when the record
// now holds the result in TempFile, as if the file had been fetched whole.
// Otherwise (a patch damaged, for another base, a result not as listed, a file
// that cannot be read or written) the record is made to fetch the whole file
// (Url and Size the whole file's again, no patch, no TempFile), and false.
// The patch's temporary file is deleted either way.
bool ApplyFetchedPatch(TUpdateRec& record) noexcept;

}  // namespace tallowfin
