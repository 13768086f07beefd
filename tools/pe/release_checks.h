#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin::pe {

// What one shipped Windows executable must be.
struct ReleaseFileRule {
    std::string fileName;
    std::uint16_t subsystem = 0;
    bool hasIcon = false;               // the product's icon, as MAINICON
    bool needsCommonControls6 = false;  // it shows controls that should look native
    bool embedsHelper = false;          // it carries UpdateMgr.exe as EXE/VESTRAMOLIN
};

// The Windows executables of a release, as collected in dist/.
const std::vector<ReleaseFileRule>& ReleaseFiles();

struct ReleaseExpectations {
    std::string version;           // "1.0.0": the file version must be 1.0.0.0
    std::filesystem::path helper;  // the helper as the build made it
};

struct CheckLine {
    std::string file;
    std::string check;
    bool passed = false;
    std::string detail;
};

// All checks of one file, one line each. A file whose headers or resource
// tree cannot be read gets a failing line for that, and none for what
// depends on it.
std::vector<CheckLine> CheckExecutable(const std::filesystem::path& path, const ReleaseFileRule& rule,
                                       const ReleaseExpectations& expected);

// A DLL that every supported Windows has: anything else would have to ship
// beside the program, and a statically linked release ships nothing.
bool IsSystemDll(std::string_view name);

}  // namespace tallowfin::pe
