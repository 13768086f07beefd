#include "download/resume_rules.h"

#include "common/limits.h"
#include "common/md5.h"
#include "common/sealed_record.h"
#include "download/kept_list.h"

namespace tallowfin {

namespace {

constexpr std::string_view kMark = "TFKP";
constexpr std::uint32_t kFormatVersion = 1;

constexpr unsigned kOk = 200;
constexpr unsigned kPartial = 206;
constexpr unsigned kRangeNotSatisfiable = 416;

// A decimal number of at most 19 digits (no sign, no blank) at the start of
// `text`, which it leaves after the number.
std::optional<std::uint64_t> TakeNumber(std::string_view& text)
{
    std::size_t digits = 0;
    std::uint64_t value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        if (digits == 19) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    text.remove_prefix(digits);
    return value;
}

bool TakeChar(std::string_view& text, char c)
{
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::optional<std::string> PartName(std::string_view listedSha256, std::string_view listedMd5)
{
    if (auto sha256 = ReadDigestText(listedSha256, 32)) return sha256;
    return ReadDigestText(listedMd5, 16);
}

std::optional<std::string> PartNameOf(const TUpdateRec& record)
{
    if (!record.Patch) return PartName(record.Listed.Sha256, record.Listed.Md5);
    if (auto sha256 = ReadDigestText(record.Patch->Sha256, 32)) return sha256;
    const auto base = ReadDigestText(record.Patch->BaseMd5, 16);
    const auto result = ReadDigestText(record.Listed.Md5, 16);
    if (!base || !result) return std::nullopt;
    return Md5Text(*base + *result);
}

bool IsPartFileName(std::string_view fileName, std::string_view suffix)
{
    if (fileName.size() <= suffix.size() || fileName.substr(fileName.size() - suffix.size()) != suffix) return false;
    const std::string_view name = fileName.substr(0, fileName.size() - suffix.size());
    // Only the lower-case form PartName gives: the same digest in capitals
    // would be a second part of one file.
    const auto digest = ReadDigestText(name, name.size() / 2);
    return (name.size() == 64 || name.size() == 32) && digest && *digest == name;
}

std::optional<std::string> ResumeValidator(std::string_view entityTag, std::string_view lastModified)
{
    if (IsStrongEntityTag(entityTag)) return std::string(entityTag);
    if (IsHttpDate(lastModified)) return std::string(lastModified);
    return std::nullopt;
}

std::string KeptPartInfoBytes(const KeptPartInfo& info)
{
    RecordWriter writer(kMark, kFormatVersion);
    writer.PutText(info.validator);
    writer.Put(info.total, 8);
    return std::move(writer).Seal();
}

std::optional<KeptPartInfo> ReadKeptPartInfo(std::string_view bytes)
{
    auto reader = RecordReader::Open(bytes, kMark, kFormatVersion);
    if (!reader) return std::nullopt;
    KeptPartInfo info;
    info.validator = reader->GetText(kLongestValidator);
    info.total = reader->Get(8);
    // Only what ResumeValidator gives was ever written.
    if (!reader->Done() || !ResumeValidator(info.validator, info.validator) || info.total > limits::kLargestFile)
        return std::nullopt;
    return info;
}

std::string RangeHeaders(std::uint64_t from, std::string_view validator)
{
    return "Range: bytes=" + std::to_string(from) + "-\r\nIf-Range: " + std::string(validator) + "\r\n";
}

std::optional<ContentRange> ReadContentRange(std::string_view value)
{
    ContentRange range;
    if (value.substr(0, 6) != "bytes ") return std::nullopt;
    value.remove_prefix(6);
    const auto first = TakeNumber(value);
    if (!first || !TakeChar(value, '-')) return std::nullopt;
    const auto last = TakeNumber(value);
    if (!last || !TakeChar(value, '/')) return std::nullopt;
    const auto total = TakeNumber(value);
    if (!total || !value.empty() || *first > *last || *last >= *total) return std::nullopt;
    range.first = *first;
    range.last = *last;
    range.total = *total;
    return range;
}

ReplyUse JudgeReply(unsigned status, std::optional<std::uint64_t> length, std::string_view contentRange,
                    const std::optional<KeptPartInfo>& asked, std::uint64_t keptLength)
{
    if (status == kOk) return length ? ReplyUse::kWhole : ReplyUse::kNoFile;
    if (status == kRangeNotSatisfiable) return asked ? ReplyUse::kAskWhole : ReplyUse::kNoFile;
    if (status != kPartial) return ReplyUse::kNoFile;
    // Anything but the exact rest of the same file would be spliced onto
    // bytes of another version or at the wrong place.
    const auto range = ReadContentRange(contentRange);
    if (!asked || !range || !length || range->first != keptLength || range->total != asked->total ||
        range->last + 1 != range->total || *length != range->total - range->first)
        return ReplyUse::kWrongPart;
    return ReplyUse::kRest;
}

}  // namespace tallowfin
