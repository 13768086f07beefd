#include "tools/pe/release_checks.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>

#include "tools/pe/byte_view.h"
#include "tools/pe/manifest_text.h"
#include "tools/pe/pe_error.h"
#include "tools/pe/pe_image.h"
#include "tools/pe/pe_imports.h"
#include "tools/pe/pe_resources.h"
#include "tools/pe/version_info.h"

namespace tallowfin::pe {

namespace {

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string Join(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
    return out.empty() ? "none" : out;
}

std::string SubsystemName(std::uint16_t subsystem)
{
    switch (subsystem) {
    case kSubsystemWindowsGui: return "GUI (2)";
    case kSubsystemWindowsConsole: return "console (3)";
    default: return "subsystem " + std::to_string(subsystem);
    }
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
}

// "1.0.0" names 1.0.0.0; a four-part version must match as given.
std::string FourPartVersion(const std::string& version)
{
    return std::count(version.begin(), version.end(), '.') == 2 ? version + ".0" : version;
}

class Checker {
public:
    Checker(const std::filesystem::path& path, std::vector<CheckLine>& out)
        : file_(path.filename().string()), out_(out)
    {
    }

    bool Add(std::string check, bool passed, std::string detail)
    {
        out_.push_back({file_, std::move(check), passed, std::move(detail)});
        return passed;
    }

private:
    std::string file_;
    std::vector<CheckLine>& out_;
};

void CheckManifest(Checker& c, const ResourceDirectory& resources, const ReleaseFileRule& rule)
{
    const ResourceEntry* entry = resources.Find(ResourceId::Number(kResourceManifest), ResourceId::Number(1));
    if (!entry) {
        c.Add("manifest", false, "no RT_MANIFEST resource #1");
        return;
    }
    auto data = resources.Data(*entry);
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const auto level = RequestedExecutionLevel(text);
    const bool known = level && (*level == "asInvoker" || *level == "requireAdministrator" ||
                                 *level == "highestAvailable");
    c.Add("manifest", known,
          !level ? "no requestedExecutionLevel: Windows may elevate it by its name"
                 : "execution level " + *level + (known ? "" : " (not a level Windows knows)"));
    if (rule.needsCommonControls6) {
        const bool v6 = DependsOnCommonControls6(text);
        c.Add("common controls", v6, v6 ? "version 6" : "the manifest does not ask for version 6");
    }
}

void CheckVersion(Checker& c, const ResourceDirectory& resources, const ReleaseFileRule& rule,
                  const ReleaseExpectations& expected)
{
    const ResourceEntry* entry = resources.Find(ResourceId::Number(kResourceVersion), ResourceId::Number(1));
    if (!entry) {
        c.Add("version", false, "no VERSIONINFO resource");
        return;
    }
    VersionInfo info;
    try {
        info = ParseVersionInfo(resources.Data(*entry));
    } catch (const PeFormatError& error) {
        c.Add("version", false, error.what());
        return;
    }
    const std::string found = VersionText(info.fileVersion);
    const std::string wanted = FourPartVersion(expected.version);
    const std::string original = info.strings["OriginalFilename"];
    const std::string detail = found + ", \"" + info.strings["FileDescription"] + "\"";
    if (!expected.version.empty() && found != wanted) {
        c.Add("version", false, "file version " + found + ", the project is " + wanted);
    } else if (Lower(original) != Lower(rule.fileName)) {
        c.Add("version", false, "original file name \"" + original + "\" is not " + rule.fileName);
    } else {
        c.Add("version", true, detail);
    }
}

void CheckEmbeddedHelper(Checker& c, const ResourceDirectory& resources, const ReleaseExpectations& expected)
{
    const ResourceEntry* entry = resources.Find(ResourceId::Named("EXE"), ResourceId::Named("VESTRAMOLIN"));
    if (!entry) {
        c.Add("embedded helper", false, "no EXE/VESTRAMOLIN resource");
        return;
    }
    const auto helper = ReadWholeFile(expected.helper);
    if (!helper) {
        c.Add("embedded helper", false, "cannot read " + expected.helper.string());
        return;
    }
    auto embedded = resources.Data(*entry);
    const std::string sizes = std::to_string(embedded.size()) + " bytes embedded, " +
                              std::to_string(helper->size()) + " in " + expected.helper.string();
    if (embedded.size() != helper->size()) {
        c.Add("embedded helper", false, sizes);
        return;
    }
    auto [mine, theirs] = std::mismatch(embedded.begin(), embedded.end(), helper->begin());
    if (mine != embedded.end()) {
        c.Add("embedded helper", false, "differs from " + expected.helper.string() + " at byte " +
                                            std::to_string(mine - embedded.begin()));
        return;
    }
    c.Add("embedded helper", true, std::to_string(embedded.size()) + " bytes, identical to " +
                                       expected.helper.string());
}

}  // namespace

const std::vector<ReleaseFileRule>& ReleaseFiles()
{
    static const std::vector<ReleaseFileRule> files = {
        {.fileName = "TallowfinUpdate.exe", .subsystem = kSubsystemWindowsGui, .hasIcon = true,
         .needsCommonControls6 = true, .embedsHelper = true},
        // Hidden, and carried inside the updater: no icon to pay for.
        {.fileName = "UpdateMgr.exe", .subsystem = kSubsystemWindowsGui},
        {.fileName = "tallowfin-publish.exe", .subsystem = kSubsystemWindowsConsole, .hasIcon = true},
    };
    return files;
}

bool IsSystemDll(std::string_view name)
{
    static constexpr std::string_view kSystem[] = {
        "kernel32.dll", "user32.dll", "gdi32.dll",   "advapi32.dll", "shell32.dll", "comctl32.dll",
        "ole32.dll",    "oleaut32.dll", "version.dll", "wininet.dll", "ws2_32.dll",  "msvcrt.dll",
        "ucrtbase.dll", "bcrypt.dll",
    };
    const std::string lower = Lower(name);
    if (lower.starts_with("api-ms-win-crt-") && lower.ends_with(".dll")) return true;
    return std::find(std::begin(kSystem), std::end(kSystem), lower) != std::end(kSystem);
}

std::vector<CheckLine> CheckExecutable(const std::filesystem::path& path, const ReleaseFileRule& rule,
                                       const ReleaseExpectations& expected)
{
    std::vector<CheckLine> lines;
    Checker c(path, lines);
    std::optional<PeImage> image;
    try {
        image.emplace(PeImage::FromFile(path));
    } catch (const std::exception& error) {
        c.Add("PE headers", false, error.what());
        return lines;
    }

    c.Add("machine", image->Machine() == kMachineI386,
          image->Machine() == kMachineI386 ? "i386 (0x14c)" : Hex(image->Machine()) + ", not i386 (0x14c)");
    c.Add("subsystem", image->Subsystem() == rule.subsystem,
          SubsystemName(image->Subsystem()) +
              (image->Subsystem() == rule.subsystem ? "" : ", expected " + SubsystemName(rule.subsystem)));

    try {
        const auto dlls = ImportedDllNames(*image);
        std::vector<std::string> foreign;
        for (const std::string& dll : dlls) {
            if (!IsSystemDll(dll)) foreign.push_back(dll);
        }
        c.Add("imports", foreign.empty(), foreign.empty() ? Join(dlls) : "not system DLLs: " + Join(foreign));
    } catch (const PeFormatError& error) {
        c.Add("imports", false, error.what());
    }

    std::optional<ResourceDirectory> resources;
    try {
        resources.emplace(*image);
    } catch (const PeFormatError& error) {
        c.Add("resources", false, error.what());
        return lines;
    }
    if (rule.hasIcon) {
        const bool icon = resources->Find(ResourceId::Number(kResourceGroupIcon), ResourceId::Named("MAINICON"));
        c.Add("icon", icon, icon ? "MAINICON" : "no MAINICON icon group");
    }
    CheckManifest(c, *resources, rule);
    CheckVersion(c, *resources, rule, expected);
    if (rule.embedsHelper) CheckEmbeddedHelper(c, *resources, expected);
    return lines;
}

}  // namespace tallowfin::pe
