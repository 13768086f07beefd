// Resuming a transfer that ended early (cut, killed, too slow): what is kept
// of it, what the next transfer of the same file asks for, and which replies
// may continue what was kept. Plain values, tested natively; the files
// themselves are download/kept_part.*, the requests the worker's.
//
// Nothing here decides whether the file is the listed one: the digest check
// of the whole file does, as for any download, and a kept part that does not
// lead to the listed digest is deleted with the download that failed it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "download/update_record.h"

namespace tallowfin {

// What a reply said of the file a kept part belongs to: the validator that
// names its version (a strong entity tag, or else its last-modified date)
// and its length in bytes.
struct KeptPartInfo {
    std::string validator;
    std::uint64_t total = 0;
    bool operator==(const KeptPartInfo&) const = default;
};

// The name a kept part goes by: the entry's listed digest, which names the
// content wherever it is served from. Its SHA-256 where the list gives a
// well-formed one, else its MD5 when that is a well-formed digest, as lower
// case hexadecimal. Nothing for an entry whose listed digest is no digest:
// such a name would stand for any content, and the part of one file could be
// continued with another's bytes.
std::optional<std::string> PartName(std::string_view listedSha256, std::string_view listedMd5);
// The name of a kept part of what a record fetches. A patch fetched in place
// of its file has a part of its own, never the file's: by the patch's SHA-256
// where the list gives one, else by the MD5 digest of its base's and its
// result's digest texts, which names "this file made from that one".
std::optional<std::string> PartNameOf(const TUpdateRec& record);
// Whether a file name (without folder) is one PartName gives, followed by
// `suffix` (".part", ".info").
bool IsPartFileName(std::string_view fileName, std::string_view suffix);

// The validator a reply gives to continue its body with If-Range: a strong
// entity tag, or without one a date (see kept_list.h for what qualifies).
// A weak tag is refused by servers in If-Range and "*" matches any version;
// nothing for a reply with neither, whose body is then not kept.
std::optional<std::string> ResumeValidator(std::string_view entityTag, std::string_view lastModified);

// The info file's bytes, a sealed record (common/sealed_record.h); nothing
// for bytes that are not exactly such a file, or whose length is larger than
// the largest file the updater fetches.
std::string KeptPartInfoBytes(const KeptPartInfo& info);
std::optional<KeptPartInfo> ReadKeptPartInfo(std::string_view bytes);

// The header lines that ask for the rest of a file from byte `from` on, only
// if it is still the version `validator` names (otherwise servers send the
// whole file with 200).
std::string RangeHeaders(std::uint64_t from, std::string_view validator);

// A Content-Range value of a 206 reply, "bytes FIRST-LAST/TOTAL", read
// strictly: decimal numbers without signs, FIRST <= LAST < TOTAL.
struct ContentRange {
    std::uint64_t first = 0, last = 0, total = 0;
};
std::optional<ContentRange> ReadContentRange(std::string_view value);

// What the worker does with a reply.
enum class ReplyUse {
    kWhole,      // 200: the whole file, from its first byte; a kept part starts again
    kRest,       // 206 continuing the kept part exactly: appended to it
    kAskWhole,   // 416 to a ranged request: the part is dropped and the file asked for whole
    kWrongPart,  // another 206: refused, and the part dropped so that the next try asks for the whole file
    kNoFile,     // anything else: not the file (fails as a missing file does)
};

// `status` and `length` (Content-Length; none without one) of the reply,
// its Content-Range, and what was asked: the kept part's info and length
// when the request carried RangeHeaders, nothing otherwise. A 206 continues
// the part only when it starts exactly where the part ends, names the same
// total, and announces exactly the rest.
ReplyUse JudgeReply(unsigned status, std::optional<std::uint64_t> length, std::string_view contentRange,
                    const std::optional<KeptPartInfo>& asked, std::uint64_t keptLength);

}  // namespace tallowfin
