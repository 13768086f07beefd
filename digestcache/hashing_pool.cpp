#include "digestcache/hashing_pool.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "common/system_thread.h"

namespace tallowfin {

namespace {

constexpr unsigned kMostThreads = 8;
constexpr unsigned kLeastThreadsUnknown = 2;

}  // namespace

unsigned HashingThreads(unsigned processors, std::size_t files, SeekPenalty penalty)
{
    if (penalty == SeekPenalty::kSome || files <= 1) return 1;
    unsigned wanted = std::clamp(processors, 1u, kMostThreads);
    // One processor still gains from a second thread: one reads while the
    // other hashes.
    if (penalty == SeekPenalty::kUnknown) wanted = std::max(wanted, kLeastThreadsUnknown);
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
    // Threads of the system's own: their join cannot fail, so no thread
    // fault ends the updater in the middle of reading the installation.
    std::vector<std::unique_ptr<SystemThread>> helpers;
    const std::size_t total = std::min<std::size_t>(std::max(threads, 1u), count);
    try {
        for (std::size_t i = 1; i < total; ++i) helpers.push_back(std::make_unique<SystemThread>(work));
    } catch (...) {
        // A thread that cannot be made leaves its share to the others.
    }
    work();
    helpers.clear();  // each waits for its thread
    return errors;
}

}  // namespace tallowfin
