// Reading the version resource and the manifest text of an executable.
#include <gtest/gtest.h>

#include "tests/native/pe_builder.h"
#include "tools/pe/manifest_text.h"
#include "tools/pe/pe_error.h"
#include "tools/pe/version_info.h"

namespace {

using namespace tallowfin::pe;
using namespace tallowfin::testing;

TEST(VersionInfo, FixedVersionsAndStrings)
{
    const auto data = BuildVersionInfo(1, 2, 3, 4, {{"CompanyName", "Kestal"},
                                                    {"OriginalFilename", "TallowfinUpdate.exe"},
                                                    {"Comments", ""}});
    const VersionInfo info = ParseVersionInfo(data);
    EXPECT_EQ(VersionText(info.fileVersion), "1.2.3.4");
    EXPECT_EQ(VersionText(info.productVersion), "1.2.3.4");
    EXPECT_EQ(info.strings.at("CompanyName"), "Kestal");
    EXPECT_EQ(info.strings.at("OriginalFilename"), "TallowfinUpdate.exe");
    EXPECT_EQ(info.strings.at("Comments"), "");
    EXPECT_FALSE(info.strings.contains("Translation"));
}

TEST(VersionInfo, DamagedBlocksAreRefused)
{
    const auto good = BuildVersionInfo(1, 0, 0, 0, {{"FileDescription", "Tallowfin Beta Auto Update"}});

    auto wrongKey = good;
    wrongKey[6] = 'X';
    EXPECT_THROW(ParseVersionInfo(wrongKey), PeFormatError);

    auto noSignature = good;
    noSignature[40] ^= 0xff;  // the fixed part starts after the key and its padding
    EXPECT_THROW(ParseVersionInfo(noSignature), PeFormatError);

    auto longerThanData = good;
    PutU16(longerThanData, 0, static_cast<std::uint16_t>(good.size() + 4));
    EXPECT_THROW(ParseVersionInfo(longerThanData), PeFormatError);

    EXPECT_THROW(ParseVersionInfo(std::span(good).first(30)), PeFormatError);

    // A child claiming more than its parent holds: the string table's first entry.
    auto childTooLong = good;
    const std::size_t stringFileInfo = 40 + 52;
    const std::size_t table = stringFileInfo + 6 + 2 * sizeof("StringFileInfo");
    PutU16(childTooLong, table, 0x7000);
    EXPECT_THROW(ParseVersionInfo(childTooLong), PeFormatError);
}

TEST(Manifest, ExecutionLevelWhereverTheElementIs)
{
    EXPECT_EQ(RequestedExecutionLevel(R"(<assembly><trustInfo><security><requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/></requestedPrivileges></security></trustInfo></assembly>)"),
              "asInvoker");
    // Prefixed names, single quotes, attributes in another order, spaces around '='.
    EXPECT_EQ(RequestedExecutionLevel(
                  "<asmv3:requestedExecutionLevel uiAccess='false' level = 'requireAdministrator' />"),
              "requireAdministrator");
    EXPECT_FALSE(RequestedExecutionLevel("<assembly><requestedPrivileges/></assembly>"));
    EXPECT_FALSE(RequestedExecutionLevel("<requestedExecutionLevel uiAccess=\"false\"/>"));
}

TEST(Manifest, CommentsAndDeclarationsHideNothingAndShowNothing)
{
    const std::string manifest = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
        <!-- <requestedExecutionLevel level="requireAdministrator"/> -->
        <assembly><![CDATA[<requestedExecutionLevel level="highestAvailable"/>]]>
        <requestedExecutionLevel level="asInvoker"/></assembly>)";
    EXPECT_EQ(RequestedExecutionLevel(manifest), "asInvoker");
    EXPECT_FALSE(RequestedExecutionLevel("<!-- <requestedExecutionLevel level=\"asInvoker\"/>"));
    EXPECT_FALSE(RequestedExecutionLevel("<requestedExecutionLevel level=\"asInvoker"));
}

TEST(Manifest, CommonControlsVersionSix)
{
    const std::string v6 = R"(<dependency><dependentAssembly><assemblyIdentity type="win32"
        name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*"
        publicKeyToken="6595b64144ccf1df" language="*"/></dependentAssembly></dependency>)";
    EXPECT_TRUE(DependsOnCommonControls6(v6));
    EXPECT_FALSE(DependsOnCommonControls6(
        R"(<assemblyIdentity name="Microsoft.Windows.Common-Controls" version="5.82.0.0"/>)"));
}

}  // namespace
