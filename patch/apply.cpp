#include "patch/apply.h"

#include "common/md5.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

namespace tallowfin::patch {

namespace {

constexpr std::size_t kInputBuffer = 64 * 1024;
constexpr std::size_t kBaseWindow = 64 * 1024;
constexpr std::size_t kOutputBuffer = 64 * 1024;

// How a step ended; the detail is made only on failure.
struct Failure {
    ApplyOutcome outcome;
    std::string detail;
};
using Step = std::optional<Failure>;

Failure Malformed(std::string detail) { return {ApplyOutcome::Malformed, std::move(detail)}; }

// The caller's interfaces, with an exception taken for a failure of that
// interface: none may cross into the caller of ApplyPatch.
bool ReadSome(PatchInput& input, void* buffer, std::size_t size, std::size_t& got)
{
    got = 0;
    try {
        return input.Read(buffer, size, got) && got <= size;
    } catch (...) {
        return false;
    }
}

bool ReadBase(BaseInput& base, std::uint64_t offset, void* buffer, std::size_t size)
{
    try {
        return base.ReadAt(offset, buffer, size);
    } catch (...) {
        return false;
    }
}

bool WriteOut(ResultOutput& output, const void* data, std::size_t size)
{
    try {
        return output.Write(data, size);
    } catch (...) {
        return false;
    }
}

// Exactly `size` bytes of the patch, for the headers. `what` names them for
// the message of a patch that ends first.
Step ReadExactly(PatchInput& input, std::uint8_t* buffer, std::size_t size, const char* what)
{
    for (std::size_t have = 0; have < size;) {
        std::size_t got = 0;
        if (!ReadSome(input, buffer + have, size - have, got)) return Failure{ApplyOutcome::PatchReadFailed, "the patch cannot be read"};
        if (got == 0) return Malformed(std::string("the patch ends inside ") + what);
        have += got;
    }
    return std::nullopt;
}

// One of the three compressed streams, continued piece by piece across the
// sections; every piece is read from the patch through one shared buffer.
class Stream {
public:
    explicit Stream(const char* name) : name_(name) {}
    ~Stream()
    {
        if (started_) inflateEnd(&z_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    Step Start()
    {
        // zlib takes at most its own state and a 32 KiB window, whatever the
        // stream's header asks for.
        const int status = inflateInit(&z_);
        if (status == Z_MEM_ERROR) return Failure{ApplyOutcome::NoMemory, "no memory for decompression"};
        if (status != Z_OK) return Malformed("decompression cannot start");
        started_ = true;
        return std::nullopt;
    }

    // The next piece of this stream: `bytes` of the patch, read into `buffer`.
    void BeginPiece(std::uint64_t bytes, std::uint8_t* buffer)
    {
        remaining_ = bytes;
        buffer_ = buffer;
        z_.next_in = buffer;
        z_.avail_in = 0;
    }

    // Exactly `size` bytes of the stream from the current piece.
    Step Pull(PatchInput& input, std::uint8_t* out, std::size_t size)
    {
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(size);
        while (z_.avail_out > 0) {
            if (ended_) return Malformed(std::string("the ") + name_ + " stream ends before its records do");
            if (z_.avail_in == 0) {
                if (remaining_ == 0) return Malformed(std::string("a piece of the ") + name_ + " stream is short");
                if (auto failed = Refill(input)) return failed;
            }
            if (auto failed = Inflate()) return failed;
        }
        return std::nullopt;
    }

    // The piece must end here: no byte of output left in it, every byte of
    // input used, and the stream complete exactly in the last section.
    Step EndPiece(PatchInput& input, bool last)
    {
        std::uint8_t probe = 0;
        while (!ended_ && (z_.avail_in > 0 || remaining_ > 0)) {
            if (z_.avail_in == 0)
                if (auto failed = Refill(input)) return failed;
            z_.next_out = &probe;
            z_.avail_out = 1;
            if (auto failed = Inflate()) return failed;
            if (z_.avail_out == 0)
                return Malformed(std::string("a piece of the ") + name_ + " stream holds more than its records take");
        }
        if (z_.avail_in > 0 || remaining_ > 0)
            return Malformed(std::string("bytes after the end of the ") + name_ + " stream");
        if (last && !ended_) return Malformed(std::string("the ") + name_ + " stream does not end with the last section");
        if (!last && ended_) return Malformed(std::string("the ") + name_ + " stream ends before the last section");
        return std::nullopt;
    }

private:
    Step Refill(PatchInput& input)
    {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kInputBuffer));
        std::size_t got = 0;
        if (!ReadSome(input, buffer_, want, got)) return Failure{ApplyOutcome::PatchReadFailed, "the patch cannot be read"};
        if (got == 0) return Malformed(std::string("the patch ends inside a piece of the ") + name_ + " stream");
        remaining_ -= got;
        z_.next_in = buffer_;
        z_.avail_in = static_cast<uInt>(got);
        return std::nullopt;
    }

    Step Inflate()
    {
        const int status = inflate(&z_, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            ended_ = true;
            return std::nullopt;
        }
        if (status == Z_MEM_ERROR) return Failure{ApplyOutcome::NoMemory, "no memory for decompression"};
        if (status == Z_OK) return std::nullopt;
        // Without input there is no progress to make; with input at hand and
        // room for output, none means the stream is stuck.
        if (status == Z_BUF_ERROR && z_.avail_in == 0) return std::nullopt;
        return Malformed(std::string("the ") + name_ + " stream is damaged" + (z_.msg ? std::string(" (") + z_.msg + ")" : ""));
    }

    const char* name_;
    z_stream z_{};
    bool started_ = false;
    bool ended_ = false;
    std::uint64_t remaining_ = 0;
    std::uint8_t* buffer_ = nullptr;
};

// A window of the base: reads near one another, as the records of a patch
// mostly are, are served from one read.
class BaseWindow {
public:
    BaseWindow(BaseInput& base, std::uint64_t size, std::uint8_t* buffer) : base_(base), size_(size), buffer_(buffer) {}

    // The bytes [offset, offset + count), count <= kBaseWindow, which the
    // caller has checked lie inside the base.
    const std::uint8_t* At(std::uint64_t offset, std::size_t count)
    {
        if (offset >= start_ && offset + count <= start_ + held_) return buffer_ + (offset - start_);
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBaseWindow, size_ - offset));
        held_ = 0;
        if (!ReadBase(base_, offset, buffer_, want)) return nullptr;
        start_ = offset;
        held_ = want;
        return buffer_;
    }

private:
    BaseInput& base_;
    std::uint64_t size_;
    std::uint8_t* buffer_;
    std::uint64_t start_ = 0;
    std::size_t held_ = 0;
};

// The result, gathered into pieces of kOutputBuffer and digested as written.
class Output {
public:
    // `handed` counts the bytes the caller's output has taken.
    Output(ResultOutput& output, std::uint8_t* buffer, std::uint64_t& handed)
        : output_(output), buffer_(buffer), handed_(handed)
    {
    }

    // Room for at least one byte.
    std::uint8_t* Space(std::size_t& room)
    {
        room = kOutputBuffer - used_;
        return buffer_ + used_;
    }
    Step Commit(std::size_t count)
    {
        used_ += count;
        written_ += count;
        return used_ == kOutputBuffer ? Flush() : std::nullopt;
    }
    Step Flush()
    {
        if (used_ == 0) return std::nullopt;
        md5_.Update(buffer_, used_);
        if (!WriteOut(output_, buffer_, used_)) return Failure{ApplyOutcome::WriteFailed, "the result cannot be written"};
        handed_ += used_;
        used_ = 0;
        return std::nullopt;
    }
    std::uint64_t Written() const { return written_; }
    Md5Digest Digest() { return md5_.Finish(); }

private:
    ResultOutput& output_;
    std::uint8_t* buffer_;
    std::uint64_t& handed_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
    Md5 md5_;
};

// Every buffer the applier uses, allocated once before the first section.
struct Buffers {
    std::unique_ptr<std::uint8_t[]> input = std::make_unique_for_overwrite<std::uint8_t[]>(kInputBuffer);
    std::unique_ptr<std::uint8_t[]> records =
        std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t{kMostRecordsPerSection} * kControlRecordSize);
    std::unique_ptr<std::uint8_t[]> diff = std::make_unique_for_overwrite<std::uint8_t[]>(kMostDiffBytesPerSection);
    std::unique_ptr<std::uint8_t[]> base = std::make_unique_for_overwrite<std::uint8_t[]>(kBaseWindow);
    std::unique_ptr<std::uint8_t[]> output = std::make_unique_for_overwrite<std::uint8_t[]>(kOutputBuffer);
};

class Applier {
public:
    Applier(PatchInput& patch, BaseInput& base, ResultOutput& result, const ApplyOptions& options)
        : patch_(patch), baseInput_(base), result_(result), options_(options)
    {
    }

    Step Run(ApplyResult& outcome)
    {
        std::array<std::uint8_t, kHeaderSize> headerBytes{};
        if (auto failed = ReadExactly(patch_, headerBytes.data(), headerBytes.size(), "its header")) return failed;
        const HeaderRead read = DecodeHeader(headerBytes);
        if (!read.header) return Malformed(read.problem);
        header_ = *read.header;
        if (header_.resultSize > options_.largestResult)
            return Failure{ApplyOutcome::TooLarge, "the result would be " + std::to_string(header_.resultSize) +
                                                       " bytes, more than " + std::to_string(options_.largestResult)};
        if (options_.baseMd5 && *options_.baseMd5 != header_.baseMd5)
            return Failure{ApplyOutcome::BaseMismatch, "the patch was made for a base of another digest"};
        if (options_.resultMd5 && *options_.resultMd5 != header_.resultMd5)
            return Failure{ApplyOutcome::ResultMismatch, "the patch makes a file of another digest"};
        std::uint64_t baseSize = 0;
        bool sized = false;
        try {
            sized = baseInput_.Size(baseSize);
        } catch (...) {
        }
        if (!sized) return Failure{ApplyOutcome::BaseReadFailed, "the size of the base cannot be read"};
        if (baseSize != header_.baseSize)
            return Failure{ApplyOutcome::BaseMismatch, "the base is " + std::to_string(baseSize) +
                                                           " bytes, the patch was made for one of " +
                                                           std::to_string(header_.baseSize)};

        Buffers buffers;
        Stream control("control"), diff("diff"), extra("extra");
        for (Stream* stream : {&control, &diff, &extra})
            if (auto failed = stream->Start()) return failed;
        BaseWindow window(baseInput_, baseSize, buffers.base.get());
        Output output(result_, buffers.output.get(), handed_);

        std::int64_t position = 0;  // in the base, kept within [0, baseSize]
        std::uint64_t controlBytes = 0, diffBytes = 0, extraBytes = 0;
        for (std::uint32_t s = 0; s < header_.sections; ++s) {
            const bool last = s + 1 == header_.sections;
            std::array<std::uint8_t, kSectionHeaderSize> sectionBytes{};
            if (auto failed = ReadExactly(patch_, sectionBytes.data(), sectionBytes.size(), "a section header"))
                return failed;
            const SectionHeader section = DecodeSection(sectionBytes);
            if (section.records == 0 || section.records > kMostRecordsPerSection)
                return Malformed("a section of " + std::to_string(section.records) + " records, not 1 to " +
                                 std::to_string(kMostRecordsPerSection));
            controlBytes += section.controlBytes;
            diffBytes += section.diffBytes;
            extraBytes += section.extraBytes;
            if (controlBytes > header_.controlBytes || diffBytes > header_.diffBytes || extraBytes > header_.extraBytes)
                return Malformed("the sections hold more than the streams the header declares");

            std::uint8_t* recordBytes = buffers.records.get();
            control.BeginPiece(section.controlBytes, buffers.input.get());
            if (auto failed = control.Pull(patch_, recordBytes, std::size_t{section.records} * kControlRecordSize))
                return failed;
            if (auto failed = control.EndPiece(patch_, last)) return failed;

            // The section's counts, checked before a byte of it is written.
            std::uint64_t sectionDiff = 0, sectionOutput = 0;
            for (std::uint32_t r = 0; r < section.records; ++r) {
                const ControlRecord record = RecordAt(recordBytes, r);
                if (record.diff > kMostDiffBytesPerSection - sectionDiff)
                    return Malformed("a section adds more than " + std::to_string(kMostDiffBytesPerSection) +
                                     " diff bytes");
                sectionDiff += record.diff;
                const std::uint64_t left = header_.resultSize - output.Written() - sectionOutput;
                if (record.diff > left || record.extra > left - record.diff)
                    return Malformed("the records make more than the declared result of " +
                                     std::to_string(header_.resultSize) + " bytes");
                sectionOutput += record.diff + record.extra;
            }
            diff.BeginPiece(section.diffBytes, buffers.input.get());
            if (auto failed = diff.Pull(patch_, buffers.diff.get(), static_cast<std::size_t>(sectionDiff))) return failed;
            if (auto failed = diff.EndPiece(patch_, last)) return failed;

            extra.BeginPiece(section.extraBytes, buffers.input.get());
            const std::uint8_t* diffAt = buffers.diff.get();
            for (std::uint32_t r = 0; r < section.records; ++r) {
                const ControlRecord record = RecordAt(recordBytes, r);
                if (record.diff > baseSize || static_cast<std::uint64_t>(position) > baseSize - record.diff)
                    return Malformed("a record reads past the end of the base");
                if (auto failed = Add(window, output, static_cast<std::uint64_t>(position), diffAt, record.diff))
                    return failed;
                diffAt += record.diff;
                if (auto failed = Copy(extra, output, record.extra)) return failed;
                // Moves stay within the base: a patch made from it never
                // needs a position outside it.
                const std::int64_t moved = position + static_cast<std::int64_t>(record.diff);
                if ((record.seek > 0 && record.seek > static_cast<std::int64_t>(baseSize) - moved) ||
                    (record.seek < 0 && record.seek < -moved))
                    return Malformed("a record moves outside the base");
                position = moved + record.seek;
            }
            if (auto failed = extra.EndPiece(patch_, last)) return failed;
        }
        if (controlBytes != header_.controlBytes || diffBytes != header_.diffBytes || extraBytes != header_.extraBytes)
            return Malformed("the sections hold less than the streams the header declares");
        if (output.Written() != header_.resultSize)
            return Malformed("the records make " + std::to_string(output.Written()) + " bytes, not the declared " +
                             std::to_string(header_.resultSize));
        std::uint8_t after = 0;
        std::size_t got = 0;
        if (!ReadSome(patch_, &after, 1, got)) return Failure{ApplyOutcome::PatchReadFailed, "the patch cannot be read"};
        if (got != 0) return Malformed("bytes after the last section");
        if (auto failed = output.Flush()) return failed;
        outcome.written = output.Written();
        outcome.resultMd5 = output.Digest();
        if (outcome.resultMd5 != header_.resultMd5)
            return Failure{ApplyOutcome::ResultMismatch,
                           "the result is not the file the patch names: the base is another file of the same size, or "
                           "the patch is damaged"};
        return std::nullopt;
    }

    std::uint64_t Handed() const { return handed_; }

private:
    static ControlRecord RecordAt(const std::uint8_t* records, std::uint32_t index)
    {
        return DecodeRecord(std::span<const std::uint8_t, kControlRecordSize>(records + std::size_t{index} * kControlRecordSize,
                                                                              kControlRecordSize));
    }

    // `count` bytes of the base from `from`, each plus its diff byte.
    Step Add(BaseWindow& window, Output& output, std::uint64_t from, const std::uint8_t* diff, std::uint64_t count)
    {
        while (count > 0) {
            std::size_t room = 0;
            std::uint8_t* out = output.Space(room);
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>({count, room, kBaseWindow}));
            const std::uint8_t* base = window.At(from, n);
            if (!base) return Failure{ApplyOutcome::BaseReadFailed, "the base cannot be read"};
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(base[i] + diff[i]);
            if (auto failed = output.Commit(n)) return failed;
            from += n;
            diff += n;
            count -= n;
        }
        return std::nullopt;
    }

    Step Copy(Stream& extra, Output& output, std::uint64_t count)
    {
        while (count > 0) {
            std::size_t room = 0;
            std::uint8_t* out = output.Space(room);
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, room));
            if (auto failed = extra.Pull(patch_, out, n)) return failed;
            if (auto failed = output.Commit(n)) return failed;
            count -= n;
        }
        return std::nullopt;
    }

    PatchInput& patch_;
    BaseInput& baseInput_;
    ResultOutput& result_;
    const ApplyOptions& options_;
    PatchHeader header_;
    std::uint64_t handed_ = 0;
};

}  // namespace

const char* OutcomeName(ApplyOutcome outcome)
{
    switch (outcome) {
    case ApplyOutcome::Applied: return "applied";
    case ApplyOutcome::Malformed: return "malformed patch";
    case ApplyOutcome::BaseMismatch: return "made for another base";
    case ApplyOutcome::ResultMismatch: return "not the listed result";
    case ApplyOutcome::TooLarge: return "result too large";
    case ApplyOutcome::BaseReadFailed: return "base unreadable";
    case ApplyOutcome::PatchReadFailed: return "patch unreadable";
    case ApplyOutcome::WriteFailed: return "result not written";
    case ApplyOutcome::NoMemory: return "no memory";
    }
    return "unknown";
}

ApplyResult ApplyPatch(PatchInput& patch, BaseInput& base, ResultOutput& result, const ApplyOptions& options) noexcept
{
    ApplyResult outcome;
    try {
        Applier applier(patch, base, result, options);
        Step failed = applier.Run(outcome);
        if (failed) {
            outcome.outcome = failed->outcome;
            outcome.detail = std::move(failed->detail);
            outcome.written = applier.Handed();
        } else {
            outcome.outcome = ApplyOutcome::Applied;
        }
    } catch (const std::bad_alloc&) {
        outcome = ApplyResult{ApplyOutcome::NoMemory, {}, 0, {}};
    } catch (...) {
        outcome = ApplyResult{ApplyOutcome::Malformed, {}, 0, {}};
    }
    return outcome;
}

}  // namespace tallowfin::patch
