// The readers of the files the updater keeps between runs: the digest cache
// and the kept list. Whatever the bytes, a reader either refuses them whole
// or accepts something that writes back as it was read. The input is tried
// as it is, and sealed as a writer would seal it, so that the fuzzer reaches
// the fields behind the digest that guards them.
#include "common/sealed_record.h"
#include "digestcache/digest_cache.h"
#include "download/kept_list.h"
#include "fuzz/fuzz_support.h"

#include <cstdint>
#include <string>
#include <string_view>

using tallowfin::ConditionalHeaders;
using tallowfin::DigestCache;
using tallowfin::KeptListBytes;
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

void CheckKeptList(std::string_view bytes)
{
    const auto list = ReadKeptList(bytes);
    if (!list) return;
    FUZZ_CHECK_SAID(KeptListBytes(*list) == bytes, Shown(bytes));
    // What goes back to the server: whole header lines, nothing that would
    // start one of its own.
    const std::string headers = ConditionalHeaders(*list);
    std::size_t start = 0;
    while (start < headers.size()) {
        const std::size_t end = headers.find("\r\n", start);
        FUZZ_CHECK_SAID(end != std::string::npos, Shown(headers));
        for (std::size_t i = start; i < end; ++i)
            FUZZ_CHECK_SAID(static_cast<unsigned char>(headers[i]) >= 0x20 && headers[i] != 0x7F, Shown(headers));
        start = end + 2;
    }
}

std::string Sealed(std::string_view mark, std::string_view body)
{
    RecordWriter writer(mark, 1);
    writer.PutBytes(body);
    return std::move(writer).Seal();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckCache(bytes);
    CheckKeptList(bytes);
    CheckCache(Sealed("TFDC", bytes));
    CheckKeptList(Sealed("TFKL", bytes));
    return 0;
}
