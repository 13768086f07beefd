#include "patch/make.h"

#include <divsufsort.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace tallowfin::patch {

namespace {

using Bytes = std::span<const std::uint8_t>;

// The maker's own cut of the streams: the applier bounds the diff bytes of a
// section, and extra bytes are cut as finely so that no piece's size comes
// near the 32 bits a section header gives it.
constexpr std::uint64_t kMostExtraBytesPerSection = kMostDiffBytesPerSection;

// How often the progress is told, in bytes of the result.
constexpr std::int64_t kProgressStep = 1 << 20;

std::int64_t MatchLength(const std::uint8_t* a, std::int64_t aSize, const std::uint8_t* b, std::int64_t bSize)
{
    const std::int64_t most = std::min(aSize, bSize);
    std::int64_t i = 0;
    while (i < most && a[i] == b[i]) ++i;
    return i;
}

struct Match {
    std::int64_t length = 0;
    std::int64_t position = 0;
};

// The longest match of `target` at the start of a suffix of `base`, by binary
// search over the sorted suffixes.
Match LongestMatch(const std::vector<saidx_t>& suffixes, Bytes base, const std::uint8_t* target, std::int64_t targetSize)
{
    const auto baseSize = static_cast<std::int64_t>(base.size());
    std::int64_t low = 0, high = baseSize - 1;
    while (high - low >= 2) {
        const std::int64_t middle = low + (high - low) / 2;
        const std::int64_t at = suffixes[static_cast<std::size_t>(middle)];
        const auto count = static_cast<std::size_t>(std::min(baseSize - at, targetSize));
        // A suffix that is a prefix of the target sorts before it: taken for
        // equal, a run of zeros would lead the search to the shortest suffix
        // and the matching would advance two bytes at a time.
        // Compared to the first difference only (a sanitizer's memcmp reads
        // all `count` bytes, which makes the search quadratic).
        const std::uint8_t* const suffix = base.data() + at;
        const auto differ = std::mismatch(suffix, suffix + count, target).first;
        const bool before = differ == suffix + count ? baseSize - at < targetSize : *differ < target[differ - suffix];
        if (before) low = middle;
        else high = middle;
    }
    const std::int64_t lowAt = suffixes[static_cast<std::size_t>(low)];
    const std::int64_t highAt = suffixes[static_cast<std::size_t>(high)];
    const std::int64_t lowLength = MatchLength(base.data() + lowAt, baseSize - lowAt, target, targetSize);
    const std::int64_t highLength = MatchLength(base.data() + highAt, baseSize - highAt, target, targetSize);
    return lowLength > highLength ? Match{lowLength, lowAt} : Match{highLength, highAt};
}

// The three streams before compression.
struct Streams {
    std::vector<ControlRecord> records;
    std::vector<std::uint8_t> diff;
    std::vector<std::uint8_t> extra;
};

Streams StreamsOf(Bytes base, Bytes result, const MakeProgress& progress)
{
    const auto baseSize = static_cast<std::int64_t>(base.size());
    const auto resultSize = static_cast<std::int64_t>(result.size());
    std::vector<saidx_t> suffixes(base.size());
    if (baseSize > 0 && divsufsort(base.data(), suffixes.data(), static_cast<saidx_t>(baseSize)) != 0)
        throw std::runtime_error("the suffix sort failed");
    const std::uint8_t* const old = base.data();
    const std::uint8_t* const now = result.data();
    auto same = [&](std::int64_t basePosition, std::int64_t resultPosition) {
        return basePosition >= 0 && basePosition < baseSize && old[basePosition] == now[resultPosition];
    };

    Streams streams;
    std::int64_t scan = 0, length = 0, position = 0, lastScan = 0, lastPosition = 0, lastOffset = 0;
    std::int64_t nextProgress = kProgressStep;
    while (scan < resultSize) {
        // Past the region the last match covers, look for a match that is
        // not just the last one continued: either exact, or more than 8
        // bytes better than what the last offset gives.
        std::int64_t oldScore = 0;
        std::int64_t scored = scan += length;
        for (; scan < resultSize; ++scan) {
            const Match match = baseSize > 0 ? LongestMatch(suffixes, base, now + scan, resultSize - scan) : Match{};
            length = match.length;
            position = match.position;
            for (; scored < scan + length; ++scored)
                if (same(scored + lastOffset, scored)) ++oldScore;
            if ((length == oldScore && length != 0) || length > oldScore + 8) break;
            if (same(scan + lastOffset, scan)) --oldScore;
        }
        if (length == oldScore && scan != resultSize) continue;

        // The last match extended forwards, this one backwards, as far as
        // at least half the bytes agree; where they overlap, cut where the
        // two agree best.
        std::int64_t forward = 0;
        for (std::int64_t i = 0, agree = 0, best = 0; lastScan + i < scan && lastPosition + i < baseSize;) {
            if (old[lastPosition + i] == now[lastScan + i]) ++agree;
            ++i;
            if (agree * 2 - i > best * 2 - forward) best = agree, forward = i;
        }
        std::int64_t backward = 0;
        if (scan < resultSize) {
            for (std::int64_t i = 1, agree = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
                if (old[position - i] == now[scan - i]) ++agree;
                if (agree * 2 - i > best * 2 - backward) best = agree, backward = i;
            }
        }
        if (lastScan + forward > scan - backward) {
            const std::int64_t overlap = (lastScan + forward) - (scan - backward);
            std::int64_t agree = 0, best = 0, cut = 0;
            for (std::int64_t i = 0; i < overlap; ++i) {
                if (now[lastScan + forward - overlap + i] == old[lastPosition + forward - overlap + i]) ++agree;
                if (now[scan - backward + i] == old[position - backward + i]) --agree;
                if (agree > best) best = agree, cut = i + 1;
            }
            forward += cut - overlap;
            backward -= cut;
        }

        for (std::int64_t i = 0; i < forward; ++i)
            streams.diff.push_back(static_cast<std::uint8_t>(now[lastScan + i] - old[lastPosition + i]));
        const std::int64_t extra = (scan - backward) - (lastScan + forward);
        streams.extra.insert(streams.extra.end(), now + lastScan + forward, now + lastScan + forward + extra);
        streams.records.push_back({static_cast<std::uint64_t>(forward), static_cast<std::uint64_t>(extra),
                                   (position - backward) - (lastPosition + forward)});
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
        if (progress && scan >= nextProgress) {
            progress(static_cast<std::uint64_t>(scan), static_cast<std::uint64_t>(resultSize));
            nextProgress = scan + kProgressStep;
        }
    }
    // Even an empty result has a record: every section has one.
    if (streams.records.empty()) streams.records.push_back({});
    return streams;
}

struct Section {
    std::vector<ControlRecord> records;
    std::uint64_t diff = 0;
    std::uint64_t extra = 0;
};

// The records cut into sections, a record split where it does not fit: its
// diff bytes first, then its extra bytes, the move at its last part.
std::vector<Section> Sections(const std::vector<ControlRecord>& records)
{
    std::vector<Section> sections(1);
    for (ControlRecord record : records) {
        for (;;) {
            Section& section = sections.back();
            if (section.records.size() < kMostRecordsPerSection) {
                const std::uint64_t diffRoom = kMostDiffBytesPerSection - section.diff;
                const std::uint64_t extraRoom = kMostExtraBytesPerSection - section.extra;
                if (record.diff <= diffRoom && record.extra <= extraRoom) {
                    section.records.push_back(record);
                    section.diff += record.diff;
                    section.extra += record.extra;
                    break;
                }
                const std::uint64_t diff = std::min(record.diff, diffRoom);
                const std::uint64_t extra = diff == record.diff ? std::min(record.extra, extraRoom) : 0;
                if (diff > 0 || extra > 0) {
                    section.records.push_back({diff, extra, 0});
                    section.diff += diff;
                    section.extra += extra;
                    record.diff -= diff;
                    record.extra -= extra;
                }
            }
            sections.emplace_back();
        }
    }
    return sections;
}

// One stream compressed piece by piece: every piece but the last ends with a
// flush, so the applier gets all of a piece's bytes from the piece alone.
class Deflater {
public:
    Deflater()
    {
        if (deflateInit2(&z_, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("zlib cannot start compressing");
    }
    ~Deflater() { deflateEnd(&z_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    std::string Piece(const std::uint8_t* data, std::size_t size, bool last)
    {
        std::string piece;
        if (size == 0 && !last) return piece;
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(size);
        const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            std::uint8_t chunk[1 << 14];
            z_.next_out = chunk;
            z_.avail_out = sizeof chunk;
            const int status = deflate(&z_, flush);
            if (status == Z_STREAM_ERROR) throw std::runtime_error("zlib failed while compressing");
            piece.append(reinterpret_cast<const char*>(chunk), sizeof chunk - z_.avail_out);
            if (last ? status == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0)) break;
        }
        return piece;
    }

private:
    z_stream z_{};
};

template <class T>
T Fits32(std::size_t size)
{
    if (size > UINT32_MAX) throw std::length_error("a piece of a stream beyond 32 bits");
    return static_cast<T>(size);
}

}  // namespace

std::string MakePatch(Bytes base, Bytes result, const PatchDigests& digests, const MakeProgress& progress)
{
    if (base.size() > kLargestMakerBase) throw std::length_error("the base is too large to diff");
    const Streams streams = StreamsOf(base, result, progress);
    const std::vector<Section> sections = Sections(streams.records);

    PatchHeader header;
    header.sections = Fits32<std::uint32_t>(sections.size());
    header.baseSize = base.size();
    header.resultSize = result.size();
    header.baseMd5 = digests.baseMd5;
    header.baseSha256 = digests.baseSha256;
    header.resultMd5 = digests.resultMd5;
    header.resultSha256 = digests.resultSha256;

    Deflater control, diff, extra;
    std::string body;
    std::size_t diffAt = 0, extraAt = 0;
    for (std::size_t s = 0; s < sections.size(); ++s) {
        const Section& section = sections[s];
        const bool last = s + 1 == sections.size();
        std::string records;
        for (const ControlRecord& record : section.records) {
            const auto bytes = EncodeRecord(record);
            records.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        const std::string controlPiece =
            control.Piece(reinterpret_cast<const std::uint8_t*>(records.data()), records.size(), last);
        const std::string diffPiece = diff.Piece(streams.diff.data() + diffAt, section.diff, last);
        const std::string extraPiece = extra.Piece(streams.extra.data() + extraAt, section.extra, last);
        diffAt += section.diff;
        extraAt += section.extra;
        const SectionHeader sectionHeader{Fits32<std::uint32_t>(section.records.size()),
                                          Fits32<std::uint32_t>(controlPiece.size()),
                                          Fits32<std::uint32_t>(diffPiece.size()),
                                          Fits32<std::uint32_t>(extraPiece.size())};
        const auto sectionBytes = EncodeSection(sectionHeader);
        body.append(reinterpret_cast<const char*>(sectionBytes.data()), sectionBytes.size());
        body += controlPiece;
        body += diffPiece;
        body += extraPiece;
        header.controlBytes += controlPiece.size();
        header.diffBytes += diffPiece.size();
        header.extraBytes += extraPiece.size();
    }
    const auto headerBytes = EncodeHeader(header);
    return std::string(reinterpret_cast<const char*>(headerBytes.data()), headerBytes.size()) + body;
}

}  // namespace tallowfin::patch
