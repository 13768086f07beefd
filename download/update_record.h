// The types the controller shares with the download worker.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/limits.h"

namespace tallowfin {

class TWebThread;

// The digests the file list gives for a file, as digest texts (lower-case
// hexadecimal). A fetched file is installed only if it has every one of them.
struct TListedDigests {
    std::string Md5;     // the entry's "hash"
    std::string Sha256;  // the entry's "sha256", in lower case; only a signed list gives it (to every entry)
};

// A binary patch a list entry gives: it turns one earlier version of the
// file (its base) into the listed one.
struct TListedPatch {
    std::string Url;         // as listed: absolute, or relative to the base address like a downurl
    std::string BaseMd5;     // the base's MD5 digest text, lower case
    std::string BaseSha256;  // the base's SHA-256, lower case; empty when the list gives none
    std::uint64_t Size = 0;  // the patch's length in bytes
    std::string Sha256;      // the patch's SHA-256, lower case; empty when the list gives none
    bool operator==(const TListedPatch&) const = default;
};

// One file to fetch. Created by the controller, handed to a worker by pointer;
// the worker writes nothing but TempFile, only once the transfer is whole (the
// path of a complete file holding the body, in the temporary folder or in the
// folder of kept parts for a transfer that could be resumed, which the
// controller deletes once it has used it), and RefusedLength.
struct TUpdateRec {
    std::string Description;
    std::string Url;        // absolute "http://..." (any case) or relative to the base address
    std::string LocalPath;  // where the file belongs; the worker never uses it
    std::string TempFile;   // the fetched copy; empty until its transfer completes
    // The entry's "size", where it gives one: the length in bytes the file
    // must have, known before the transfer begins. A reply that announces
    // another is refused before its body.
    std::optional<std::uint64_t> Size{};
    // The most bytes the controller takes from this address (the list's and
    // its signature's limits); a reply that announces more is refused before
    // its body.
    std::uint64_t Largest = limits::kLargestFile;
    // Set by the worker when the reply announced a length this record does
    // not take (Size, Largest) and was refused before its body: a list or a
    // signature too long to be read, not a failed transfer to be retried.
    bool RefusedLength = false;

    // What the fetched copy must have to be installed. The worker only names
    // the part it keeps of an unfinished transfer by it (resume_rules.h).
    TListedDigests Listed{};

    // The controller's, for the installation; the worker never uses them.
    // They travel with the record from the list to the installation, so no
    // table beside the records has to be kept in step with them.
    std::string FetchedMd5{};  // the digest text the check read of the fetched copy
    bool Installed = false;   // the fetched copy replaced the file at LocalPath
    // Where a patch from the installed file is fetched in place of the file:
    // the patch (Url and Size are then its own), and the whole file's address
    // and size, fetched instead when the patch cannot serve.
    std::optional<TListedPatch> Patch{};
    std::string WholeUrl{};
    std::optional<std::uint64_t> WholeSize{};
    std::string BaseMd5{};  // the installed file's MD5 digest text, the patch's base
};

enum TWebStatus : std::uint8_t {
    wsConnected = 0,
    wsNoNetwork = 1,
    wsTransferring = 2,
    wsProgress = 3,
    wsCompleted = 4,
    wsFileError = 5,
    wsDisconnected = 6,
    wsFailed = 7,
};

// Sender, Kind, Message, Size (the current file's length), Position (bytes so far).
using TWebStatusEvent =
    std::function<void(TWebThread* Sender, TWebStatus Kind, const std::string& Message, std::int32_t Size,
                       std::int32_t Position)>;

}  // namespace tallowfin
