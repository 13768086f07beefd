#include "helper/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tallowfin::IsCp949LeadByte;
using tallowfin::SplitCommandLine;

namespace {

std::vector<std::string> Split(const std::string& line) { return SplitCommandLine(line, IsCp949LeadByte); }
using Args = std::vector<std::string>;

}  // namespace

TEST(CommandLine, QuotedPathsArriveWhole)
{
    EXPECT_EQ(Split(R"(UpdateMgr.exe "C:\Program Files\T\Upd.Update" "C:\Program Files\T\Upd.exe" 1234)"),
              (Args{R"(C:\Program Files\T\Upd.Update)", R"(C:\Program Files\T\Upd.exe)", "1234"}));
    // The program's own name may be quoted too and is skipped by the same rules.
    EXPECT_EQ(Split(R"("C:\a b\UpdateMgr.exe"  "x"	"y"   7)"), (Args{"x", "y", "7"}));
}

TEST(CommandLine, KoreanBytesArriveUnchanged)
{
    // "업데이트" in code page 949, in a quoted path with a blank.
    const std::string korean = "\xBE\xF7\xB5\xA5\xC0\xCC\xC6\xAE";
    const std::string path = "C:\\" + korean + " \\a.exe";
    EXPECT_EQ(Split("h \"" + path + "\" \"" + path + ".new\" 1"), (Args{path, path + ".new", "1"}));
}

TEST(CommandLine, TrailBytesAreNeverSeparatorsOrQuotes)
{
    // With a made-up lead byte, the byte after it belongs to the same character
    // even where it would otherwise end the token or open a quote.
    auto leadIs80 = [](unsigned char b) { return b == 0x80; };
    EXPECT_EQ(SplitCommandLine("p a\x80\"b c", +leadIs80), (Args{"a\x80\"b", "c"}));
    EXPECT_EQ(SplitCommandLine("p a\x80 b", +leadIs80), (Args{"a\x80 b"}));
    // A lead byte at the very end is taken alone.
    EXPECT_EQ(SplitCommandLine("p a\x80", +leadIs80), (Args{"a\x80"}));
}

TEST(CommandLine, QuotesOpenAndCloseAnywhereWithoutEscapes)
{
    EXPECT_EQ(Split(R"(p a"b c"d e)"), (Args{"ab cd", "e"}));
    // A backslash before a quote is an ordinary character.
    EXPECT_EQ(Split(R"(p "C:\dir\" next)"), (Args{R"(C:\dir\)", "next"}));
    EXPECT_EQ(Split(R"(p a\"b c)"), (Args{R"(a\b c)"}));
    // An unterminated quote runs to the end.
    EXPECT_EQ(Split(R"(p "a b)"), (Args{"a b"}));
}

TEST(CommandLine, EmptyQuotesAtTokenStartAreDropped)
{
    EXPECT_EQ(Split(R"(p "" "a" "" b)"), (Args{"a", "b"}));
    EXPECT_EQ(Split(R"(p ""x)"), (Args{"x"}));
    EXPECT_EQ(Split(R"(p """")"), Args{});
    // Inside a token the pair is an empty quoted stretch.
    EXPECT_EQ(Split(R"(p a""b)"), (Args{"ab"}));
}

TEST(CommandLine, SeparatorsAreCodesOneToThirtyTwo)
{
    EXPECT_EQ(Split("p\x01" "a\x1F" "b\tc\r\nd"), (Args{"a", "b", "c", "d"}));
    EXPECT_EQ(Split("p"), Args{});
    EXPECT_EQ(Split(""), Args{});
    EXPECT_EQ(Split("p   "), Args{});
    // The text ends at its first zero byte.
    EXPECT_EQ(Split(std::string("p a\0b", 5)), (Args{"a"}));
}

TEST(CommandLine, CountingStopsAtAnEmptyToken)
{
    // A lone quote at the end yields an empty token, which ends the arguments.
    EXPECT_EQ(Split(R"(p a b ")"), (Args{"a", "b"}));
    EXPECT_EQ(Split("p a b c d"), (Args{"a", "b", "c", "d"}));
}
