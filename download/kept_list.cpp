#include "download/kept_list.h"

#include "common/sealed_record.h"

namespace tallowfin {

namespace {

constexpr std::string_view kMark = "TFKL";
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::size_t kLongestUrl = 4096;

}  // namespace

std::string KeptListBytes(const KeptList& list)
{
    RecordWriter writer(kMark, kFormatVersion);
    writer.PutText(list.url);
    writer.PutText(list.entityTag);
    writer.PutText(list.lastModified);
    writer.PutText(list.body);
    return std::move(writer).Seal();
}

std::optional<KeptList> ReadKeptList(std::string_view bytes)
{
    auto reader = RecordReader::Open(bytes, kMark, kFormatVersion);
    if (!reader) return std::nullopt;
    KeptList list;
    list.url = reader->GetText(kLongestUrl);
    list.entityTag = reader->GetText(kLongestValidator);
    list.lastModified = reader->GetText(kLongestValidator);
    list.body = reader->GetText(kLargestKeptList);
    if (!reader->Done()) return std::nullopt;
    return list;
}

bool IsSendableValidator(std::string_view value)
{
    if (value.empty() || value.size() > kLongestValidator) return false;
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
    return true;
}

std::string ConditionalHeaders(const KeptList& list)
{
    std::string headers;
    if (IsSendableValidator(list.entityTag)) headers += "If-None-Match: " + list.entityTag + "\r\n";
    if (IsSendableValidator(list.lastModified)) headers += "If-Modified-Since: " + list.lastModified + "\r\n";
    return headers;
}

}  // namespace tallowfin
