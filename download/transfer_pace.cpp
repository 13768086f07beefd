#include "download/transfer_pace.h"

namespace tallowfin {

std::uint64_t LongestTransferMs(std::uint64_t bytes)
{
    return kLongestTransferBaseMs + bytes / kSlowestAverageBytesPerSecond * 1000 +
           bytes % kSlowestAverageBytesPerSecond * 1000 / kSlowestAverageBytesPerSecond;
}

TransferPace::TransferPace(std::uint64_t startMs, std::uint64_t bytes)
    : deadline_(startMs + LongestTransferMs(bytes)), windowStart_(startMs)
{
}

TransferPace::Verdict TransferPace::Note(std::uint64_t nowMs, std::uint64_t moved)
{
    if (verdict_ != kOnPace) return verdict_;
    // A clock that went back (it should not) starts nothing over.
    if (nowMs < windowStart_) nowMs = windowStart_;
    if (nowMs > deadline_) return verdict_ = kTooLong;
    // Windows follow one another from the start: each must carry its share.
    // A read that returns after more than a window (the receive timeout is
    // one) is judged against its whole wait.
    if (nowMs - windowStart_ >= kPaceWindowMs) {
        const std::uint64_t windows = (nowMs - windowStart_) / kPaceWindowMs;
        if (moved - windowMoved_ < windows * kLeastBytesPerWindow) return verdict_ = kTooSlow;
        windowStart_ += windows * kPaceWindowMs;
        windowMoved_ = moved;
    }
    return kOnPace;
}

}  // namespace tallowfin
