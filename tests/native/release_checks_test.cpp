// The release checks on files built here: a sound release set passes, and
// each fault a release could carry fails the check that names it.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/native/pe_builder.h"
#include "tools/pe/pe_image.h"
#include "tools/pe/release_checks.h"

namespace {

using namespace tallowfin::pe;
using namespace tallowfin::testing;
namespace fs = std::filesystem;

constexpr char kManifest[] = R"(<assembly><dependency><dependentAssembly>
    <assemblyIdentity name="Microsoft.Windows.Common-Controls" version="6.0.0.0"/></dependentAssembly></dependency>
    <requestedExecutionLevel level="asInvoker"/></assembly>)";

FakePe Program(const std::string& fileName, std::uint16_t subsystem)
{
    FakePe pe;
    pe.subsystem = subsystem;
    pe.imports = {"KERNEL32.dll", "msvcrt.dll"};
    pe.resources = {
        {ResourceId::Number(kResourceGroupIcon), ResourceId::Named("MAINICON"), Bytes("group")},
        {ResourceId::Number(kResourceVersion), ResourceId::Number(1),
         BuildVersionInfo(1, 0, 0, 0, {{"OriginalFilename", fileName}, {"FileDescription", "test"}})},
        {ResourceId::Number(kResourceManifest), ResourceId::Number(1), Bytes(kManifest)},
    };
    return pe;
}

class ReleaseChecks : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::path(::testing::TempDir()) /
               ("release_checks_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        helper_ = BuildPe(Program("UpdateMgr.exe", kSubsystemWindowsGui));
        Write("UpdateMgr.exe", helper_.bytes);
        updater_ = Program("TallowfinUpdate.exe", kSubsystemWindowsGui);
        updater_.imports.push_back("COMCTL32.DLL");
        updater_.resources.push_back({ResourceId::Named("EXE"), ResourceId::Named("VESTRAMOLIN"), helper_.bytes});
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        std::ofstream(dir_ / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                           static_cast<std::streamsize>(bytes.size()));
    }

    // Writes `pe` as the file of a release rule and checks it.
    std::vector<CheckLine> Check(const FakePe& pe, std::size_t rule)
    {
        const ReleaseFileRule& r = ReleaseFiles().at(rule);
        Write(r.fileName, BuildPe(pe).bytes);
        return CheckExecutable(dir_ / r.fileName, r, {"1.0.0", dir_ / "UpdateMgr.exe"});
    }

    static const CheckLine* Line(const std::vector<CheckLine>& lines, const std::string& check)
    {
        for (const CheckLine& line : lines) {
            if (line.check == check) return &line;
        }
        return nullptr;
    }

    static std::vector<std::string> Failed(const std::vector<CheckLine>& lines)
    {
        std::vector<std::string> failed;
        for (const CheckLine& line : lines) {
            if (!line.passed) failed.push_back(line.check + ": " + line.detail);
        }
        return failed;
    }

    fs::path dir_;
    BuiltPe helper_;
    FakePe updater_;
};

TEST_F(ReleaseChecks, SoundFilesPassEveryCheck)
{
    const auto updater = Check(updater_, 0);
    EXPECT_TRUE(Failed(updater).empty()) << ::testing::PrintToString(Failed(updater));
    std::vector<std::string> names;
    for (const CheckLine& line : updater) names.push_back(line.check);
    EXPECT_EQ(names, (std::vector<std::string>{"machine", "subsystem", "imports", "icon", "manifest",
                                               "common controls", "version", "embedded helper"}));

    // The helper carries no icon and needs no common controls.
    FakePe helper = Program("UpdateMgr.exe", kSubsystemWindowsGui);
    helper.resources.erase(helper.resources.begin());
    EXPECT_TRUE(Failed(Check(helper, 1)).empty());
    EXPECT_TRUE(Failed(Check(Program("tallowfin-publish.exe", kSubsystemWindowsConsole), 2)).empty());
}

TEST_F(ReleaseChecks, WrongMachineOrSubsystem)
{
    FakePe wide = updater_;
    wide.machine = kMachineAmd64;
    wide.pe32Plus = true;
    EXPECT_EQ(Failed(Check(wide, 0)), (std::vector<std::string>{"machine: 0x8664, not i386 (0x14c)"}));

    EXPECT_EQ(Failed(Check(Program("tallowfin-publish.exe", kSubsystemWindowsGui), 2)),
              (std::vector<std::string>{"subsystem: GUI (2), expected console (3)"}));
}

TEST_F(ReleaseChecks, RuntimeDllsOfTheToolchainFail)
{
    FakePe dynamic = updater_;
    dynamic.imports = {"KERNEL32.dll", "libstdc++-6.dll", "libgcc_s_dw2-1.dll", "libwinpthread-1.dll"};
    EXPECT_EQ(Failed(Check(dynamic, 0)),
              (std::vector<std::string>{"imports: not system DLLs: libstdc++-6.dll, libgcc_s_dw2-1.dll, "
                                        "libwinpthread-1.dll"}));

    EXPECT_TRUE(IsSystemDll("WS2_32.dll"));
    EXPECT_TRUE(IsSystemDll("api-ms-win-crt-runtime-l1-1-0.dll"));
    EXPECT_FALSE(IsSystemDll("api-ms-win-crt-runtime-l1-1-0"));
    EXPECT_FALSE(IsSystemDll("kernel32.dll.evil.dll"));
}

TEST_F(ReleaseChecks, ManifestWithoutLevelOrCommonControls)
{
    FakePe noLevel = updater_;
    noLevel.resources[2].data = Bytes(R"(<assemblyIdentity name="Microsoft.Windows.Common-Controls" version="6.0.0.0"/>)");
    const auto lines = Check(noLevel, 0);
    EXPECT_FALSE(Line(lines, "manifest")->passed);
    EXPECT_TRUE(Line(lines, "common controls")->passed);

    FakePe oddLevel = updater_;
    oddLevel.resources[2].data = Bytes(R"(<requestedExecutionLevel level="asAdministrator"/>)");
    const auto odd = Check(oddLevel, 0);
    EXPECT_EQ(Line(odd, "manifest")->detail, "execution level asAdministrator (not a level Windows knows)");
    EXPECT_FALSE(Line(odd, "common controls")->passed);

    FakePe none = updater_;
    none.resources.erase(none.resources.begin() + 2);
    EXPECT_EQ(Failed(Check(none, 0)), (std::vector<std::string>{"manifest: no RT_MANIFEST resource #1"}));
}

TEST_F(ReleaseChecks, VersionAndOriginalName)
{
    FakePe old = updater_;
    old.resources[1].data = BuildVersionInfo(0, 9, 0, 0, {{"OriginalFilename", "TallowfinUpdate.exe"}});
    EXPECT_EQ(Failed(Check(old, 0)), (std::vector<std::string>{"version: file version 0.9.0.0, the project is 1.0.0.0"}));

    FakePe none = updater_;
    none.resources.erase(none.resources.begin() + 1);
    EXPECT_EQ(Failed(Check(none, 0)), (std::vector<std::string>{"version: no VERSIONINFO resource"}));
}

TEST_F(ReleaseChecks, EmbeddedHelperMustEqualTheBuiltFile)
{
    FakePe stale = updater_;
    stale.resources.back().data[100] ^= 1;
    EXPECT_EQ(Failed(Check(stale, 0)),
              (std::vector<std::string>{"embedded helper: differs from " + (dir_ / "UpdateMgr.exe").string() +
                                        " at byte 100"}));

    FakePe missing = updater_;
    missing.resources.pop_back();
    EXPECT_EQ(Failed(Check(missing, 0)), (std::vector<std::string>{"embedded helper: no EXE/VESTRAMOLIN resource"}));
}

TEST_F(ReleaseChecks, UnreadableFilesFailOnceWithTheReason)
{
    Write("TallowfinUpdate.exe", Bytes("#!/bin/sh\n# A script in place of the program, longer than a DOS header\nexit 0\n"));
    const ReleaseFileRule& rule = ReleaseFiles().at(0);
    const auto lines = CheckExecutable(dir_ / rule.fileName, rule, {"1.0.0", dir_ / "UpdateMgr.exe"});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].check, "PE headers");
    EXPECT_NE(lines[0].detail.find("no MZ signature"), std::string::npos);
}

}  // namespace
