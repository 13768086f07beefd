// The PE reader on images built here: what it reads from sound files, and
// that damaged ones end in PeFormatError rather than a read out of bounds
// (this program runs under the address sanitizer).
#include <gtest/gtest.h>

#include "tests/native/pe_builder.h"
#include "tools/pe/pe_error.h"
#include "tools/pe/pe_image.h"
#include "tools/pe/pe_imports.h"
#include "tools/pe/pe_resources.h"

namespace {

using namespace tallowfin::pe;
using namespace tallowfin::testing;

FakePe UpdaterLike()
{
    FakePe pe;
    pe.imports = {"KERNEL32.dll", "USER32.dll", "msvcrt.dll"};
    pe.resources = {
        {ResourceId::Named("EXE"), ResourceId::Named("VESTRAMOLIN"), Bytes("MZ helper bytes")},
        {ResourceId::Number(kResourceManifest), ResourceId::Number(1), Bytes("<assembly/>")},
        {ResourceId::Number(kResourceIcon), ResourceId::Number(1), Bytes("small icon"), 1033},
        {ResourceId::Number(kResourceIcon), ResourceId::Number(1), Bytes("Korean icon"), 1042},
        {ResourceId::Number(kResourceGroupIcon), ResourceId::Named("MAINICON"), Bytes("group")},
    };
    return pe;
}

std::string Text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

// Everything a checker reads; throws what the reader throws.
void ReadAll(std::vector<std::uint8_t> bytes)
{
    const PeImage image(std::move(bytes));
    ImportedDllNames(image);
    const ResourceDirectory resources(image);
    for (const ResourceEntry& e : resources.Entries()) resources.Data(e);
}

std::string ErrorOf(std::vector<std::uint8_t> bytes)
{
    try {
        ReadAll(std::move(bytes));
    } catch (const PeFormatError& error) {
        return error.what();
    }
    return "";
}

TEST(PeHeaders, MachineSubsystemAndLayoutOfBothWidths)
{
    const PeImage pe32(BuildPe(UpdaterLike()).bytes);
    EXPECT_EQ(pe32.Machine(), kMachineI386);
    EXPECT_EQ(pe32.Subsystem(), kSubsystemWindowsGui);
    EXPECT_FALSE(pe32.IsPe32Plus());
    ASSERT_EQ(pe32.Sections().size(), 2u);
    EXPECT_EQ(pe32.Sections()[1].name, ".rsrc");

    FakePe wide = UpdaterLike();
    wide.machine = kMachineAmd64;
    wide.subsystem = kSubsystemWindowsConsole;
    wide.pe32Plus = true;
    const PeImage pe64(BuildPe(wide).bytes);
    EXPECT_EQ(pe64.Machine(), kMachineAmd64);
    EXPECT_EQ(pe64.Subsystem(), kSubsystemWindowsConsole);
    EXPECT_TRUE(pe64.IsPe32Plus());
    // The data directories sit 16 bytes further on in this layout.
    EXPECT_EQ(ImportedDllNames(pe64), UpdaterLike().imports);
    EXPECT_EQ(ResourceDirectory(pe64).Entries().size(), 5u);
}

TEST(PeImports, NamesInTableOrderAndNoneWithoutTable)
{
    const PeImage image(BuildPe(UpdaterLike()).bytes);
    EXPECT_EQ(ImportedDllNames(image), (std::vector<std::string>{"KERNEL32.dll", "USER32.dll", "msvcrt.dll"}));

    FakePe bare = UpdaterLike();
    bare.imports.clear();
    EXPECT_TRUE(ImportedDllNames(PeImage(BuildPe(bare).bytes)).empty());
}

TEST(PeResources, TypesNamesLanguagesAndData)
{
    const PeImage image(BuildPe(UpdaterLike()).bytes);
    const ResourceDirectory resources(image);
    ASSERT_EQ(resources.Entries().size(), 5u);

    std::vector<std::string> types;
    for (const ResourceId& t : resources.Types()) types.push_back(t.ToString());
    EXPECT_EQ(types, (std::vector<std::string>{"EXE", "#24", "#3", "#14"}));

    // Named lookups ignore case, as FindResource does; numbers and names never match.
    const ResourceEntry* helper = resources.Find(ResourceId::Named("exe"), ResourceId::Named("VestraMolin"));
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(Text(resources.Data(*helper)), "MZ helper bytes");
    EXPECT_EQ(resources.Find(ResourceId::Number(kResourceManifest), ResourceId::Named("1")), nullptr);
    EXPECT_EQ(resources.Find(ResourceId::Named("EXE"), ResourceId::Named("VESTRAMOLINX")), nullptr);

    // Two languages of one icon: both listed, the first found.
    const ResourceEntry* icon = resources.Find(ResourceId::Number(kResourceIcon), ResourceId::Number(1));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->language, 1033);
    EXPECT_EQ(Text(resources.Data(*icon)), "small icon");
    EXPECT_EQ(resources.Entries()[3].language, 1042);
    EXPECT_EQ(Text(resources.Data(resources.Entries()[3])), "Korean icon");
}

TEST(PeDamage, HeadersThatAreNotAnExecutable)
{
    EXPECT_NE(ErrorOf({}).find("too short"), std::string::npos);
    auto bytes = BuildPe(UpdaterLike()).bytes;

    auto noMz = bytes;
    noMz[0] = 'Z';
    EXPECT_NE(ErrorOf(noMz).find("no MZ signature"), std::string::npos);

    auto noPe = bytes;
    noPe[0x41] = 'X';
    EXPECT_NE(ErrorOf(noPe).find("no PE signature"), std::string::npos);

    auto farHeader = bytes;
    PutU32(farHeader, 0x3c, 0xffff'fff0);
    EXPECT_NE(ErrorOf(farHeader).find("past the end"), std::string::npos);

    auto badMagic = bytes;
    PutU16(badMagic, BuildPe(UpdaterLike()).optionalHeader, 0x107);
    EXPECT_NE(ErrorOf(badMagic).find("magic 0x107"), std::string::npos);

    auto tooManyDirectories = bytes;
    PutU32(tooManyDirectories, BuildPe(UpdaterLike()).optionalHeader + 92, 17);
    EXPECT_NE(ErrorOf(tooManyDirectories).find("do not fit"), std::string::npos);
}

TEST(PeDamage, EveryTruncationIsReportedAsSuch)
{
    const auto bytes = BuildPe(UpdaterLike()).bytes;
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        const std::string error = ErrorOf({bytes.begin(), bytes.begin() + length});
        EXPECT_FALSE(error.empty()) << "cut at " << length;
    }
    EXPECT_NE(ErrorOf({bytes.begin(), bytes.end() - 1}).find("truncated"), std::string::npos);
}

TEST(PeDamage, ImportNameWithoutEndOrOutsideTheFile)
{
    BuiltPe built = BuildPe(UpdaterLike());
    auto unterminated = built.bytes;
    // The last name runs into the section's zero padding: cut the section there.
    const std::size_t sectionHeader = built.optionalHeader + 224;
    const std::size_t nameEnd = built.importNames.back() + std::string("msvcrt.dll").size();
    PutU32(unterminated, sectionHeader + 8, static_cast<std::uint32_t>(nameEnd - 0x200));
    EXPECT_NE(ErrorOf(unterminated).find("not terminated"), std::string::npos);

    auto outside = built.bytes;
    PutU32(outside, 0x200 + 12, 0x0900'0000);
    EXPECT_NE(ErrorOf(outside).find("in no section"), std::string::npos);
}

TEST(PeDamage, ResourceTreeLoopsSharingAndBadOffsets)
{
    const BuiltPe built = BuildPe(UpdaterLike());
    const std::size_t firstTypeTarget = built.resourceRoot + 16 + 4;

    auto loop = built.bytes;
    PutU32(loop, firstTypeTarget, 0x8000'0000);  // the first type's directory is the root again
    EXPECT_NE(ErrorOf(loop).find("reached twice"), std::string::npos);

    auto shared = built.bytes;
    const std::uint32_t secondType = shared[built.resourceRoot + 16 + 12] | shared[built.resourceRoot + 16 + 13] << 8;
    PutU32(shared, firstTypeTarget, 0x8000'0000 | secondType);
    EXPECT_NE(ErrorOf(shared).find("reached twice"), std::string::npos);

    auto far = built.bytes;
    PutU32(far, firstTypeTarget, 0x8000'0000 | 0x7fff'fff0);
    EXPECT_NE(ErrorOf(far).find("outside"), std::string::npos);

    auto dataAtTypeLevel = built.bytes;
    PutU32(dataAtTypeLevel, firstTypeTarget, static_cast<std::uint32_t>(built.dataEntries[0] - built.resourceRoot));
    EXPECT_NE(ErrorOf(dataAtTypeLevel).find("where a directory belongs"), std::string::npos);

    auto farName = built.bytes;
    PutU32(farName, built.resourceRoot + 16, 0x8000'0000 | 0x0100'0000);
    EXPECT_NE(ErrorOf(farName).find("outside"), std::string::npos);

    auto hugeCount = built.bytes;
    PutU16(hugeCount, built.resourceRoot + 14, 0xffff);
    EXPECT_NE(ErrorOf(hugeCount).find("outside"), std::string::npos);

    auto farData = built.bytes;
    PutU32(farData, built.dataEntries[0], 0x0050'0000);
    EXPECT_NE(ErrorOf(farData).find("data of resource EXE/VESTRAMOLIN"), std::string::npos);

    auto longData = built.bytes;
    PutU32(longData, built.dataEntries[0] + 4, 0x10'0000);
    EXPECT_NE(ErrorOf(longData).find("run past the end"), std::string::npos);
}

TEST(PeDamage, ResourceTreeDeeperThanThreeLevels)
{
    FakePe pe;
    pe.resources = {{ResourceId::Number(1), ResourceId::Number(1), Bytes("a")},
                    {ResourceId::Number(2), ResourceId::Number(1), Bytes("b")}};
    BuiltPe built = BuildPe(pe);
    // The first language entry points at the second type's name directory,
    // which the walk has not entered yet.
    const std::size_t firstLanguageEntry = built.dataEntries[0] - 32;
    const std::size_t secondTypeNameDirectory = built.dataEntries[0] - 24 - built.resourceRoot;
    PutU32(built.bytes, firstLanguageEntry + 4, 0x8000'0000 | static_cast<std::uint32_t>(secondTypeNameDirectory));
    EXPECT_NE(ErrorOf(built.bytes).find("deeper"), std::string::npos);
}

TEST(PeDamage, NoSingleByteChangeEscapesAsAnotherError)
{
    // Whatever a damaged byte does, the reader either copes or says why.
    const auto bytes = BuildPe(UpdaterLike()).bytes;
    int refused = 0;
    int read = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        for (std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0x80}, std::uint8_t{0xff}}) {
            auto damaged = bytes;
            damaged[at] = value;
            try {
                ReadAll(damaged);
                ++read;
            } catch (const PeFormatError&) {
                ++refused;
            } catch (const std::exception& error) {
                ADD_FAILURE() << "byte " << at << " = " << int{value} << ": " << error.what();
            }
        }
    }
    // Most bytes are padding or data; the headers' and the tree's are not.
    EXPECT_GT(refused, 20);
    EXPECT_GT(read, refused);
}

}  // namespace
