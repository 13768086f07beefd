// The kept list's file and the conditional request made from it; and the
// hashing pool that reads the files the cache cannot answer for.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "common/sealed_record.h"
#include "digestcache/hashing_pool.h"
#include "download/kept_list.h"

namespace tallowfin {
namespace {

const KeptList kList{"http://update.tallowfin.example/software/Tallowfin/filelist.xml", "\"5f3a-1e2b\"",
                     "Tue, 08 Dec 2026 09:00:00 GMT", "<?xml version=\"1.0\"?>\n<filelist/>\n", 1796720000};

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
    // A copy kept by an updater before the time was kept with it: ignored,
    // so the list is fetched whole once.
    RecordWriter first("TFKL", 1);
    for (const std::string& field : {kList.url, kList.entityTag, kList.lastModified, kList.body}) first.PutText(field);
    EXPECT_EQ(ReadKeptList(std::move(first).Seal()), std::nullopt);
}

TEST(KeptList, OnlyAStrongTagAndAWellFormedDateGoBackToTheServer)
{
    EXPECT_EQ(ConditionalHeaders(kList),
              "If-None-Match: \"5f3a-1e2b\"\r\nIf-Modified-Since: Tue, 08 Dec 2026 09:00:00 GMT\r\n");
    KeptList onlyTag = kList;
    onlyTag.lastModified.clear();
    EXPECT_EQ(ConditionalHeaders(onlyTag), "If-None-Match: \"5f3a-1e2b\"\r\n");
    // "*" matches any version and a weak tag every version its server deems
    // the same: a list answered with either would be "not modified" for good.
    for (const char* tag : {"*", "W/\"5f3a-1e2b\"", "\"weak\"\r\nX-Injected: 1"}) {
        KeptList onlyDate = kList;
        onlyDate.entityTag = tag;
        EXPECT_EQ(ConditionalHeaders(onlyDate), "If-Modified-Since: Tue, 08 Dec 2026 09:00:00 GMT\r\n") << tag;
    }
    EXPECT_EQ(ConditionalHeaders(KeptList{}), "");

    // The fuzz target holds both readers to plain second readers; these are
    // the cases a server or an interceptor sends.
    EXPECT_TRUE(IsStrongEntityTag("\"\""));
    EXPECT_TRUE(IsStrongEntityTag("\"" + std::string(kLongestValidator - 2, 'e') + "\""));
    for (const std::string& bad : {std::string("w/\"x\""), std::string("\"a\"b\""), std::string("\"a b\""),
                                   std::string("\"\xC7\xD1\""), "\"" + std::string(kLongestValidator - 1, 'e') + "\""})
        EXPECT_FALSE(IsStrongEntityTag(bad)) << bad;
    EXPECT_TRUE(IsHttpDate("Tue, 29 Feb 2028 23:59:60 GMT"));
    EXPECT_TRUE(IsHttpDate("Sat, 01 Jan 0000 00:00:00 GMT"));
    // The obsolete forms are never sent by a server that follows HTTP/1.1;
    // a day that does not exist, or is not that day of the week, is no date.
    for (const char* bad : {"Tuesday, 08-Dec-26 09:00:00 GMT", "Tue Dec  8 09:00:00 2026", "Wed, 08 Dec 2026 09:00:00 GMT",
                            "Sat, 29 Feb 2027 09:00:00 GMT", "Thu, 29 Feb 2100 09:00:00 GMT",
                            "Tue, 08 Dec 2026 24:00:00 GMT", "Tue, 08 Dec 2026 09:00:00 UTC"})
        EXPECT_FALSE(IsHttpDate(bad)) << bad;
}

TEST(KeptList, AKeptCopyStandsInForAWeekAtMost)
{
    EXPECT_TRUE(KeptListIsFresh(kList, kList.keptAt));
    EXPECT_TRUE(KeptListIsFresh(kList, kList.keptAt + kLongestKeptSeconds));
    EXPECT_FALSE(KeptListIsFresh(kList, kList.keptAt + kLongestKeptSeconds + 1));
    // Kept "later" than now: the clock was set back, and the age is unknown.
    EXPECT_FALSE(KeptListIsFresh(kList, kList.keptAt - 1));
}

// ---- The hashing pool -----------------------------------------------------------

TEST(HashingPool, OneThreadPerProcessorUpToEightUnlessADiskSaysItSeeks)
{
    EXPECT_EQ(HashingThreads(2, 1000, SeekPenalty::kNone), 2u);
    EXPECT_EQ(HashingThreads(64, 1000, SeekPenalty::kNone), 8u);
    EXPECT_EQ(HashingThreads(4, 3, SeekPenalty::kNone), 3u);
    EXPECT_EQ(HashingThreads(1, 1000, SeekPenalty::kNone), 1u);
    EXPECT_EQ(HashingThreads(8, 1000, SeekPenalty::kSome), 1u) << "a disk that pays for seeks";
    // A disk that cannot tell (every volume under Wine): the pool anyway,
    // two threads even on one processor.
    EXPECT_EQ(HashingThreads(1, 1000, SeekPenalty::kUnknown), 2u);
    EXPECT_EQ(HashingThreads(4, 1000, SeekPenalty::kUnknown), 4u);
    EXPECT_EQ(HashingThreads(64, 1000, SeekPenalty::kUnknown), 8u);
    EXPECT_EQ(HashingThreads(4, 1, SeekPenalty::kUnknown), 1u);
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
