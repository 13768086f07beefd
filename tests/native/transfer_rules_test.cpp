// The rules of a transfer that resumes what an earlier one kept, and of its
// time bounds.
#include <gtest/gtest.h>

#include "common/limits.h"
#include "download/resume_rules.h"
#include "download/transfer_pace.h"

namespace tallowfin {
namespace {

const std::string kSha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
const std::string kMd5 = "0cc175b9c0f1b6a831c399e269772661";

TEST(ResumeRules, PartsAreNamedByAWellFormedListedDigestAndKeptForAStrongValidatorOnly)
{
    EXPECT_EQ(PartName(kSha, kMd5), kSha);
    EXPECT_EQ(PartName(kSha.substr(1), "0CC175B9C0F1B6A831C399E269772661"), kMd5) << "the MD5 in any case";
    EXPECT_EQ(PartName("", "not a digest"), std::nullopt);
    EXPECT_TRUE(IsPartFileName(kSha + ".info", ".info"));
    EXPECT_FALSE(IsPartFileName("0CC175B9C0F1B6A831C399E269772661.part", ".part")) << "one name per digest";
    EXPECT_FALSE(IsPartFileName(kMd5 + ".info", ".part"));
    // A patch fetched in place of its file never continues the file's part.
    TUpdateRec record;
    record.Listed = {kMd5, kSha};
    EXPECT_EQ(PartNameOf(record), kSha);
    record.Patch = TListedPatch{"p", std::string(32, 'b'), "", 10, ""};
    const auto patchPart = PartNameOf(record);
    ASSERT_TRUE(patchPart);
    EXPECT_TRUE(IsPartFileName(*patchPart + ".part", ".part"));
    EXPECT_NE(*patchPart, kSha);
    EXPECT_NE(*patchPart, kMd5);
    record.Patch->Sha256 = std::string(64, 'c');
    EXPECT_EQ(PartNameOf(record), std::string(64, 'c'));

    EXPECT_EQ(ResumeValidator("\"5f3a\"", "Tue, 08 Dec 2026 09:00:00 GMT"), "\"5f3a\"");
    EXPECT_EQ(ResumeValidator("W/\"5f3a\"", "Tue, 08 Dec 2026 09:00:00 GMT"), "Tue, 08 Dec 2026 09:00:00 GMT");
    EXPECT_EQ(ResumeValidator("*", "yesterday"), std::nullopt);
    const KeptPartInfo info{"\"v1\"", 209715200};
    const std::string bytes = KeptPartInfoBytes(info);
    EXPECT_EQ(ReadKeptPartInfo(bytes), info);
    EXPECT_EQ(ReadKeptPartInfo(bytes.substr(1)), std::nullopt);
    EXPECT_EQ(ReadKeptPartInfo(KeptPartInfoBytes({"W/\"v1\"", 10})), std::nullopt);
    EXPECT_EQ(ReadKeptPartInfo(KeptPartInfoBytes({"\"v1\"", limits::kLargestFile + 1})), std::nullopt);
    EXPECT_EQ(RangeHeaders(157286400, "\"v1\""), "Range: bytes=157286400-\r\nIf-Range: \"v1\"\r\n");
}

TEST(ResumeRules, ContentRangeIsReadStrictly)
{
    const auto range = ReadContentRange("bytes 100-199/200");
    ASSERT_TRUE(range);
    EXPECT_EQ(range->first, 100u);
    EXPECT_EQ(range->last, 199u);
    EXPECT_EQ(range->total, 200u);
    for (const char* bad : {"bytes */200", "bytes 100-200/200", "bytes 200-100/300", "bytes  1-2/3", "bytes +1-2/3",
                            "bytes 1-2/99999999999999999999"})
        EXPECT_EQ(ReadContentRange(bad), std::nullopt) << bad;
}

TEST(ResumeRules, OnlyTheExactRestOfTheSameFileContinuesAPart)
{
    const KeptPartInfo asked{"\"v1\"", 200};
    // Asked from byte 150 of 200.
    EXPECT_EQ(JudgeReply(206, 50, "bytes 150-199/200", asked, 150), ReplyUse::kRest);
    EXPECT_EQ(JudgeReply(206, 60, "bytes 140-199/200", asked, 150), ReplyUse::kWrongPart) << "another offset";
    EXPECT_EQ(JudgeReply(206, 50, "bytes 150-199/201", asked, 150), ReplyUse::kWrongPart) << "another total";
    EXPECT_EQ(JudgeReply(206, 40, "bytes 150-189/200", asked, 150), ReplyUse::kWrongPart) << "not to the end";
    EXPECT_EQ(JudgeReply(206, 49, "bytes 150-199/200", asked, 150), ReplyUse::kWrongPart) << "length not the rest";
    EXPECT_EQ(JudgeReply(206, std::nullopt, "bytes 150-199/200", asked, 150), ReplyUse::kWrongPart);
    EXPECT_EQ(JudgeReply(206, 50, "bytes 150-199/200", std::nullopt, 0), ReplyUse::kWrongPart) << "never asked";
    // The changed file (If-Range did not match) comes whole; a range past the
    // end asks for the file whole; anything else is no file.
    EXPECT_EQ(JudgeReply(200, 300, "", asked, 150), ReplyUse::kWhole);
    EXPECT_EQ(JudgeReply(200, std::nullopt, "", asked, 150), ReplyUse::kNoFile);
    EXPECT_EQ(JudgeReply(416, std::nullopt, "bytes */200", asked, 150), ReplyUse::kAskWhole);
    EXPECT_EQ(JudgeReply(416, std::nullopt, "", std::nullopt, 0), ReplyUse::kNoFile);
    for (unsigned status : {304u, 404u, 500u, 0u}) EXPECT_EQ(JudgeReply(status, 50, "", asked, 150), ReplyUse::kNoFile);
}

TEST(TransferPace, ATransferBelowOneKibASecondOverAWindowFails)
{
    TransferPace pace(1000, 10'000'000);
    // Well above the pace, then a window with one byte short of its share.
    EXPECT_EQ(pace.Note(1000 + 59'999, 1), TransferPace::kOnPace) << "judged only once a window has passed";
    EXPECT_EQ(pace.Note(1000 + 60'000, 61'440), TransferPace::kOnPace);
    EXPECT_EQ(pace.Note(1000 + 119'999, 61'440), TransferPace::kOnPace);
    EXPECT_EQ(pace.Note(1000 + 120'000, 61'440 + 61'439), TransferPace::kTooSlow);
    EXPECT_EQ(pace.Note(1000 + 120'001, 10'000'000), TransferPace::kTooSlow) << "over is over";

    // A read that waited three windows (a receive timeout) must carry three shares.
    TransferPace waited(0, 10'000'000);
    EXPECT_EQ(waited.Note(180'000, 3 * 61'440 - 1), TransferPace::kTooSlow);
    TransferPace kept(0, 10'000'000);
    EXPECT_EQ(kept.Note(180'000, 3 * 61'440), TransferPace::kOnPace);
}

TEST(TransferPace, ATransferLongerThanItsLengthAllowsFailsWhateverItsPace)
{
    EXPECT_EQ(LongestTransferMs(16 * 1024), 601'000u);
    EXPECT_EQ(LongestTransferMs(209'715'200), 600'000u + 12'800'000u);
    // 8 KiB a second passes every window; 16 MiB may take 1,624 s.
    TransferPace pace(0, 16 * 1024 * 1024);
    EXPECT_EQ(pace.Note(1'624'000, 1'624 * 8192), TransferPace::kOnPace);
    EXPECT_EQ(pace.Note(1'624'001, 1'624 * 8192), TransferPace::kTooLong);
}

}  // namespace
}  // namespace tallowfin
