// The applier against any bytes, and the maker and applier together.
//
// First byte, bit 0 clear: the rest is a base (its size in the next two
// bytes, little-endian) and a patch of any content. Whatever it says, the
// applier never writes past the result size it declares nor past the
// caller's limit, writes in pieces of at most 64 KiB, never allocates more
// than its fixed buffers, and a patch it applies gives the result its header
// names.
//
// Bit 0 set: the rest makes a base and, by copies, changes and insertions, a
// result; the maker's patch applies to exactly that result, and the same
// patch with one byte changed is refused or still gives exactly the result.
#include "common/md5.h"
#include "fuzz/fuzz_support.h"
#include "patch/apply.h"
#include "patch/make.h"
#include "patch/memory_io.h"

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <string>

namespace {

std::atomic<bool> gWatching{false};
std::atomic<std::size_t> gLargestAllocation{0};

// Every allocation the sanitizer's allocator makes, by operator new or by
// malloc (as zlib's are); the largest seen while the applier runs.
void SeeAllocation(const volatile void*, std::size_t size)
{
    if (!gWatching.load(std::memory_order_relaxed)) return;
    std::size_t seen = gLargestAllocation.load(std::memory_order_relaxed);
    while (size > seen && !gLargestAllocation.compare_exchange_weak(seen, size)) {
    }
}

void SeeRelease(const volatile void*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    __sanitizer_install_malloc_and_free_hooks(SeeAllocation, SeeRelease);
    return 0;
}

namespace {

using namespace tallowfin::patch;

// The applier's buffers come to about 1.3 MB, the largest of them 1 MiB.
constexpr std::size_t kLargestAllowedAllocation = std::size_t{1} << 20;

class CheckedOutput : public ResultOutput {
public:
    explicit CheckedOutput(std::uint64_t most) : most_(most) {}
    bool Write(const void* data, std::size_t size) override
    {
        FUZZ_CHECK(size > 0 && size <= 64 * 1024);
        FUZZ_CHECK_SAID(bytes.size() + size <= most_, "a write past " + std::to_string(most_) + " bytes");
        const bool watching = gWatching.exchange(false);
        bytes.append(static_cast<const char*>(data), size);
        gWatching = watching;
        return true;
    }
    std::string bytes;

private:
    std::uint64_t most_;
};

ApplyResult Apply(std::string_view patch, std::string_view base, const ApplyOptions& options, std::string& out)
{
    const HeaderRead header = DecodeHeader(BytesOf(patch));
    CheckedOutput output(header.header ? std::min(header.header->resultSize, options.largestResult) : 0);
    MemoryPatchInput input(BytesOf(patch));
    MemoryBaseInput baseInput(BytesOf(base));
    gLargestAllocation = 0;
    gWatching = true;
    const ApplyResult result = ApplyPatch(input, baseInput, output, options);
    gWatching = false;
    FUZZ_CHECK_SAID(gLargestAllocation <= kLargestAllowedAllocation,
                    "an allocation of " + std::to_string(gLargestAllocation.load()) + " bytes");
    FUZZ_CHECK(result.written == output.bytes.size());
    if (result.Applied()) {
        FUZZ_CHECK(header.header && output.bytes.size() == header.header->resultSize);
        FUZZ_CHECK(tallowfin::Md5Text(output.bytes) == tallowfin::DigestText(header.header->resultMd5));
        FUZZ_CHECK(result.resultMd5 == header.header->resultMd5);
    }
    out = std::move(output.bytes);
    return result;
}

Md5Digest Md5Of(std::string_view bytes)
{
    tallowfin::Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.Finish();
}

void AnyPatch(const std::uint8_t* bytes, std::size_t size, unsigned limitChoice)
{
    if (size < 2) return;
    const std::size_t baseSize = std::min<std::size_t>(bytes[0] | bytes[1] << 8, size - 2);
    const std::string_view base(reinterpret_cast<const char*>(bytes + 2), baseSize);
    const std::string_view patch(reinterpret_cast<const char*>(bytes + 2 + baseSize), size - 2 - baseSize);
    ApplyOptions options;
    // Sometimes a caller's limit, which must hold as well as the header's size.
    if (limitChoice == 1) options.largestResult = 100;
    if (limitChoice == 2) options.largestResult = 70000;
    std::string out;
    Apply(patch, base, options, out);
}

void MadePatch(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const std::string base = data.ConsumeRandomLengthString(6000);
    std::string result;
    // The result from pieces of the base, changed bytes and new bytes; a
    // repeat count makes results larger than the fuzzer's inputs.
    while (data.remaining_bytes() > 1 && result.size() < 40000) {
        switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            if (base.empty()) break;
            const std::size_t from = data.ConsumeIntegralInRange<std::size_t>(0, base.size() - 1);
            const std::size_t count = data.ConsumeIntegralInRange<std::size_t>(1, base.size() - from);
            result.append(base, from, count);
            break;
        }
        case 1:
            if (!result.empty()) result[data.ConsumeIntegralInRange<std::size_t>(0, result.size() - 1)] ^= 1 + data.ConsumeIntegral<std::uint8_t>() % 255;
            break;
        case 2: result += data.ConsumeRandomLengthString(200); break;
        case 3: {
            const std::string piece = result.substr(result.size() / 2);
            for (unsigned n = data.ConsumeIntegralInRange(1, 4); n > 0; --n) result += piece;
            break;
        }
        }
    }
    const PatchDigests digests{Md5Of(base), {}, Md5Of(result), {}};
    const std::string patch = MakePatch(BytesOf(base), BytesOf(result), digests);
    std::string out;
    const ApplyResult made = Apply(patch, base, {UINT64_MAX, digests.baseMd5, digests.resultMd5}, out);
    FUZZ_CHECK_SAID(made.Applied(), made.detail);
    FUZZ_CHECK(out == result);

    if (patch.empty()) return;
    std::string damaged = patch;
    const std::size_t at = data.ConsumeIntegralInRange<std::size_t>(0, damaged.size() - 1);
    damaged[at] = static_cast<char>(damaged[at] ^ (1 + data.ConsumeIntegral<std::uint8_t>() % 255));
    const ApplyResult again = Apply(damaged, base, {UINT64_MAX, digests.baseMd5, digests.resultMd5}, out);
    if (again.Applied()) FUZZ_CHECK_SAID(out == result, "a damaged patch applied to something else, byte " + std::to_string(at));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0) return 0;
    if (bytes[0] & 1) MadePatch(bytes + 1, size - 1);
    else AnyPatch(bytes + 1, size - 1, (bytes[0] >> 1) % 3);
    return 0;
}
