// The readers of the files the updater keeps between runs: the digest cache,
// the kept list, the installation's serial and the release transaction's
// journal. Whatever the bytes, a reader
// either refuses them whole or accepts something that writes back as it was
// read. The input is tried as it is, and sealed as a writer would seal it,
// so that the fuzzer reaches the fields behind the digest that guards them.
// The validators the kept list sends back are held to a plain second reader:
// a strong tag by its grammar, a date by the C library's reading of it.
#include "common/sealed_record.h"
#include "digestcache/digest_cache.h"
#include "download/kept_list.h"
#include "fuzz/fuzz_support.h"
#include "transaction/journal.h"
#include "trust/installation_serial.h"
#include "trust/signed_list_values.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

using tallowfin::ConditionalHeaders;
using tallowfin::DigestCache;
using tallowfin::InstallationSerialBytes;
using tallowfin::IsHttpDate;
using tallowfin::IsStrongEntityTag;
using tallowfin::KeptListBytes;
using tallowfin::KeptListIsFresh;
using tallowfin::kLongestKeptSeconds;
using tallowfin::ReadInstallationSerial;
using tallowfin::ReadKeptList;
using tallowfin::RecordWriter;
using tallowfin::fuzz::Shown;

namespace {

void CheckCache(std::string_view bytes)
{
    const DigestCache cache = DigestCache::FromBytes(bytes);
    const std::string written = cache.ToBytes();
    if (cache.Size() == 0) {
        // Refused, and then to be written anew; or the one empty cache there is.
        FUZZ_CHECK(cache.Changed() == (!bytes.empty() && bytes != written));
        return;
    }
    FUZZ_CHECK(!cache.Changed());
    // Paths share as much as they can when written: never longer than read.
    FUZZ_CHECK_SAID(written.size() <= bytes.size(), Shown(bytes));
    const DigestCache again = DigestCache::FromBytes(written);
    FUZZ_CHECK(again.Size() == cache.Size());
    FUZZ_CHECK(again.ToBytes() == written);
}

// The date as the C library reads and writes it back: the same text only
// for a real day and time. A leap second has no time of its own there and
// years before 1000 are written without their zeros, so both are left out.
bool ReferenceHttpDate(const std::string& text)
{
    if (text.size() != 29 || text.compare(23, 2, "60") == 0 || text[12] == '0') return false;
    std::tm parts{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    if (!end || *end != '\0') return false;
    const std::time_t moment = timegm(&parts);
    std::tm back{};
    char written[64] = {};
    if (!gmtime_r(&moment, &back) || std::strftime(written, sizeof written, "%a, %d %b %Y %H:%M:%S GMT", &back) == 0)
        return false;
    return text == written;
}

bool ReferenceStrongTag(std::string_view text)
{
    if (text.size() < 2 || text.size() > tallowfin::kLongestValidator || text.front() != '"' || text.back() != '"')
        return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i)
        if (text[i] == '"' || static_cast<unsigned char>(text[i]) <= 0x20 || static_cast<unsigned char>(text[i]) >= 0x7F)
            return false;
    return true;
}

void CheckValidators(const std::string& text)
{
    FUZZ_CHECK_SAID(IsStrongEntityTag(text) == ReferenceStrongTag(text), Shown(text));
    const bool leapOrEarly = text.size() == 29 && (text.compare(23, 2, "60") == 0 || text[12] == '0');
    if (!leapOrEarly) FUZZ_CHECK_SAID(IsHttpDate(text) == ReferenceHttpDate(text), Shown(text));
}

// A real moment written as servers write it is a date; one byte changed, the
// two readers still agree.
void CheckWrittenDate(FuzzedDataProvider& data)
{
    const auto moment = static_cast<std::time_t>(data.ConsumeIntegralInRange<std::int64_t>(-30610224000, 253402300799));
    std::tm parts{};
    char written[64] = {};
    if (!gmtime_r(&moment, &parts) || std::strftime(written, sizeof written, "%a, %d %b %Y %H:%M:%S GMT", &parts) == 0)
        return;
    std::string text = written;
    if (text.size() == 29) FUZZ_CHECK_SAID(IsHttpDate(text), Shown(text));
    if (text.empty()) return;
    text[data.ConsumeIntegralInRange<std::size_t>(0, text.size() - 1)] = data.ConsumeIntegral<char>();
    CheckValidators(text);
}

void CheckKeptList(std::string_view bytes)
{
    const auto list = ReadKeptList(bytes);
    if (!list) return;
    FUZZ_CHECK_SAID(KeptListBytes(*list) == bytes, Shown(bytes));
    // What goes back to the server: whole header lines, nothing that would
    // start one of its own, and only a strong tag or a date.
    const std::string headers = ConditionalHeaders(*list);
    std::size_t start = 0;
    while (start < headers.size()) {
        const std::size_t end = headers.find("\r\n", start);
        FUZZ_CHECK_SAID(end != std::string::npos, Shown(headers));
        for (std::size_t i = start; i < end; ++i)
            FUZZ_CHECK_SAID(static_cast<unsigned char>(headers[i]) >= 0x20 && headers[i] != 0x7F, Shown(headers));
        const std::string line = headers.substr(start, end - start);
        if (line.starts_with("If-None-Match: ")) {
            FUZZ_CHECK_SAID(ReferenceStrongTag(line.substr(15)) && line.substr(15) == list->entityTag, Shown(line));
        } else {
            FUZZ_CHECK_SAID(line.starts_with("If-Modified-Since: ") && line.substr(19) == list->lastModified, Shown(line));
            FUZZ_CHECK_SAID(IsHttpDate(line.substr(19)), Shown(line));
        }
        start = end + 2;
    }
    // Stands in for the list from when it was kept, for a week and no more.
    FUZZ_CHECK(KeptListIsFresh(*list, list->keptAt));
    if (list->keptAt > 0) FUZZ_CHECK(!KeptListIsFresh(*list, list->keptAt - 1));
    if (list->keptAt <= UINT64_MAX - kLongestKeptSeconds - 1)
        FUZZ_CHECK(!KeptListIsFresh(*list, list->keptAt + kLongestKeptSeconds + 1));
}

void CheckInstallationSerial(std::string_view bytes)
{
    const auto serial = ReadInstallationSerial(bytes);
    if (!serial) return;
    FUZZ_CHECK_SAID(InstallationSerialBytes(*serial) == bytes, Shown(bytes));
    FUZZ_CHECK(*serial >= 1 && *serial <= tallowfin::kLargestListSerial);
}

// A journal is acted on only as it was written: read, it writes back to the
// very bytes, so no entry or count the reader made up is ever acted on.
void CheckJournal(std::string_view bytes)
{
    const auto journal = tallowfin::ReadJournal(bytes);
    if (!journal) return;
    FUZZ_CHECK_SAID(tallowfin::JournalBytes(*journal) == bytes, Shown(bytes));
}

std::string Sealed(std::string_view mark, std::uint32_t version, std::string_view body)
{
    RecordWriter writer(mark, version);
    writer.PutBytes(body);
    return std::move(writer).Seal();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckCache(bytes);
    CheckKeptList(bytes);
    CheckInstallationSerial(bytes);
    CheckCache(Sealed("TFDC", DigestCache::kFormatVersion, bytes));
    CheckKeptList(Sealed("TFKL", 2, bytes));
    CheckInstallationSerial(Sealed("TFSN", 1, bytes));
    CheckJournal(bytes);
    CheckJournal(Sealed("TFTJ", 1, bytes));

    // The validators: the input's text as it is, and dates written from it.
    CheckValidators(std::string(bytes.substr(0, 600)));
    FuzzedDataProvider choices(data, size);
    CheckWrittenDate(choices);
    return 0;
}
