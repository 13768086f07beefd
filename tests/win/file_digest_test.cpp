// The digest of a local file: what counts as no file, what counts as an
// error, and that reading in chunks hashes exactly the file's bytes.
#include <gtest/gtest.h>

#include "common/handle.h"
#include "common/md5.h"
#include "common/win_error.h"
#include "digestcache/file_digest.h"
#include "tests/support/win_util.h"

namespace tallowfin::test {
namespace {

FileHandle OpenOther(const std::string& path, DWORD access, DWORD share)
{
    FileHandle file(
        CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file) << "cannot open " << path << ": " << GetLastError();
    return file;
}

TEST(FileDigest, IsEmptyTextWhenNoFileHasTheName)
{
    ScratchDir dir("digest");
    EXPECT_EQ(FileDigestText((dir / "missing.dll").string()), "");
    EXPECT_EQ(FileDigestText((dir / "no-such-folder" / "missing.dll").string()), "");

    std::filesystem::create_directory(dir / "Plugins");
    EXPECT_EQ(FileDigestText((dir / "Plugins").string()), "");
}

TEST(FileDigest, OfAnEmptyFileIsTheDigestOfNoInput)
{
    ScratchDir dir("digest");
    WriteBytes(dir / "empty.dat", "");
    EXPECT_EQ(FileDigestText((dir / "empty.dat").string()), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(FileDigest, HashesEveryByteWhateverTheChunkSize)
{
    ScratchDir dir("digest");
    // Sizes that end mid-chunk, on a chunk boundary, and in the middle of an
    // MD5 block, for the default read size and for small ones.
    for (std::size_t size : {std::size_t{5 << 20} + 123, std::size_t{4 << 20}, std::size_t{3 << 20} - 7}) {
        const std::string bytes = PatternBytes(size, static_cast<unsigned>(size));
        const std::string path = (dir / "big.bin").string();
        WriteBytes(path, bytes);
        const std::string expected = Md5Text(bytes);
        EXPECT_EQ(FileDigestText(path), expected) << size;
        for (std::size_t chunk : {64u, 1000u, 4096u})
            EXPECT_EQ(FileDigestText(path, chunk), expected) << size << " by " << chunk;
    }
}

TEST(FileDigest, FailsWhileAnotherHandleCanWriteTheFile)
{
    ScratchDir dir("digest");
    const std::string path = (dir / "busy.exe").string();
    WriteBytes(path, "abc");

    {
        FileHandle writer = OpenOther(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        try {
            FileDigestText(path);
            ADD_FAILURE() << "no error for a file open for writing";
        } catch (const WinError& e) {
            EXPECT_EQ(e.code(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(FileDigestText(path), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(FileDigest, SharesTheFileWithOtherReaders)
{
    ScratchDir dir("digest");
    const std::string path = (dir / "shared.dll").string();
    WriteBytes(path, "abc");
    FileHandle reader = OpenOther(path, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(FileDigestText(path), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace tallowfin::test
