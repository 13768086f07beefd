// tallowfin-pecheck: checks the Windows executables collected for a release,
// or shows what the reader sees in any PE file.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "tools/pe/byte_view.h"
#include "tools/pe/pe_image.h"
#include "tools/pe/pe_imports.h"
#include "tools/pe/pe_resources.h"
#include "tools/pe/release_checks.h"

namespace {

using namespace tallowfin::pe;

constexpr char kUsage[] =
    "usage: tallowfin-pecheck [--helper FILE] [--expect-version X.Y.Z] DIR\n"
    "         checks TallowfinUpdate.exe, UpdateMgr.exe and tallowfin-publish.exe in DIR; the embedded\n"
    "         helper is compared with FILE (default DIR/UpdateMgr.exe)\n"
    "       tallowfin-pecheck --show FILE...\n"
    "       tallowfin-pecheck --project-version\n";

int Show(int argc, char** argv)
{
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        try {
            const PeImage image = PeImage::FromFile(argv[i]);
            std::printf("%s\n  machine %s, subsystem %u, %s\n  imports:", argv[i], Hex(image.Machine()).c_str(),
                        image.Subsystem(), image.IsPe32Plus() ? "PE32+" : "PE32");
            for (const std::string& dll : ImportedDllNames(image)) std::printf(" %s", dll.c_str());
            std::printf("\n");
            const ResourceDirectory resources(image);
            for (const ResourceEntry& e : resources.Entries()) {
                std::printf("  resource %s/%s language %u: %u bytes\n", e.type.ToString().c_str(),
                            e.name.ToString().c_str(), e.language, e.size);
            }
        } catch (const std::exception& error) {
            std::printf("%s: %s\n", argv[i], error.what());
            status = 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::string_view(argv[1]) == "--project-version") {
        std::printf("%s\n", TALLOWFIN_PROJECT_VERSION);
        return 0;
    }
    if (argc >= 3 && std::string_view(argv[1]) == "--show") return Show(argc, argv);

    // The checker is built from the same tree as the release, so the
    // version it was configured with is the one the files must carry.
    ReleaseExpectations expected{TALLOWFIN_PROJECT_VERSION, {}};
    std::filesystem::path dir;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--helper" && i + 1 < argc) {
            expected.helper = argv[++i];
        } else if (arg == "--expect-version" && i + 1 < argc) {
            expected.version = argv[++i];
        } else if (!arg.starts_with("-") && dir.empty()) {
            dir = arg;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (dir.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (expected.helper.empty()) expected.helper = dir / "UpdateMgr.exe";

    int failed = 0;
    int total = 0;
    for (const ReleaseFileRule& rule : ReleaseFiles()) {
        for (const CheckLine& line : CheckExecutable(dir / rule.fileName, rule, expected)) {
            ++total;
            failed += line.passed ? 0 : 1;
            std::printf("%-4s %-22s %-16s %s\n", line.passed ? "ok" : "FAIL", line.file.c_str(), line.check.c_str(),
                        line.detail.c_str());
        }
    }
    std::printf("%d checks, %d failed\n", total, failed);
    return failed == 0 ? 0 : 1;
}
