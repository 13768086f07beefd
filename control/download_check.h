// The check of a download pass against its list, made after the pass has
// ended without error and before anything is installed: every fetched file
// must have every digest its list entry gave for it.
#pragma once

#include <vector>

#include "download/update_record.h"

namespace tallowfin {

// The first record whose fetched file lacks a digest its entry gave (or
// cannot be read to tell); null when every one has them all. A listed text
// that is not a digest (wrong length, not hexadecimal) is not checked. Each
// record looked at gets the MD5 digest text of its fetched file in
// FetchedMd5. A record whose fetch left no file is not looked at: the
// installation skips it too.
const TUpdateRec* FirstDownloadNotAsListed(const std::vector<TUpdateRec*>& records);

}  // namespace tallowfin
