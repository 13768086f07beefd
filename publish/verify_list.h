// "verify": checks a published list the way the updater will read it, and the
// files its addresses serve.
#pragma once

#include "common/utc_clock.h"
#include "publish/served_files.h"
#include "publish/served_list.h"
#include "publish/list_document.h"
#include "trust/public_key.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tallowfin::publish {

struct Finding {
    std::size_t entry = 0;  // position among the document element's children, from 1; 0 for the whole list
    std::string message;
};

// A list broken everywhere is reported this far: past it more lines help no
// one, and a list of two million empty entries would otherwise need a
// gigabyte for its report.
inline constexpr std::size_t kMostProblems = 1000;

struct VerifyReport {
    std::size_t entries = 0;
    std::size_t checked = 0;  // entries checked, all of them unless the problems ran past kMostProblems
    std::vector<Finding> problems;  // each one breaks the list or an entry of it
    std::vector<Finding> notes;     // what could not be checked
    std::vector<Finding> warnings;  // what works now and will soon not (a list about to expire)
    std::size_t patches = 0;         // <patch> elements of the entries checked
    std::size_t patchesApplied = 0;  // of them, applied to their bases (`bases`) and found right
};

// A list that expires sooner than this is worth a warning: re-sign it.
inline constexpr std::uint64_t kExpiryWarningSeconds = 7 * 24 * 60 * 60;

// Checks the document element of a list. A serial, an expiry, "sha256" and
// "size" values are checked where the list has them; `signedList` requires
// the serial and "sha256", as an updater with keys does. Patches are checked
// as patch_check.h says, applied where their bases are among the files of the
// folders `bases`. `now` is the clock (UTC seconds) the serial and the expiry
// are judged by.
VerifyReport VerifyListDocument(const XmlNode& root, ServedFiles& served, bool signedList = false,
                                const std::vector<std::filesystem::path>& bases = {},
                                std::uint64_t now = UtcSecondsNow());

// Reads and checks a list file; one larger than the updater reads is a
// problem of the whole list. With `keys`, the list is checked as an updater
// built with them checks it: its signature (the file beside it, with ".sig"
// added) must verify with one of them, and it must be signed in full. With
// `publication`, what the server serves must be this very list, and with
// `keys` its served signature must verify it too. Patches are applied to
// their bases found in `bases`. Throws InputError when it cannot be read as a
// document the way the updater reads it.
VerifyReport VerifyFileList(const std::filesystem::path& list, ServedFiles& served,
                            const std::vector<P256PublicKey>* keys = nullptr,
                            const ServedPublication* publication = nullptr,
                            const std::vector<std::filesystem::path>& bases = {});

}  // namespace tallowfin::publish
