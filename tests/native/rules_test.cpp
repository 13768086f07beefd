// The rules on paths, command lines and texts that decide what the updater
// touches and starts.
#include <gtest/gtest.h>

#include "common/own_names.h"
#include "common/path_rules.h"
#include "control/document_type.h"
#include "control/error_text.h"
#include "control/launch_rules.h"
#include "control/patch_choice.h"
#include "download/url_rules.h"
#include "helper/command_line.h"
#include "selfreplace/self_update_rules.h"

namespace tallowfin {
namespace {

TEST(PathRules, ProgramDirectoryKeepsTheBackslashOnlyAtADriveRoot)
{
    EXPECT_EQ(ProgramDirectoryOf("C:\\Apps\\Tallowfin\\TallowfinUpdate.exe"), "C:\\Apps\\Tallowfin");
    EXPECT_EQ(ProgramDirectoryOf("C:\\TallowfinUpdate.exe"), "C:\\");
    EXPECT_EQ(ProgramDirectoryOf("\\\\server\\share\\u.exe"), "\\\\server\\share");
    EXPECT_EQ(DirectoryWithBackslash("C:\\Apps\\u.exe"), "C:\\Apps\\");
    EXPECT_EQ(DirectoryWithBackslash("C:\\u.exe"), "C:\\");
}

TEST(PathRules, PlaceholderIsExpandedInUpperCaseOnlyAndNeverRescanned)
{
    EXPECT_EQ(ExpandProgramPath("%PROGRAM%", "C:\\P"), "C:\\P");
    EXPECT_EQ(ExpandProgramPath("%PROGRAM%\\", "C:\\P"), "C:\\P\\");
    EXPECT_EQ(ExpandProgramPath("%PROGRAM%\\a\\%PROGRAM%", "C:\\P"), "C:\\P\\a\\C:\\P");
    EXPECT_EQ(ExpandProgramPath("%program%\\a", "C:\\P"), "%program%\\a");
    EXPECT_EQ(ExpandProgramPath("%Program%", "C:\\P"), "%Program%");
    // What was put in is not looked into again.
    EXPECT_EQ(ExpandProgramPath("%PROGRAM%", "%PROGRAM%"), "%PROGRAM%");
    EXPECT_EQ(ExpandProgramPath("%PROGRAM%PROGRAM%", "X"), "XPROGRAM%");
    EXPECT_EQ(ExpandProgramPath("%PROG%PROGRAM%RAM%", "X"), "%PROGXRAM%");
}

TEST(PathRules, ExtensionIsTheLastDotAfterTheLastSeparator)
{
    EXPECT_EQ(ExtensionOf("C:\\a\\b.dll"), ".dll");
    EXPECT_EQ(ExtensionOf("C:\\a\\b.dll.bak"), ".bak");
    EXPECT_EQ(ExtensionOf("C:\\a.dir\\b"), "");
    EXPECT_EQ(ExtensionOf("C:b.ocx"), ".ocx");
    EXPECT_EQ(ExtensionOf("C:.x\\y"), "");
    EXPECT_EQ(ExtensionOf("a.b:c"), "");
    EXPECT_EQ(ExtensionOf("name."), ".");
    EXPECT_EQ(ExtensionOf(""), "");
    EXPECT_EQ(AsciiUpper(ExtensionOf("x.Dll")), ".DLL");
}

TEST(PathRules, DoubledBackslashesCollapseOnceLeftToRightButANetworkPathKeepsItsPair)
{
    EXPECT_EQ(CollapseDoubledBackslashes("C:\\P\\\\a.txt"), "C:\\P\\a.txt");
    EXPECT_EQ(CollapseDoubledBackslashes("C:\\P\\\\\\a"), "C:\\P\\\\a");     // three become two
    EXPECT_EQ(CollapseDoubledBackslashes("C:\\P\\\\\\\\a"), "C:\\P\\\\a");   // four become two
    EXPECT_EQ(CollapseDoubledBackslashes("C:\\P\\a"), "C:\\P\\a");
    EXPECT_EQ(CollapseDoubledBackslashes("\\\\server\\share\\\\x.dll"), "\\\\server\\share\\x.dll");
    EXPECT_EQ(CollapseDoubledBackslashes("\\\\\\server"), "\\\\\\server");
    EXPECT_EQ(CollapseDoubledBackslashes("\\"), "\\");
}

TEST(PathRules, LetterCaseChangesForAsciiLettersOnly)
{
    // "업" in code page 949 is 0xBE 0xF7: bytes above 0x7F stay as they are.
    EXPECT_EQ(AsciiLower("C:\\ABC\\\xBE\xF7.EXE"), "c:\\abc\\\xBE\xF7.exe");
    EXPECT_EQ(AsciiUpper("a-z\xE0\xFF"), "A-Z\xE0\xFF");
}

TEST(UrlRules, OnlyHttpAndHttpsWithTheirSlashesAreAbsoluteInAnyCase)
{
    const std::string base = "https://update.example/software/Tallowfin/";
    for (const char* absolute : {"http://cdn.example/a.bin", "HTTP://cdn.example/a.bin", "https://cdn.example/a.bin",
                                 "HtTpS://Cdn.Example/A.bin", "https://", "https:///x"})
        EXPECT_EQ(ResolveUrl(base, absolute), absolute);
    // Everything else names a file under the base, as it stands.
    for (const char* relative : {"a.bin", "/a.bin", " https://cdn.example/a.bin", "https:cdn.example/a.bin",
                                 "https:/cdn.example/a.bin", "httpss://cdn.example/a.bin", "ftp://cdn.example/a.bin",
                                 "https//cdn.example/a.bin", "xhttps://cdn.example/a.bin", "http\\://x", ""})
        EXPECT_EQ(ResolveUrl(base, relative), base + relative) << relative;
}

TEST(UrlRules, OnlyLeavingHttpsForAnotherSchemeIsADowngrade)
{
    EXPECT_TRUE(IsDowngrade("https://a/x", "http://a/x"));
    EXPECT_TRUE(IsDowngrade("HTTPS://a/x", "Http://a/x"));
    EXPECT_TRUE(IsDowngrade("https://a/x", "ftp://a/x"));
    EXPECT_TRUE(IsDowngrade("https://a/x", "unknown:"));
    EXPECT_FALSE(IsDowngrade("https://a/x", "HTTPS://b/y"));
    EXPECT_FALSE(IsDowngrade("http://a/x", "https://a/x"));
    EXPECT_FALSE(IsDowngrade("http://a/x", "http://b/x"));
    // A relative target keeps the scheme it came from.
    EXPECT_FALSE(IsDowngrade("https://a/x", "/y"));
    EXPECT_FALSE(IsDowngrade("https://a/x", "//b/y"));
    EXPECT_FALSE(IsDowngrade(" https://a/x", "http://a/x"));
}

TEST(PathRules, SameTextIgnoresLetterCaseButNeverInTheSecondByteOfACharacter)
{
    EXPECT_TRUE(SamePathText("C:\\Apps\\Upd.EXE", "c:\\apps\\upd.exe", IsCp949LeadByte));
    EXPECT_FALSE(SamePathText("C:\\Apps\\Upd.exe", "C:\\Apps\\Upd.ex", IsCp949LeadByte));
    // 0x81 0x41 and 0x81 0x61 are two Hangul syllables whose second bytes
    // are the bytes of 'A' and 'a': different names.
    EXPECT_FALSE(SamePathText("C:\\\x81\x41.exe", "C:\\\x81\x61.exe", IsCp949LeadByte));
    EXPECT_TRUE(SamePathText("C:\\\x81\x41.EXE", "c:\\\x81\x41.exe", IsCp949LeadByte));
    // Without a code page of double-byte characters both are letters.
    EXPECT_TRUE(SamePathText("\x81\x41", "\x81\x61", nullptr));
    // A lead byte in one text only is a difference, whatever follows it.
    EXPECT_FALSE(SamePathText("\xB0\x41", "\xB1\x41", IsCp949LeadByte));
    EXPECT_EQ(JoinPath("C:\\", "x"), "C:\\x");
    EXPECT_EQ(JoinPath("C:\\A", "x"), "C:\\A\\x");
    EXPECT_EQ(FileNameOf("C:\\A\\x.txt"), "x.txt");
    EXPECT_EQ(FileNameOf("x.txt"), "x.txt");
    EXPECT_EQ(FileNameOf("C:x.txt"), "x.txt");
}

TEST(InstallRules, OwnNamesSayWhoseTheyAreAndAreKnownAgainOnlyInTheirOwnForm)
{
    EXPECT_EQ(OwnName(OwnNameKind::kNewCopy, 0x1a2b, 0), "~TallowfinUpdate.1a2b.0.tmp");
    EXPECT_EQ(OwnName(OwnNameKind::kHelperFolder, 0xFFFFFFFF, 15), "~TallowfinUpdate.ffffffff.f.helper");
    for (const auto kind : {OwnNameKind::kNewCopy, OwnNameKind::kHelperFolder})
        for (const std::uint32_t pid : {0u, 4u, 0x7FFFFFFFu, 0xFFFFFFFFu})
            EXPECT_EQ(KindOfOwnName(OwnName(kind, pid, 3)), kind) << pid;
    EXPECT_EQ(KindOfOwnName("~TallowfinUpdate.1A2B.0.TMP"), OwnNameKind::kNewCopy);
    for (const char* other : {"~TallowfinUpdate.1a2b.0.tmp.dll", "~TallowfinUpdate..0.tmp", "~TallowfinUpdate.1a2b.tmp",
                              "~TallowfinUpdate.123456789.0.tmp", "~TallowfinUpdate.12g.0.tmp", "TallowfinUpdate.exe",
                              "TallowfinUpdate.Update", "~wu1A.tmp", "~TallowfinUpdate.1.2.exe", "", "file.tmp"})
        EXPECT_EQ(KindOfOwnName(other), OwnNameKind::kNone) << other;
    // Beside its target, in the same folder.
    EXPECT_EQ(NewCopyPathFor("C:\\P\\sub\\a.dll", 0x10, 1), "C:\\P\\sub\\~TallowfinUpdate.10.1.tmp");
    EXPECT_EQ(NewCopyPathFor("C:\\a.dll", 0x10, 1), "C:\\~TallowfinUpdate.10.1.tmp");
    EXPECT_EQ(NewCopyPathFor("C:a.dll", 0x10, 1), "C:~TallowfinUpdate.10.1.tmp");
    // And the old file set aside while the new one takes its place.
    EXPECT_EQ(OldCopyPathFor("C:\\P\\sub\\a.dll", 0x10, 1), "C:\\P\\sub\\~TallowfinUpdate.10.1.old");
    EXPECT_EQ(KindOfOwnName("~TallowfinUpdate.10.1.OLD"), OwnNameKind::kOldCopy);
}

TEST(PatchChoice, OnlyAWellFormedPatchFromTheInstalledFileAndSmallerThanItServes)
{
    const std::string md5(32, 'a'), other(32, 'b'), sha(64, 'c');
    const auto read = ReadListedPatch(std::string(32, 'A'), std::nullopt, "120", std::nullopt, "p/a.patch");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->BaseMd5, md5);
    EXPECT_EQ(read->Size, 120u);
    // A malformed one serves nothing and fails nothing.
    EXPECT_FALSE(ReadListedPatch(std::string("abc"), std::nullopt, "120", std::nullopt, "p"));
    EXPECT_FALSE(ReadListedPatch(md5, std::nullopt, "012", std::nullopt, "p"));
    EXPECT_FALSE(ReadListedPatch(md5, std::nullopt, "2147483648", std::nullopt, "p"));
    EXPECT_FALSE(ReadListedPatch(md5, std::string("xyz"), "12", std::nullopt, "p"));
    EXPECT_FALSE(ReadListedPatch(md5, std::nullopt, "12", std::nullopt, ""));
    EXPECT_FALSE(ReadListedPatch(std::nullopt, std::nullopt, "12", std::nullopt, "p"));

    const TListedPatch fromOther{"o", other, sha, 10, sha}, plain{"p", md5, "", 10, ""}, pinned{"s", md5, sha, 10, sha};
    int asked = 0;
    const auto installedSha = [&] { ++asked; return sha; };
    EXPECT_EQ(ChoosePatch({fromOther, plain}, md5, 100u, false, installedSha), plain);
    EXPECT_EQ(ChoosePatch({fromOther}, md5, 100u, false, installedSha), std::nullopt);
    EXPECT_EQ(ChoosePatch({plain}, "", 100u, false, installedSha), std::nullopt) << "nothing installed";
    EXPECT_EQ(ChoosePatch({plain}, md5, 10u, false, installedSha), std::nullopt) << "no smaller than the file";
    EXPECT_EQ(asked, 0);
    // A signed list: both digests given, and the base's the installed file's.
    EXPECT_EQ(ChoosePatch({plain, pinned}, md5, std::nullopt, true, installedSha), pinned);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(ChoosePatch({pinned}, md5, std::nullopt, true, [&] { return std::string(64, 'd'); }), std::nullopt);
}

TEST(DocumentType, FoundInThePrologInEveryEncodingTheParserReads)
{
    const std::string declared = "<?xml version=\"1.0\"?>\n<!-- a list -->\n<!DOCTYPE l [<!ENTITY a \"x\">]>\n<l/>";
    auto wide = [](const std::string& text, int width, bool bigEndian) {
        std::string bytes;
        for (char c : text)
            for (int i = 0; i < width; ++i) bytes.push_back(i == (bigEndian ? width - 1 : 0) ? c : '\0');
        return bytes;
    };
    EXPECT_TRUE(DeclaresDocumentType(declared));
    EXPECT_TRUE(DeclaresDocumentType("\xEF\xBB\xBF" + declared));
    EXPECT_TRUE(DeclaresDocumentType("<!DOCTYPE l SYSTEM \"x.dtd\"><l/>"));
    for (const bool bigEndian : {false, true}) {
        for (const int width : {2, 4}) {
            EXPECT_TRUE(DeclaresDocumentType(wide(declared, width, bigEndian))) << width << bigEndian;
            const std::string mark = width == 2 ? (bigEndian ? std::string("\xFE\xFF") : std::string("\xFF\xFE"))
                                                : (bigEndian ? std::string("\0\0\xFE\xFF", 4) : std::string("\xFF\xFE\0\0", 4));
            EXPECT_TRUE(DeclaresDocumentType(mark + wide(declared, width, bigEndian))) << width << bigEndian;
            EXPECT_FALSE(DeclaresDocumentType(mark + wide("<l><!DOCTYPE/></l>", width, bigEndian)));
        }
    }
}

TEST(DocumentType, NotFoundAfterThePrologNorInsideACommentOrInstruction)
{
    EXPECT_FALSE(DeclaresDocumentType("<?xml version=\"1.0\"?><filelist><file/></filelist>"));
    EXPECT_FALSE(DeclaresDocumentType("<l><path>&lt;!DOCTYPE</path></l><!DOCTYPE x>"));
    EXPECT_FALSE(DeclaresDocumentType("<!-- <!DOCTYPE x> --><l/>"));
    EXPECT_FALSE(DeclaresDocumentType("<?pi <!DOCTYPE x> ?><l/>"));
    EXPECT_FALSE(DeclaresDocumentType("<!doctype x><l/>"));  // not a declaration; the parser refuses it
    EXPECT_FALSE(DeclaresDocumentType(""));
    EXPECT_FALSE(DeclaresDocumentType("<!-- never closed <!DOCTYPE x>"));
    EXPECT_FALSE(DeclaresDocumentType(std::string("\0", 1)));
}

TEST(SelfUpdateRules, HelperWaitsOnlyForAnExecutableThatIsHeld)
{
    for (const std::uint32_t held : {5u, 32u, 33u, 303u, 1224u}) EXPECT_TRUE(ReplacementMayStillSucceed(held)) << held;
    // The staged file or the folder missing, a bad name, another volume.
    for (const std::uint32_t final : {0u, 2u, 3u, 17u, 123u, 183u}) EXPECT_FALSE(ReplacementMayStillSucceed(final)) << final;
    EXPECT_EQ(kReplaceRetryLimitMs / kReplaceRetryIntervalMs, 60u);
}

TEST(SelfUpdateRules, StagedFileLiesBesideTheExecutable)
{
    EXPECT_EQ(StagedPathFor("C:\\Apps\\Upd.exe"), "C:\\Apps\\Upd.Update");
    EXPECT_EQ(StagedPathFor("C:\\Apps\\Upd"), "C:\\Apps\\Upd.Update");
    EXPECT_EQ(StagedPathFor("C:\\My.Apps\\Upd"), "C:\\My.Apps\\Upd.Update");
    EXPECT_EQ(StagedPathFor("C:\\My.Apps\\Upd.tar.exe"), "C:\\My.Apps\\Upd.tar.Update");
    EXPECT_EQ(StagedPathFor("C:\\Program Files\\T\\TallowfinUpdate.exe"), "C:\\Program Files\\T\\TallowfinUpdate.Update");
    // Never the executable itself, whatever the case of its extension.
    EXPECT_EQ(StagedPathFor("C:\\Apps\\Upd.update"), "C:\\Apps\\Upd.update.Update");
    EXPECT_EQ(StagedPathFor("C:\\Apps\\Upd.Update"), "C:\\Apps\\Upd.Update.Update");
}

TEST(SelfUpdateRules, HelperParametersReadBackAsTheHelperReadsThem)
{
    const std::string staged = "C:\\Program Files\\\xBE\xF7 T\\Upd.Update";
    const std::string target = "C:\\Program Files\\\xBE\xF7 T\\Upd.exe";
    const std::string parameters = HelperParameters(staged, target, 4294967295u);
    EXPECT_EQ(parameters, "\"" + staged + "\" \"" + target + "\" 4294967295");
    EXPECT_EQ(SplitCommandLine("UpdateMgr.exe " + parameters, IsCp949LeadByte),
              (std::vector<std::string>{staged, target, "4294967295"}));
    EXPECT_EQ(HelperParameters("a", "b", 0), "\"a\" \"b\" 0");
}

TEST(LaunchRules, OnlyAMinusHFirstArgumentIsPassedOn)
{
    EXPECT_EQ(MainProgramParameters(""), "-K:qbzmwrtaxnle");
    EXPECT_EQ(MainProgramParameters("-H"), "-K:qbzmwrtaxnle -H");
    EXPECT_EQ(MainProgramParameters("-h"), "-K:qbzmwrtaxnle -H");
    for (const char* other : {"/H", "-Hidden", "H", "-H ", "--H", "-"})
        EXPECT_EQ(MainProgramParameters(other), "-K:qbzmwrtaxnle") << other;
}

TEST(ErrorText, FullStopIsAppendedAfterACharacterThatSortsAfterIt)
{
    EXPECT_EQ(ErrorBoxText("Access denied", IsCp949LeadByte), "Access denied.");
    EXPECT_EQ(ErrorBoxText("Access denied.", IsCp949LeadByte), "Access denied.");
    EXPECT_EQ(ErrorBoxText("Error 5", IsCp949LeadByte), "Error 5.");
    EXPECT_EQ(ErrorBoxText("Is it?", IsCp949LeadByte), "Is it?.");       // '?' sorts after '.'
    EXPECT_EQ(ErrorBoxText("Done!", IsCp949LeadByte), "Done!");         // '!' sorts before
    EXPECT_EQ(ErrorBoxText("(x)", IsCp949LeadByte), "(x)");
    EXPECT_EQ(ErrorBoxText("", IsCp949LeadByte), "");
    // A Korean last character counts by its lead byte, which sorts after '.';
    // its trail byte (0x2E would be '.') is never taken for a character.
    EXPECT_EQ(ErrorBoxText("\xB0\xA1", IsCp949LeadByte), "\xB0\xA1.");
    EXPECT_EQ(ErrorBoxText("x\x81\x2E", +[](unsigned char b) { return b == 0x81; }), "x\x81\x2E.");
}

}  // namespace
}  // namespace tallowfin
