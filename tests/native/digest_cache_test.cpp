// The digest cache's file and rules: what it answers for, how it reads back,
// that any damage makes it read as empty, and which paths it may answer for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/md5.h"
#include "common/sealed_record.h"
#include "digestcache/cache_location.h"
#include "digestcache/digest_cache.h"
#include "digestcache/listed_path.h"

namespace tallowfin {
namespace {

constexpr std::uint64_t kSecond = 10'000'000;
const FileIdentity kIdentity{4096, 130 * kSecond, 131 * kSecond, 0x5A000000, 0x00A7C1FF};

// A cache of `count` files under one installation folder, as a product lays them out.
DigestCache CacheOf(int count, const std::string& folder = "C:\\Program Files\\Tallowfin Beta\\")
{
    DigestCache cache;
    for (int i = 0; i < count; ++i) {
        const std::string path = folder + "data" + std::to_string(i % 100) + "\\file" + std::to_string(i) + ".dat";
        FileIdentity identity = kIdentity;
        identity.fileIndex += static_cast<std::uint64_t>(i);
        cache.Remember(path, identity, Md5Text(path));
    }
    return cache;
}

TEST(DigestCache, AnswersOnlyWhenEveryPartOfTheIdentityMatches)
{
    DigestCache cache;
    const std::string digest = Md5Text("content");
    cache.Remember("C:\\a\\b.txt", kIdentity, digest);
    EXPECT_EQ(cache.Lookup("C:\\a\\b.txt", kIdentity), digest);
    EXPECT_EQ(cache.Lookup("C:\\a\\B.txt", kIdentity), std::nullopt) << "paths are compared as written";
    const std::vector<void (*)(FileIdentity&)> changes = {
        [](FileIdentity& i) { ++i.size; },          [](FileIdentity& i) { ++i.lastWriteTime; },
        [](FileIdentity& i) { ++i.changeTime; },    [](FileIdentity& i) { ++i.volumeSerial; },
        [](FileIdentity& i) { i.fileIndex ^= 1ull << 40; },
    };
    for (std::size_t k = 0; k < changes.size(); ++k) {
        FileIdentity other = kIdentity;
        changes[k](other);
        EXPECT_EQ(cache.Lookup("C:\\a\\b.txt", other), std::nullopt) << "change " << k;
    }
}

TEST(DigestCache, KeepsOnlyDigestTextsOfTheFilesTheListNames)
{
    DigestCache cache = CacheOf(10);
    cache.ClearChanged();
    cache.KeepOnly({"C:\\Program Files\\Tallowfin Beta\\data3\\file3.dat", "C:\\not\\cached"});
    EXPECT_EQ(cache.Size(), 1u);
    EXPECT_TRUE(cache.Changed()) << "to be written";
    cache.ClearChanged();
    cache.Remember("C:\\Program Files\\Tallowfin Beta\\data3\\file3.dat", {4096, 130 * kSecond, 131 * kSecond,
                                                                            0x5A000000, 0x00A7C1FF + 3},
                   Md5Text("C:\\Program Files\\Tallowfin Beta\\data3\\file3.dat"));
    EXPECT_FALSE(cache.Changed()) << "the same entry again is no change";
    // Upper-case digits never equal a digest text; a bad text forgets what was there.
    cache.Remember("C:\\a", kIdentity, "D41D8CD98F00B204E9800998ECF8427E");
    cache.Remember("C:\\Program Files\\Tallowfin Beta\\data3\\file3.dat", kIdentity, "00");
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(DigestCache, ReadsBackWhatItWrote)
{
    DigestCache cache = CacheOf(300);
    // Paths that share nothing, or all but their end, and bytes of code page 949.
    cache.Remember("D:\\\xC7\xD1\xB1\xDB\\\xC6\xC4\xC0\xCF.txt", kIdentity, Md5Text("korean"));
    cache.Remember("\\\\server\\share\\x", FileIdentity{}, Md5Text(""));
    cache.Remember(std::string(32767, 'p'), kIdentity, Md5Text("long"));
    const DigestCache back = DigestCache::FromBytes(cache.ToBytes());
    EXPECT_EQ(back.Size(), cache.Size());
    EXPECT_FALSE(back.Changed());
    EXPECT_EQ(back.ToBytes(), cache.ToBytes());
    EXPECT_EQ(back.Lookup("D:\\\xC7\xD1\xB1\xDB\\\xC6\xC4\xC0\xCF.txt", kIdentity), Md5Text("korean"));
    EXPECT_EQ(back.Lookup("\\\\server\\share\\x", FileIdentity{}), Md5Text(""));
    FileIdentity identity = kIdentity;
    identity.fileIndex += 7;
    const std::string path = "C:\\Program Files\\Tallowfin Beta\\data7\\file7.dat";
    EXPECT_EQ(back.Lookup(path, identity), Md5Text(path));
}

TEST(DigestCache, AnyDamageMakesTheWholeFileReadAsEmpty)
{
    const std::string good = CacheOf(20).ToBytes();
    ASSERT_EQ(DigestCache::FromBytes(good).Size(), 20u);
    auto expectIgnored = [](const std::string& bytes, const std::string& what) {
        const DigestCache read = DigestCache::FromBytes(bytes);
        EXPECT_EQ(read.Size(), 0u) << what;
        EXPECT_TRUE(read.Changed()) << what << ": to be written again";
    };
    for (std::size_t length = 1; length < good.size(); ++length) expectIgnored(good.substr(0, length), "cut");
    for (std::size_t at = 0; at < good.size(); ++at)
        for (unsigned char bit : {0x01, 0x80}) {
            std::string flipped = good;
            flipped[at] = static_cast<char>(flipped[at] ^ bit);
            expectIgnored(flipped, "byte " + std::to_string(at));
        }
    expectIgnored(good + '\0', "a byte too many");
    expectIgnored("<?xml version=\"1.0\"?><filelist/>", "foreign");
    EXPECT_FALSE(DigestCache::FromBytes("").Changed()) << "no file: nothing to replace";

    // Well sealed, but not what this version writes or accepts.
    const std::string body = good.substr(8, good.size() - 8 - 16);
    RecordWriter otherVersion("TFDC", DigestCache::kFormatVersion + 1);
    otherVersion.PutBytes(body);
    expectIgnored(std::move(otherVersion).Seal(), "another version");
    RecordWriter countTooLarge("TFDC", DigestCache::kFormatVersion);
    countTooLarge.Put(21, 4);
    countTooLarge.PutBytes(body.substr(4));
    expectIgnored(std::move(countTooLarge).Seal(), "a count its entries do not fill");
    auto twoEntries = [](const char* first, const char* second) {
        RecordWriter writer("TFDC", DigestCache::kFormatVersion);
        writer.Put(2, 4);
        for (const char* path : {first, second}) {
            writer.Put(0, 2);
            writer.Put(4, 2);
            writer.PutBytes(path);
            writer.PutBytes(std::string(52, '\0'));  // identity and digest
        }
        return std::move(writer).Seal();
    };
    ASSERT_EQ(DigestCache::FromBytes(twoEntries("C:\\a", "C:\\b")).Size(), 2u);
    expectIgnored(twoEntries("C:\\b", "C:\\a"), "entries out of order");
    expectIgnored(twoEntries("C:\\a", "C:\\a"), "an entry twice");
}

TEST(DigestCache, FilesChangedInTheLastTwoSecondsAreNotSettled)
{
    const std::uint64_t readAt = 1000 * kSecond;
    EXPECT_TRUE(IsSettled({1, readAt - 2 * kSecond, readAt - 2 * kSecond, 0, 0}, readAt));
    EXPECT_FALSE(IsSettled({1, readAt - 9 * kSecond, readAt - 2 * kSecond + 1, 0, 0}, readAt)) << "the change time";
    EXPECT_FALSE(IsSettled({1, readAt + kSecond, readAt - 9 * kSecond, 0, 0}, readAt)) << "a time in the future";
}

// ---- Paths the cache answers for -----------------------------------------------

bool Cp949Lead(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

std::optional<ListedPath> Split(const std::string& path) { return SplitListedPath(path, Cp949Lead); }

TEST(ListedPath, PlainAbsolutePathsSplitIntoFolderAndName)
{
    EXPECT_EQ(Split("C:\\Tallowfin Beta\\data\\a.txt"), (ListedPath{"C:\\Tallowfin Beta\\data", "a.txt"}));
    EXPECT_EQ(Split("c:\\a.txt"), (ListedPath{"c:\\", "a.txt"}));
    EXPECT_EQ(Split("\\\\server\\share\\a.txt"), (ListedPath{"\\\\server\\share\\", "a.txt"}));
    EXPECT_EQ(Split("\\\\server\\share\\d\\a.txt"), (ListedPath{"\\\\server\\share\\d", "a.txt"}));
    // A trail byte of code page 949 is never a separator, even where it could be read as one.
    EXPECT_EQ(Split("C:\\\xC7\xD1\\\xB1\\b"), (ListedPath{"C:\\\xC7\xD1", "\xB1\\b"}));
    EXPECT_EQ(Split("C:\\" + std::string(256, 'n')).value().leaf.size(), 256u) << "259 characters in all";
}

TEST(ListedPath, AnythingTheFileFunctionsWouldReadOtherwiseIsLeftToThem)
{
    for (const std::string& path : std::vector<std::string>{"", "a.txt", "data\\a.txt", "\\a.txt", "C:a.txt", "C:\\", "C:\\d\\", "C:\\d\\\\a.txt", "C:/d/a.txt",
          "C:\\d/a.txt", "C:\\.\\a.txt", "C:\\d\\..\\a.txt", "C:\\d\\a.txt.", "C:\\d\\a.txt ", "C:\\d \\a.txt",
          "C:\\d\\a.txt:stream", "C:\\d\\a*.txt", "C:\\d\\a?.txt", "C:\\d\\a|b", "C:\\d\\a<b", "C:\\d\\\"a\"",
          "C:\\d\\a\tb", "\\\\?\\C:\\a.txt", "\\\\.\\C:\\a.txt", "\\\\server\\a.txt", "\\\\server\\\\a.txt",
          "\\\\\\share\\a.txt", "C:\\d\\a\xC7", "C:\\" + std::string(257, 'n')})
        EXPECT_EQ(Split(path), std::nullopt) << path;
}

TEST(CacheLocation, OneFolderPerInstallationAndServer)
{
    const std::string base = "http://update.tallowfin.example/software/Tallowfin/";
    const std::string folder = CacheFolderName("C:\\Program Files\\Tallowfin Beta", base);
    EXPECT_EQ(CacheFolderName("c:\\program files\\TALLOWFIN BETA", base), folder) << "Windows ignores letter case";
    EXPECT_NE(CacheFolderName("D:\\Program Files\\Tallowfin Beta", base), folder);
    EXPECT_NE(CacheFolderName("C:\\Program Files\\Tallowfin Beta", "https" + base.substr(4)), folder);
}

}  // namespace
}  // namespace tallowfin
