#include "download/read_thread.h"

#include <algorithm>
#include <vector>

#include "common/srw_exclusive.h"
#include "common/win_error.h"

namespace tallowfin {

namespace {

// Waits on `changed` until `done` holds or `until` (GetTickCount64) has
// passed; the lock is held on entry and on return.
template <class Done>
bool WaitUntil(SRWLOCK& lock, CONDITION_VARIABLE& changed, ULONGLONG until, Done done)
{
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= until) return false;
        SleepConditionVariableSRW(&changed, &lock, static_cast<DWORD>(std::min<ULONGLONG>(until - now, INFINITE - 1)), 0);
    }
    return true;
}

}  // namespace

// What the worker and the thread share; the thread holds it for as long as
// it runs, so that a read given up on still has its buffer.
struct ReadThread::State {
    explicit State(InternetLayer& reader) : layer(reader)
    {
        for (Slot& slot : slots) slot.bytes.resize(kLargestRead);
    }
    struct Slot {
        std::vector<char> bytes;
        std::uint32_t count = 0;
        std::uint64_t at = 0;
    };

    InternetLayer& layer;
    Slot slots[kBlocks];
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    // Guarded by the lock. Slots from `head` on, `filled` of them, hold
    // blocks the caller has not done with (the one it holds among them).
    Clock clock;
    InternetLayer::Handle request = nullptr;
    std::uint64_t left = 0;  // bytes the body may still be asked for
    bool active = false;     // between Start and Finish
    std::size_t head = 0, filled = 0;
    bool holding = false;  // the caller holds the block at head
    bool ended = false, failed = false;
    DWORD error = 0;
    bool reading = false;  // the thread is inside a read
    bool stop = false;     // the thread is to end (or was given up on)
};

ReadThread::ReadThread(InternetLayer& layer) : layer_(layer) {}

ReadThread::~ReadThread()
{
    Finish(0);
    if (!state_) return;
    {
        SrwExclusive guard(state_->lock);
        state_->stop = true;
        WakeAllConditionVariable(&state_->changed);
    }
    // Not inside a read (Finish saw to that): it ends at once.
    if (thread_) WaitForSingleObject(thread_.get(), INFINITE);
}

DWORD WINAPI ReadThread::Run(void* parameter)
{
    const std::unique_ptr<std::shared_ptr<State>> owned(static_cast<std::shared_ptr<State>*>(parameter));
    State& state = **owned;
    SrwExclusive guard(state.lock);
    for (;;) {
        while (!state.stop && !(state.active && !state.ended && !state.failed && state.filled < kBlocks))
            SleepConditionVariableSRW(&state.changed, &state.lock, INFINITE, 0);
        if (state.stop) return 0;
        State::Slot& slot = state.slots[(state.head + state.filled) % kBlocks];
        const InternetLayer::Handle request = state.request;
        const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(kLargestRead, state.left));
        state.reading = true;
        ReleaseSRWLockExclusive(&state.lock);
        std::uint32_t count = 0;
        const bool ok = state.layer.Read(request, slot.bytes.data(), size, count);
        const DWORD error = ok ? 0 : GetLastError();
        AcquireSRWLockExclusive(&state.lock);
        state.reading = false;
        // Given up on: nothing here is the worker's any more.
        if (state.stop) return 0;
        if (!ok) {
            state.failed = true;
            state.error = error;
        } else if (count == 0) {
            state.ended = true;
        } else {
            slot.count = count;
            slot.at = state.clock ? state.clock() : 0;
            ++state.filled;
            state.left -= std::min<std::uint64_t>(count, state.left);
            // All that may be asked for has come: whatever follows is not read.
            if (state.left == 0) state.ended = true;
        }
        WakeAllConditionVariable(&state.changed);
    }
}

void ReadThread::Start(InternetLayer::Handle request, std::uint64_t limit, Clock clock)
{
    if (!state_) {
        auto state = std::make_shared<State>(layer_);
        auto handedOver = std::make_unique<std::shared_ptr<State>>(state);
        thread_.reset(CreateThread(nullptr, 0, Run, handedOver.get(), 0, nullptr));
        if (!thread_) ThrowLastError("Starting the thread that reads the transfers");
        handedOver.release();  // the thread owns it now
        state_ = std::move(state);
    }
    SrwExclusive guard(state_->lock);
    state_->clock = std::move(clock);
    state_->request = request;
    state_->left = limit;
    state_->head = state_->filled = 0;
    state_->holding = state_->ended = state_->failed = false;
    state_->error = 0;
    state_->active = true;
    WakeAllConditionVariable(&state_->changed);
}

ReadThread::Outcome ReadThread::Next(DWORD waitMs, Block& block, DWORD& error)
{
    State& state = *state_;
    SrwExclusive guard(state.lock);
    if (state.holding) {
        state.holding = false;
        state.head = (state.head + 1) % kBlocks;
        --state.filled;
        WakeAllConditionVariable(&state.changed);
    }
    if (!WaitUntil(state.lock, state.changed, GetTickCount64() + waitMs,
                   [&] { return state.filled > 0 || state.ended || state.failed; }))
        return Outcome::kWaiting;
    if (state.filled > 0) {
        const State::Slot& slot = state.slots[state.head];
        state.holding = true;
        block = {std::span<const char>(slot.bytes.data(), slot.count), slot.at};
        return Outcome::kRead;
    }
    if (state.failed) {
        error = state.error;
        return Outcome::kFailed;
    }
    block = {};
    return Outcome::kRead;
}

bool ReadThread::Finish(DWORD waitMs) noexcept
{
    if (!state_) return true;
    {
        State& state = *state_;
        SrwExclusive guard(state.lock);
        state.active = false;
        if (WaitUntil(state.lock, state.changed, GetTickCount64() + waitMs, [&] { return !state.reading; })) {
            state.request = nullptr;
            state.clock = nullptr;
            return true;
        }
        state.stop = true;
        WakeAllConditionVariable(&state.changed);
    }
    // The thread ends when its read does; it holds what it needs.
    thread_.reset();
    state_.reset();
    return false;
}

}  // namespace tallowfin
