// The PE reader on a program that the MinGW cross toolchain built (when the
// build machine has it): hand-made images only show that the reader agrees
// with its own idea of the format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

#include "tools/pe/manifest_text.h"
#include "tools/pe/pe_image.h"
#include "tools/pe/pe_imports.h"
#include "tools/pe/pe_resources.h"
#include "tools/pe/version_info.h"

namespace {

using namespace tallowfin::pe;

std::vector<std::uint8_t> ReadFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(PeFromTheToolchain, HeadersImportsAndResources)
{
#ifndef TALLOWFIN_TOOLCHAIN_FIXTURE
    GTEST_SKIP() << "no MinGW cross compiler on this machine";
#else
    const PeImage image = PeImage::FromFile(TALLOWFIN_TOOLCHAIN_FIXTURE);
    EXPECT_EQ(image.Machine(), kMachineI386);
    EXPECT_EQ(image.Subsystem(), kSubsystemWindowsGui);
    EXPECT_FALSE(image.IsPe32Plus());

    std::vector<std::string> dlls;
    for (std::string dll : ImportedDllNames(image)) {
        for (char& c : dll) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        dlls.push_back(dll);
    }
    for (const char* wanted : {"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL"}) {
        EXPECT_NE(std::find(dlls.begin(), dlls.end(), wanted), dlls.end()) << wanted;
    }

    const ResourceDirectory resources(image);
    const ResourceEntry* payload = resources.Find(ResourceId::Named("EXE"), ResourceId::Named("PAYLOAD"));
    ASSERT_NE(payload, nullptr);
    const auto data = resources.Data(*payload);
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.end()), ReadFile(TALLOWFIN_TOOLCHAIN_PAYLOAD));

    const ResourceEntry* manifest = resources.Find(ResourceId::Number(kResourceManifest), ResourceId::Number(1));
    ASSERT_NE(manifest, nullptr);
    const auto text = resources.Data(*manifest);
    EXPECT_EQ(RequestedExecutionLevel({reinterpret_cast<const char*>(text.data()), text.size()}),
              "requireAdministrator");

    const ResourceEntry* version = resources.Find(ResourceId::Number(kResourceVersion), ResourceId::Number(1));
    ASSERT_NE(version, nullptr);
    const VersionInfo info = ParseVersionInfo(resources.Data(*version));
    EXPECT_EQ(VersionText(info.fileVersion), "2.5.17.3");
    EXPECT_EQ(VersionText(info.productVersion), "2.5.0.0");
    EXPECT_EQ(info.strings.at("CompanyName"), "Kestal");
    EXPECT_EQ(info.strings.at("OriginalFilename"), "gui_program.exe");
#endif
}

}  // namespace
