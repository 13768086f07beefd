#include "control/hashing_pool.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace tallowfin {

namespace {

constexpr unsigned kMostThreads = 8;

}  // namespace

unsigned HashingThreads(unsigned processors, std::size_t files, bool withoutSeekPenalty)
{
    if (!withoutSeekPenalty || files <= 1) return 1;
    const unsigned wanted = std::clamp(processors, 1u, kMostThreads);
    return static_cast<unsigned>(std::min<std::size_t>(wanted, files));
}

std::vector<std::exception_ptr> RunTasks(std::size_t count, unsigned threads,
                                         const std::function<void(std::size_t)>& task)
{
    std::vector<std::exception_ptr> errors(count);
    std::atomic<std::size_t> next{0};
    // Each thread takes the next file as it becomes free: files differ in
    // size by orders of magnitude, so an even split would leave threads idle.
    auto work = [&] {
        for (std::size_t i = next++; i < count; i = next++) {
            try {
                task(i);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t total = std::min<std::size_t>(std::max(threads, 1u), count);
    try {
        for (std::size_t i = 1; i < total; ++i) helpers.emplace_back(work);
    } catch (...) {
        // A thread that cannot be made leaves its share to the others.
    }
    work();
    for (auto& helper : helpers) helper.join();
    return errors;
}

}  // namespace tallowfin
