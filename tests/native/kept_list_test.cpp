// The kept list's file and the conditional request made from it; and the
// hashing pool that reads the files the cache cannot answer for.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "digestcache/hashing_pool.h"
#include "download/kept_list.h"

namespace tallowfin {
namespace {

const KeptList kList{"http://update.tallowfin.example/software/Tallowfin/filelist.xml", "\"5f3a-1e2b\"",
                     "Tue, 08 Dec 2026 09:00:00 GMT", "<?xml version=\"1.0\"?>\n<filelist/>\n"};

TEST(KeptList, ReadsBackWhatItWroteAndNothingDamaged)
{
    const std::string bytes = KeptListBytes(kList);
    EXPECT_EQ(ReadKeptList(bytes), kList);
    const KeptList empty{};
    EXPECT_EQ(ReadKeptList(KeptListBytes(empty)), empty);
    // The seal is the digest cache's, tried byte by byte there.
    EXPECT_EQ(ReadKeptList(bytes.substr(0, bytes.size() - 1)), std::nullopt);
    std::string flipped = bytes;
    flipped[bytes.size() / 2] ^= 0x04;
    EXPECT_EQ(ReadKeptList(flipped), std::nullopt);
    KeptList tooLong = kList;
    tooLong.entityTag.assign(kLongestValidator + 1, 'e');
    EXPECT_EQ(ReadKeptList(KeptListBytes(tooLong)), std::nullopt);
}

TEST(KeptList, AsksWithWhatTheServerSaidWhenItCanGoBackAsItCame)
{
    EXPECT_EQ(ConditionalHeaders(kList),
              "If-None-Match: \"5f3a-1e2b\"\r\nIf-Modified-Since: Tue, 08 Dec 2026 09:00:00 GMT\r\n");
    KeptList onlyTag = kList;
    onlyTag.lastModified.clear();
    EXPECT_EQ(ConditionalHeaders(onlyTag), "If-None-Match: \"5f3a-1e2b\"\r\n");
    KeptList onlyDate = kList;
    onlyDate.entityTag = "W/\"weak\"\r\nX-Injected: 1";  // a line break would start a header of its own
    EXPECT_EQ(ConditionalHeaders(onlyDate), "If-Modified-Since: Tue, 08 Dec 2026 09:00:00 GMT\r\n");
    for (const std::string& bad : std::vector<std::string>{"", "a\nb", "\"\xC7\xD1\"", "tab\there", std::string(kLongestValidator + 1, 'x')})
        EXPECT_FALSE(IsSendableValidator(bad)) << bad;
    EXPECT_TRUE(IsSendableValidator(std::string(kLongestValidator, '~')));
    EXPECT_EQ(ConditionalHeaders(KeptList{}), "");
}

// ---- The hashing pool -----------------------------------------------------------

TEST(HashingPool, OneThreadPerProcessorUpToEightOnlyWithoutSeekPenalty)
{
    EXPECT_EQ(HashingThreads(2, 1000, true), 2u);
    EXPECT_EQ(HashingThreads(64, 1000, true), 8u);
    EXPECT_EQ(HashingThreads(4, 3, true), 3u);
    EXPECT_EQ(HashingThreads(8, 1000, false), 1u) << "a disk that pays for seeks, or cannot tell";
}

TEST(HashingPool, EveryTaskRunsOnceAndItsErrorStaysInItsPlace)
{
    for (unsigned threads : {1u, 2u, 8u, 50u}) {
        std::vector<std::atomic<int>> runs(997);
        std::mutex mutex;
        std::set<std::thread::id> workers;
        const auto errors = RunTasks(runs.size(), threads, [&](std::size_t i) {
            {
                std::lock_guard lock(mutex);
                workers.insert(std::this_thread::get_id());
            }
            ++runs[i];
            if (i % 10 == 3) throw std::runtime_error("task " + std::to_string(i));
        });
        ASSERT_EQ(errors.size(), runs.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i], 1) << i;
            EXPECT_EQ(errors[i] != nullptr, i % 10 == 3) << i;
        }
        try {
            std::rethrow_exception(errors[13]);
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "task 13");
        }
        EXPECT_LE(workers.size(), threads);
    }
    EXPECT_TRUE(RunTasks(0, 4, [](std::size_t) { FAIL(); }).empty());
    // One thread: the caller, in order.
    std::vector<std::size_t> order;
    RunTasks(3, 1, [&](std::size_t i) { order.push_back(i); });
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2}));
}

}  // namespace
}  // namespace tallowfin
