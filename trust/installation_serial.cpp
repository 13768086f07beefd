#include "trust/installation_serial.h"

#include "common/sealed_record.h"
#include "trust/signed_list_values.h"

namespace tallowfin {

namespace {

constexpr std::string_view kMark = "TFSN";
constexpr std::uint32_t kFormatVersion = 1;

}  // namespace

std::string InstallationSerialBytes(std::uint64_t serial)
{
    RecordWriter writer(kMark, kFormatVersion);
    writer.Put(serial, 8);
    return std::move(writer).Seal();
}

std::optional<std::uint64_t> ReadInstallationSerial(std::string_view bytes)
{
    auto reader = RecordReader::Open(bytes, kMark, kFormatVersion);
    if (!reader) return std::nullopt;
    const std::uint64_t serial = reader->Get(8);
    if (!reader->Done() || serial == 0 || serial > kLargestListSerial) return std::nullopt;
    return serial;
}

}  // namespace tallowfin
