// How long a transfer may take. Without a bound a server (or whoever answers
// in its place) that sends a byte a minute holds the pass, and the updater
// with it, for as long as it likes. A transfer that ends on a bound fails
// like a cut one, and what it received is kept to be resumed by the next run
// (download/resume_rules.h), so a slow line still gets the file in the end.
// Plain values, tested natively; the worker reads the clock.
#pragma once

#include <cstdint>

namespace tallowfin {

// A transfer that moves fewer than this many bytes in any of its windows of
// this length fails: 1 KiB/s over 60 s. The system's own wait for the next
// bytes (the receive timeout) is the window too, so a connection that sends
// nothing at all fails in the same time.
inline constexpr std::uint64_t kPaceWindowMs = 60'000;
inline constexpr std::uint64_t kLeastBytesPerWindow = 60 * 1024;

// And one that takes longer than this for its bytes fails whatever its pace:
// ten minutes, and a second for every 16 KiB (a 128 kbit/s line). A 200 MB
// file has three and a half hours; the list (8 MiB at most) ten minutes and
// a half.
inline constexpr std::uint64_t kLongestTransferBaseMs = 10 * 60'000;
inline constexpr std::uint64_t kSlowestAverageBytesPerSecond = 16 * 1024;
std::uint64_t LongestTransferMs(std::uint64_t bytes);

// Progress is handed to the window at most this often (about two screen
// frames), and at the end of each file.
inline constexpr std::uint64_t kProgressIntervalMs = 30;

// The pace of one transfer of `bytes` bytes begun at `startMs` (any
// monotonic clock in milliseconds).
class TransferPace {
public:
    enum Verdict { kOnPace, kTooSlow, kTooLong };

    TransferPace(std::uint64_t startMs, std::uint64_t bytes);
    // After each read: `moved` bytes in all since the start. Once a bound is
    // passed the transfer is over; later calls say the same.
    Verdict Note(std::uint64_t nowMs, std::uint64_t moved);

private:
    std::uint64_t deadline_;
    std::uint64_t windowStart_;
    std::uint64_t windowMoved_ = 0;  // `moved` when the window began
    Verdict verdict_ = kOnPace;
};

}  // namespace tallowfin
