// The release transaction's portable rules: its journal read back exactly or
// not at all, the way a killed transaction is finished, which downloads are
// as listed, and what a registrar's exit says.
#include <gtest/gtest.h>

#include "transaction/journal.h"
#include "transaction/listed_digests.h"
#include "transaction/recovery.h"
#include "transaction/registration.h"

namespace tallowfin {
namespace {

Journal SampleJournal()
{
    Journal journal;
    journal.phase = JournalPhase::kCommitting;
    journal.list = "0123456789abcdef0123456789abcdef";
    journal.entries = {
        {"C:\\P\\a.dll", "C:\\P\\~TallowfinUpdate.1c.0.tmp", "C:\\P\\~TallowfinUpdate.1c.0.old", "md5a", "", false,
         true, true},
        {"C:\\P\\\xB0\xA1.txt", "C:\\P\\~TallowfinUpdate.1c.1.tmp", "C:\\P\\~TallowfinUpdate.1c.1.old", "md5b", "sha",
         false, false, false},
        {"C:\\P\\TallowfinUpdate.exe", "C:\\P\\TallowfinUpdate.Update", "", "md5c", "", true, false, false},
    };
    journal.registrations = {{"C:\\P\\a.dll", "md5a", 2}};
    return journal;
}

TEST(Journal, ReadsBackExactlyAndNothingOfADamagedFile)
{
    const Journal journal = SampleJournal();
    const std::string bytes = JournalBytes(journal);
    EXPECT_EQ(ReadJournal(bytes), journal);
    EXPECT_EQ(ReadJournal(JournalBytes(Journal{})), Journal{});
    // Cut anywhere, one bit changed anywhere, or with bytes after it: never
    // taken for a journal, so nothing it seems to name is touched.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_FALSE(ReadJournal(bytes.substr(0, i))) << "cut at " << i;
        std::string flipped = bytes;
        flipped[i] = static_cast<char>(flipped[i] ^ 0x10);
        EXPECT_FALSE(ReadJournal(flipped)) << "bit changed at " << i;
    }
    EXPECT_FALSE(ReadJournal(bytes + "x"));
}

TEST(Recovery, EachEntrysStateIsToldByWhichOfItsFilesLie)
{
    JournalEntry replacing{"t", "s", "a", "", "", false, false, true}, adding = replacing;
    adding.hadOld = false;
    //                          staged  asListed aside  target
    EXPECT_EQ(StateOf(replacing, {true, true, false, true}), EntryState::kUntouched);
    EXPECT_EQ(StateOf(replacing, {true, true, true, false}), EntryState::kHalf);
    EXPECT_EQ(StateOf(replacing, {false, false, true, true}), EntryState::kSwapped);
    EXPECT_EQ(StateOf(replacing, {false, false, false, true}), EntryState::kLost);
    EXPECT_EQ(StateOf(adding, {true, true, false, false}), EntryState::kUntouched);
    EXPECT_EQ(StateOf(adding, {false, false, false, true}), EntryState::kSwapped);
    EXPECT_EQ(StateOf(adding, {false, false, false, false}), EntryState::kLost);
}

TEST(Recovery, ForwardOnlyWhenEveryNewFileIsInPlaceOrWholeBesideIt)
{
    Journal journal = SampleJournal();
    const ObservedEntry swapped{false, false, true, true}, halfWhole{true, true, true, false},
        halfDamaged{true, false, true, false}, lost{false, false, false, true}, self{};
    EXPECT_TRUE(RecoversForward(journal, {swapped, halfWhole, self}));
    EXPECT_FALSE(RecoversForward(journal, {swapped, halfDamaged, self}));
    EXPECT_FALSE(RecoversForward(journal, {lost, halfWhole, self}));
    EXPECT_FALSE(RecoversForward(journal, {swapped, halfWhole})) << "an observation missing";
    // Before the renames began nothing is in place: back, whatever lies there.
    journal.phase = JournalPhase::kStaging;
    EXPECT_FALSE(RecoversForward(journal, {swapped, halfWhole, self}));
    journal.phase = JournalPhase::kCommitted;
    EXPECT_TRUE(RecoversForward(journal, {lost, halfDamaged, self}));
}

TEST(ListedDigests, ComparedAsNumbersAndAMalformedMd5ChecksNothing)
{
    const std::string md5 = "9e107d9d372bb6826bd81d3542a419d6", sha = std::string(64, 'a');
    EXPECT_TRUE(IsAsListed(md5, "", md5, ""));
    EXPECT_TRUE(IsAsListed("9E107D9D372BB6826BD81D3542A419D6", "", md5, ""));
    EXPECT_FALSE(IsAsListed("9e107d9d372bb6826bd81d3542a419d7", "", md5, ""));
    for (const char* notADigest : {"", "not-a-digest", "9e107d9d372bb6826bd81d3542a419d", "9e107d9d372bb6826bd81d3542a419dg"})
        EXPECT_TRUE(IsAsListed(notADigest, "", md5, "")) << notADigest;
    // A signed list's SHA-256 always decides, in either case.
    EXPECT_TRUE(IsAsListed("garbage", std::string(64, 'A'), md5, sha));
    EXPECT_FALSE(IsAsListed(md5, std::string(64, 'b'), md5, sha));
    EXPECT_FALSE(IsAsListed(md5, "short", md5, sha));
}

TEST(Registration, OnlyTheRegistrarsOwnVerdictsEndARegistration)
{
    EXPECT_EQ(OutcomeOfRegistrarExit(0), RegistrationOutcome::kRegistered);
    for (std::uint32_t verdict = 1; verdict <= 5; ++verdict)
        EXPECT_EQ(OutcomeOfRegistrarExit(verdict), RegistrationOutcome::kRefused) << verdict;
    // An access violation, a stack overflow, the code of a process ended from outside.
    for (std::uint32_t crash : {0xC0000005u, 0xC00000FDu, 6u, 1460u})
        EXPECT_EQ(OutcomeOfRegistrarExit(crash), RegistrationOutcome::kUnfinished) << crash;
}

}  // namespace
}  // namespace tallowfin
