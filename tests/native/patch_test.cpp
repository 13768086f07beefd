// The patch maker and applier: round trips over random data and real
// executables, and the applier's refusals of patches that are damaged, made
// for another base, or claim more than they hold.
#include "common/md5.h"
#include "patch/apply.h"
#include "patch/make.h"
#include "patch/memory_io.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <new>
#include <random>
#include <sstream>

// Every allocation of this program through operator new, the largest one
// seen while the counter is armed: the applier must never size one by what
// a patch says.
namespace {
std::atomic<bool> gWatching{false};
std::atomic<std::size_t> gLargestAllocation{0};
}  // namespace

// These take their memory from malloc and give it back to free, which the
// compiler, seeing new and free meet once inlined, would warn of.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size)
{
    if (gWatching.load(std::memory_order_relaxed)) {
        std::size_t seen = gLargestAllocation.load(std::memory_order_relaxed);
        while (size > seen && !gLargestAllocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept { return operator new(size, nothrow); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace tallowfin::patch {
namespace {

std::string Random(std::size_t size, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

PatchDigests DigestsOf(std::string_view base, std::string_view result)
{
    PatchDigests digests;
    Md5 md5;
    md5.Update(base.data(), base.size());
    digests.baseMd5 = md5.Finish();
    md5.Update(result.data(), result.size());
    digests.resultMd5 = md5.Finish();
    return digests;
}

std::string AsciiUpperHex(std::string text)
{
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    return text;
}

std::string Make(std::string_view base, std::string_view result)
{
    return MakePatch(BytesOf(base), BytesOf(result), DigestsOf(base, result));
}

// An output that records what it takes and fails the test for any byte past
// the size the patch declares.
class CheckedOutput : public ResultOutput {
public:
    explicit CheckedOutput(std::uint64_t most) : most_(most) {}
    bool Write(const void* data, std::size_t size) override
    {
        EXPECT_LE(size, 64u * 1024) << "pieces stay small";
        EXPECT_LE(bytes.size() + size, most_) << "a write past the declared result";
        // What this output keeps is not the applier's allocation.
        const bool watching = gWatching.exchange(false);
        bytes.append(static_cast<const char*>(data), size);
        gWatching = watching;
        return true;
    }
    std::string bytes;

private:
    std::uint64_t most_;
};

struct Applied {
    ApplyResult result;
    std::string bytes;
    std::size_t largestAllocation = 0;
};

Applied Apply(std::string_view patch, std::string_view base, const ApplyOptions& options = {})
{
    const HeaderRead header = DecodeHeader(BytesOf(patch));
    CheckedOutput output(header.header ? std::min(header.header->resultSize, options.largestResult) : 0);
    MemoryPatchInput input(BytesOf(patch));
    MemoryBaseInput baseInput(BytesOf(base));
    gLargestAllocation = 0;
    gWatching = true;
    ApplyResult result = ApplyPatch(input, baseInput, output, options);
    gWatching = false;
    EXPECT_EQ(result.written, output.bytes.size());
    return {std::move(result), std::move(output.bytes), gLargestAllocation.load()};
}

// Each applies exactly; the patch is small where the files are alike.
TEST(PatchRoundTrip, RandomFilesWithEditsMovesAndNothingInCommon)
{
    const std::string base = Random(3 << 20, 1);
    std::string result = base;
    std::mt19937 random(2);
    // Single bytes changed every few hundred bytes: more records than one
    // section holds, and diff bytes over several sections.
    for (std::size_t at = 0; at < result.size(); at += 100 + random() % 400) result[at] = static_cast<char>(random());
    result.insert(500000, Random(70000, 3));                  // new bytes
    result.erase(1500000, 40000);                             // removed bytes
    result.append(base.substr(100000, 200000));               // a block copied from elsewhere
    result.replace(2000000, 300000, base.substr(0, 300000));  // a block moved back

    const std::vector<std::pair<std::string, std::string>> cases = {
        {base, result},
        {base, base},
        {"", Random(5000, 4)},
        {Random(5000, 5), ""},
        {"", ""},
        {Random(200000, 6), Random(200000, 7)},
        {std::string(2 << 20, '\0'), std::string(3 << 20, '\0') + "end"},
    };
    for (const auto& [from, to] : cases) {
        SCOPED_TRACE(std::to_string(from.size()) + " -> " + std::to_string(to.size()));
        const std::string patch = Make(from, to);
        const auto header = DecodeHeader(BytesOf(patch)).header;
        ASSERT_TRUE(header);
        EXPECT_EQ(PatchSizeOf(*header), patch.size());
        EXPECT_EQ(header->resultSize, to.size());
        // The digests as a list carries them, in text.
        const auto baseMd5 = Md5FromText(Md5Text(from)), resultMd5 = Md5FromText(AsciiUpperHex(Md5Text(to)));
        ASSERT_TRUE(baseMd5 && resultMd5);
        const Applied applied = Apply(patch, from, {to.size(), baseMd5, resultMd5});
        ASSERT_TRUE(applied.result.Applied()) << applied.result.detail;
        EXPECT_TRUE(applied.bytes == to);
        EXPECT_EQ(applied.result.resultMd5, DigestsOf(from, to).resultMd5);
        EXPECT_LE(applied.largestAllocation, std::size_t{1} << 20) << "buffers are fixed";
    }
    const std::string edited = Make(base, result);
    EXPECT_GT(DecodeHeader(BytesOf(edited)).header->sections, 3u);
    EXPECT_LT(edited.size(), result.size() / 10) << "alike files make a small patch";
    EXPECT_LT(Make(base, base).size(), base.size() / 500);
    for (const char* notDigest : {"", "0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdeg",
                                  "0123456789abcdef0123456789abcdef0"})
        EXPECT_FALSE(Md5FromText(notDigest)) << notDigest;
    Sha256Digest ones;
    ones.fill(0xFF);
    EXPECT_EQ(Sha256FromText(std::string(64, 'F')), ones);
}

std::string FileBytes(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST(PatchRoundTrip, RealExecutablesOfOneProgramBuiltTwice)
{
    // The same compiler driver built for two targets, and one library built
    // with 32-bit and 64-bit positions: what a new build of a program is.
    const std::vector<std::pair<const char*, const char*>> pairs = {
        {"/usr/bin/i686-w64-mingw32-gcc-posix", "/usr/bin/x86_64-w64-mingw32-gcc-posix"},
        {"/usr/lib/x86_64-linux-gnu/libdivsufsort.so.3", "/usr/lib/x86_64-linux-gnu/libdivsufsort64.so.3"},
    };
    for (const auto& [from, to] : pairs) {
        SCOPED_TRACE(to);
        const std::string base = FileBytes(from), result = FileBytes(to);
        ASSERT_GT(base.size(), 10000u);
        ASSERT_NE(base, result);
        const std::string patch = Make(base, result);
        const Applied applied = Apply(patch, base);
        ASSERT_TRUE(applied.result.Applied()) << applied.result.detail;
        EXPECT_TRUE(applied.bytes == result);
        EXPECT_LT(patch.size() * 2, result.size()) << "a patch the publisher would list";
    }
}

// A patch of one section written by hand: the records, diff and extra bytes
// as given, each compressed whole, and a header saying what the case needs.
struct Crafted {
    std::vector<ControlRecord> records;
    std::string diff, extra;
    std::string base, result;  // for the digests and the declared sizes
};

std::string Compressed(std::string_view bytes)
{
    uLongf size = compressBound(bytes.size());
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                        bytes.size(), 9),
              Z_OK);
    out.resize(size);
    return out;
}

std::string Craft(const Crafted& c, const std::function<void(PatchHeader&)>& change = {})
{
    std::string records;
    for (const auto& record : c.records) {
        const auto bytes = EncodeRecord(record);
        records.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    const std::string pieces[3] = {Compressed(records), Compressed(c.diff), Compressed(c.extra)};
    const PatchDigests digests = DigestsOf(c.base, c.result);
    PatchHeader header{1, c.base.size(), c.result.size(), pieces[0].size(), pieces[1].size(), pieces[2].size(),
                       digests.baseMd5, {}, digests.resultMd5, {}};
    if (change) change(header);
    const auto headerBytes = EncodeHeader(header);
    const auto section = EncodeSection({static_cast<std::uint32_t>(c.records.size()),
                                        static_cast<std::uint32_t>(pieces[0].size()),
                                        static_cast<std::uint32_t>(pieces[1].size()),
                                        static_cast<std::uint32_t>(pieces[2].size())});
    return std::string(headerBytes.begin(), headerBytes.end()) + std::string(section.begin(), section.end()) +
           pieces[0] + pieces[1] + pieces[2];
}

TEST(PatchApply, RefusesWhatAPatchCannotHonestlyDo)
{
    const std::string base = "0123456789";
    // The hand-made patch is right: "01234" with nothing added, "XY", then
    // "567" from the base after moving back two.
    const Crafted good{{{5, 2, -2}, {3, 0, 0}}, std::string(8, '\0'), "XY", base, "01234XY345"};
    ASSERT_TRUE(Apply(Craft(good), base).result.Applied());
    EXPECT_EQ(Apply(Craft(good), base).bytes, "01234XY345");

    struct Case {
        const char* what;
        Crafted patch;
        ApplyOutcome outcome;
        std::function<void(PatchHeader&)> change = {};
    };
    const std::uint64_t huge = std::uint64_t{1} << 62;
    const std::vector<Case> cases = {
        {"a read past the end of the base", {{{11, 0, 0}}, std::string(11, '\0'), "", base, std::string(11, 'x')},
         ApplyOutcome::Malformed},
        {"a move before the start", {{{2, 0, -3}, {1, 0, 0}}, std::string(3, '\0'), "", base, "012"}, ApplyOutcome::Malformed},
        {"a move past the end", {{{0, 0, 11}}, "", "", base, ""}, ApplyOutcome::Malformed},
        {"a diff count of 2^62", {{{huge, 0, 0}}, "", "", base, ""}, ApplyOutcome::Malformed},
        {"an extra count past the result", {{{0, huge, 0}}, "", "abc", base, "abc"}, ApplyOutcome::Malformed},
        {"more records than the result", {{{5, 0, 0}}, std::string(5, '\0'), "", base, "0123"}, ApplyOutcome::Malformed},
        {"fewer records than the result", {{{3, 0, 0}}, std::string(3, '\0'), "", base, "0123"}, ApplyOutcome::Malformed},
        {"diff bytes the records do not take", {{{3, 0, 0}}, std::string(4, '\0'), "", base, "012"}, ApplyOutcome::Malformed},
        {"extra bytes missing", {{{0, 3, 0}}, "", "ab", base, "abc"}, ApplyOutcome::Malformed},
        {"a result of another digest", {{{3, 0, 0}}, std::string(3, '\1'), "", base, "012"}, ApplyOutcome::ResultMismatch},
        {"a base of another size", {{{3, 0, 0}}, std::string(3, '\0'), "", base + "!", "012"}, ApplyOutcome::BaseMismatch},
        {"a result beyond the caller's limit", {{{3, 0, 0}}, std::string(3, '\0'), "", base, "012"}, ApplyOutcome::TooLarge,
         [&](PatchHeader& h) { h.resultSize = 2000; }},
        {"four billion sections claimed", {{{3, 0, 0}}, std::string(3, '\0'), "", base, "012"}, ApplyOutcome::Malformed,
         [&](PatchHeader& h) { h.sections = UINT32_MAX, h.controlBytes = huge, h.diffBytes = huge; }},
        {"streams smaller than their pieces", {{{3, 0, 0}}, std::string(3, '\0'), "", base, "012"},
         ApplyOutcome::Malformed, [&](PatchHeader& h) { h.diffBytes -= 1; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Applied applied = Apply(Craft(c.patch, c.change), base, {1000, std::nullopt, std::nullopt});
        EXPECT_EQ(applied.result.outcome, c.outcome) << applied.result.detail;
        EXPECT_FALSE(applied.result.detail.empty());
        EXPECT_LE(applied.largestAllocation, std::size_t{1} << 20) << "nothing sized by the patch";
    }
}

TEST(PatchApply, DamagedTruncatedOrForeignPatchesNeverApply)
{
    const std::string base = Random(150000, 8);
    std::string result = base;
    for (std::size_t at = 0; at < result.size(); at += 997) result[at] ^= 0x5A;
    result.insert(70000, "inserted text");
    const std::string patch = Make(base, result);
    const PatchDigests digests = DigestsOf(base, result);

    // Cut anywhere: never applied, never more than the result written.
    for (std::size_t size : {std::size_t{0}, std::size_t{7}, kHeaderSize - 1, kHeaderSize, kHeaderSize + 8,
                             patch.size() / 2, patch.size() - 1}) {
        const Applied applied = Apply(patch.substr(0, size), base);
        EXPECT_EQ(applied.result.outcome, ApplyOutcome::Malformed) << size << ": " << applied.result.detail;
    }
    EXPECT_EQ(Apply(patch + "x", base).result.outcome, ApplyOutcome::Malformed);
    // One byte changed anywhere: refused, or (where deflate ignores the bit,
    // as in the padding after a block) the very result.
    std::mt19937 random(9);
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
        std::string damaged = patch;
        const std::size_t at = i < 8 ? i : 8 + random() % (damaged.size() - 8);
        // The SHA-256 digests are the caller's to check; the applier has no use for them.
        if ((at >= 72 && at < 104) || (at >= 120 && at < kHeaderSize)) continue;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 + random() % 255));
        const Applied applied = Apply(damaged, base, {UINT64_MAX, digests.baseMd5, digests.resultMd5});
        if (applied.result.Applied()) EXPECT_TRUE(applied.bytes == result) << "byte " << at;
        else ++refused;
    }
    EXPECT_GT(refused, 150);
    // Another base: by its digest before a byte is read, by its size, or by
    // the result when only its content differs.
    const std::string other = Random(150000, 10);
    EXPECT_EQ(Apply(patch, other, {UINT64_MAX, DigestsOf(other, "").baseMd5, std::nullopt}).result.outcome,
              ApplyOutcome::BaseMismatch);
    EXPECT_EQ(Apply(patch, other.substr(1)).result.outcome, ApplyOutcome::BaseMismatch);
    EXPECT_EQ(Apply(patch, other).result.outcome, ApplyOutcome::ResultMismatch);
    EXPECT_EQ(Apply(patch, base, {UINT64_MAX, std::nullopt, DigestsOf(other, other).resultMd5}).result.outcome,
              ApplyOutcome::ResultMismatch);
    EXPECT_EQ(Apply(patch, base, {result.size() - 1, std::nullopt, std::nullopt}).result.outcome, ApplyOutcome::TooLarge);
}

// The caller's interfaces failing, or throwing: a clear outcome, no exception.
TEST(PatchApply, FailuresOfTheCallersFilesAreOutcomes)
{
    const std::string base = Random(300000, 11);
    const std::string result = base.substr(1000) + "tail";
    const std::string patch = Make(base, result);

    struct Failing : BaseInput, PatchInput, ResultOutput {
        std::string_view base, patch;
        std::size_t patchAt = 0, reads = 0;
        int failOn = 0;  // 1 base size, 2 base read, 3 patch read, 4 write, 5 write throws
        bool Size(std::uint64_t& size) override
        {
            size = base.size();
            return failOn != 1;
        }
        bool ReadAt(std::uint64_t offset, void* out, std::size_t size) override
        {
            std::memcpy(out, base.data() + offset, size);
            return failOn != 2;
        }
        bool Read(void* out, std::size_t size, std::size_t& got) override
        {
            got = std::min(size, patch.size() - patchAt);
            std::memcpy(out, patch.data() + patchAt, got);
            patchAt += got;
            return failOn != 3 || ++reads < 3;
        }
        bool Write(const void*, std::size_t) override
        {
            if (failOn == 5) throw std::runtime_error("disk full");
            return failOn != 4;
        }
    };
    const std::pair<int, ApplyOutcome> expected[] = {
        {0, ApplyOutcome::Applied},         {1, ApplyOutcome::BaseReadFailed}, {2, ApplyOutcome::BaseReadFailed},
        {3, ApplyOutcome::PatchReadFailed}, {4, ApplyOutcome::WriteFailed},    {5, ApplyOutcome::WriteFailed},
    };
    for (const auto& [failOn, outcome] : expected) {
        Failing files;
        files.base = base;
        files.patch = patch;
        files.failOn = failOn;
        const ApplyResult applied = ApplyPatch(files, files, files);
        EXPECT_EQ(applied.outcome, outcome) << failOn << ": " << applied.detail;
        EXPECT_STRNE(OutcomeName(applied.outcome), "unknown");
    }
}

}  // namespace
}  // namespace tallowfin::patch
