// The shape of the small files the updater keeps for itself between runs: a
// four-byte mark, a format version, fields in little-endian order, and the
// MD5 digest of all that as the last 16 bytes. A file cut short, written by
// something else, of another version or changed by a single bit reads as
// nothing, so a damaged file is never taken for a good one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/md5.h"

namespace tallowfin {

class RecordWriter {
public:
    RecordWriter(std::string_view mark, std::uint32_t version)
    {
        bytes_.append(mark.substr(0, 4));
        Put(version, 4);
    }

    void Put(std::uint64_t value, int width)
    {
        for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    void PutBytes(std::string_view bytes) { bytes_.append(bytes); }
    // A text of up to 2^32 - 1 bytes, its length first.
    void PutText(std::string_view text)
    {
        Put(text.size(), 4);
        PutBytes(text);
    }

    // The record with its digest appended.
    std::string Seal() &&
    {
        const Md5Digest digest = [&] {
            Md5 md5;
            md5.Update(bytes_.data(), bytes_.size());
            return md5.Finish();
        }();
        bytes_.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        return std::move(bytes_);
    }

private:
    std::string bytes_;
};

// Reads the fields of a sealed record in order. Every read past the end
// fails the reader for good; Done() says whether all went well and every
// byte was taken.
class RecordReader {
public:
    // Nothing to read unless the mark, the version and the digest all match.
    static std::optional<RecordReader> Open(std::string_view bytes, std::string_view mark, std::uint32_t version)
    {
        constexpr std::size_t kDigest = 16;
        if (bytes.size() < 8 + kDigest || bytes.substr(0, 4) != mark.substr(0, 4)) return std::nullopt;
        const std::string_view body = bytes.substr(0, bytes.size() - kDigest);
        Md5 md5;
        md5.Update(body.data(), body.size());
        const Md5Digest digest = md5.Finish();
        if (bytes.substr(body.size()) != std::string_view(reinterpret_cast<const char*>(digest.data()), kDigest))
            return std::nullopt;
        RecordReader reader(body.substr(4));
        if (reader.Get(4) != version) return std::nullopt;
        return reader;
    }

    std::uint64_t Get(int width)
    {
        if (!Has(static_cast<std::size_t>(width))) return 0;
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i) value |= std::uint64_t{static_cast<unsigned char>(rest_[i])} << (8 * i);
        rest_.remove_prefix(static_cast<std::size_t>(width));
        return value;
    }
    std::string_view GetBytes(std::size_t size)
    {
        if (!Has(size)) return {};
        const std::string_view taken = rest_.substr(0, size);
        rest_.remove_prefix(size);
        return taken;
    }
    // A text written by PutText, refused when longer than `largest`.
    std::string_view GetText(std::size_t largest)
    {
        const std::uint64_t size = Get(4);
        if (size > largest) failed_ = true;
        return failed_ ? std::string_view() : GetBytes(static_cast<std::size_t>(size));
    }

    void Fail() { failed_ = true; }
    bool Failed() const { return failed_; }
    bool Done() const { return !failed_ && rest_.empty(); }
    std::size_t Left() const { return rest_.size(); }

private:
    explicit RecordReader(std::string_view rest) : rest_(rest) {}
    bool Has(std::size_t size)
    {
        if (failed_ || rest_.size() < size) failed_ = true;
        return !failed_;
    }

    std::string_view rest_;
    bool failed_ = false;
};

}  // namespace tallowfin
