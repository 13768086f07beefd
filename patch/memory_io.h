// The applier's interfaces over bytes in memory: for the publishing tool's
// checks, the tests and the fuzz target.
#pragma once

#include "patch/apply.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>

namespace tallowfin::patch {

class MemoryPatchInput : public PatchInput {
public:
    explicit MemoryPatchInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool Read(void* buffer, std::size_t size, std::size_t& got) override
    {
        got = std::min(size, bytes_.size() - at_);
        if (got > 0) std::memcpy(buffer, bytes_.data() + at_, got);
        at_ += got;
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

class MemoryBaseInput : public BaseInput {
public:
    explicit MemoryBaseInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool Size(std::uint64_t& size) override
    {
        size = bytes_.size();
        return true;
    }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override
    {
        if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
        if (size > 0) std::memcpy(buffer, bytes_.data() + offset, size);
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

class StringOutput : public ResultOutput {
public:
    bool Write(const void* data, std::size_t size) override
    {
        bytes.append(static_cast<const char*>(data), size);
        return true;
    }
    std::string bytes;
};

inline std::span<const std::uint8_t> BytesOf(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace tallowfin::patch
