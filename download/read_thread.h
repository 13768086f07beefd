// The thread that reads the worker's bodies, ahead of the worker, so that the
// worker can stop waiting for a read that does not come.
//
// Why a thread: under Wine a read of the library waits until its whole block
// has arrived (InternetReadFile, and InternetReadFileEx with IRF_NO_WAIT alike),
// and asking what has arrived gives 8 KiB at most, a third to a half of the
// rate large reads reach (bench/download-bench.sh prints both). Nor can a read
// in progress be cancelled: closing its handle from another thread leaves it
// waiting (measured). A transfer read in large blocks on the worker's own
// thread could be held for as long as a server takes to send a block, a byte
// a minute; read here, the worker judges the pace while it waits
// (transfer_pace.h) and gives up on a read that does not come. Reading ahead
// also lets the next blocks arrive while the worker writes one out; the
// thread is handed over a block only when one side waits for the other.
//
// Ownership: the worker owns this object; one body is read at a time, from
// Start to Finish. A read given up on is left to end on its own, on a thread
// that from then on touches nothing but its own buffers; the request it reads
// must then never be closed (the connection goes with the process), and the
// next body gets a new thread. Otherwise the thread serves body after body,
// and the destructor waits for it, which is never inside a read then.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "common/handle.h"
#include "download/internet.h"

namespace tallowfin {

class ReadThread {
public:
    // The largest read: under Wine a call costs about the same up to 16 KiB
    // and grows slowly after, so large reads are what reaches the line's rate.
    static constexpr std::uint32_t kLargestRead = 256 * 1024;
    // Blocks read ahead of the caller, the one it holds included.
    static constexpr std::size_t kBlocks = 4;

    using Clock = std::function<std::uint64_t()>;

    explicit ReadThread(InternetLayer& layer);
    ~ReadThread();
    ReadThread(const ReadThread&) = delete;
    ReadThread& operator=(const ReadThread&) = delete;

    // Starts reading `request`'s body, never asking for more than `limit`
    // bytes in all; each block is stamped by `clock` as it arrives. Throws
    // when no thread can be made.
    void Start(InternetLayer::Handle request, std::uint64_t limit, Clock clock);

    enum class Outcome { kRead, kFailed, kWaiting };
    struct Block {
        std::span<const char> bytes;  // none at the body's end
        std::uint64_t at = 0;         // the clock when it arrived
    };
    // Waits at most `waitMs` for the next block: kRead with it (valid until
    // the next call), kFailed with the library's error, or kWaiting while a
    // read goes on. The block of the call before is done with.
    Outcome Next(DWORD waitMs, Block& block, DWORD& error);

    // Ends the body's reading, waiting at most `waitMs` for a read under way.
    // False when it did not end: it is given up on (see above), and the
    // request must not be closed.
    bool Finish(DWORD waitMs) noexcept;

private:
    struct State;
    static DWORD WINAPI Run(void* parameter);

    InternetLayer& layer_;
    std::shared_ptr<State> state_;
    KernelHandle thread_;
};

}  // namespace tallowfin
