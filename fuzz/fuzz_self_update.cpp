// The self-replacement hand-over end to end in memory: the staged path beside
// the executable, the command line the updater writes for the helper, and
// the helper reading it back with its own reader.
#include "common/int_text.h"
#include "common/path_rules.h"
#include "fuzz/fuzz_support.h"
#include "helper/command_line.h"
#include "selfreplace/self_update_rules.h"

#include <string>
#include <vector>

using namespace tallowfin;
using tallowfin::fuzz::Cp949Text;
using tallowfin::fuzz::Shown;

namespace {

constexpr std::string_view kStagedExtension = ".Update";

void CheckStagedPath(std::string_view target)
{
    const std::string staged = StagedPathFor(target);
    FUZZ_CHECK(staged.ends_with(kStagedExtension));
    // Never the executable itself: the helper deletes the staged file after
    // its copy.
    FUZZ_CHECK_SAID(AsciiLower(staged) != AsciiLower(target), Shown(target) + " -> " + Shown(staged));
    const std::string_view stem = std::string_view(staged).substr(0, staged.size() - kStagedExtension.size());
    // Only the extension is replaced (or, where that would name the
    // executable, one is added), so the staged copy lies in the same folder
    // and the helper's copy stays on one volume.
    FUZZ_CHECK_SAID(target.starts_with(stem), Shown(target) + " -> " + Shown(staged));
    if (AsciiLower(ExtensionOf(target)) == ".update") FUZZ_CHECK(stem == target);
    else FUZZ_CHECK(std::string(stem) + ExtensionOf(target) == target);
    FUZZ_CHECK_SAID(ProgramDirectoryOf(staged) == ProgramDirectoryOf(target), Shown(target) + " -> " + Shown(staged));
    FUZZ_CHECK(ExtensionOf(staged) == kStagedExtension);
}

std::string QuoteAndControls()
{
    std::string bytes = "\"";
    for (char c = 1; c < ' '; ++c) bytes.push_back(c);
    return bytes;
}

std::vector<std::string> ReadAsHelper(const std::string& line, LeadBytePredicate isLead)
{
    return SplitCommandLine(line, isLead);
}

void CheckHandOver(FuzzedDataProvider& data)
{
    // Windows paths hold neither quotes nor control characters, and in code
    // page 949 only whole characters.
    std::string target = Cp949Text(data, 120, QuoteAndControls(), '_');
    if (target.empty()) target = "a.exe";
    const std::string helperFolder = Cp949Text(data, 40, "\"", '_');
    const auto processId = data.ConsumeIntegral<std::uint32_t>();

    const std::string staged = StagedPathFor(target);
    const std::string parameters = HelperParameters(staged, target, processId);
    // The shell puts the program before the parameters, quoted when it
    // holds a blank; how it is written must not matter.
    const std::string helper = helperFolder.empty() ? std::string(kHelperFile)
                                                    : "\"" + helperFolder + "\\" + kHelperFile + "\"";
    const std::string line = helper + " " + parameters;

    for (const LeadBytePredicate isLead : {LeadBytePredicate{nullptr}, LeadBytePredicate{&IsCp949LeadByte}}) {
        const auto args = ReadAsHelper(line, isLead);
        FUZZ_CHECK_SAID(args.size() == 3, Shown(line));
        FUZZ_CHECK_SAID(args[0] == staged, Shown(line) + " -> " + Shown(args[0]));
        FUZZ_CHECK_SAID(args[1] == target, Shown(line) + " -> " + Shown(args[1]));
        // The helper reads the id as a 64-bit number and keeps the low 32 bits.
        const auto read = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ReadIntegerText<std::int64_t>(args[2])));
        FUZZ_CHECK_SAID(read == processId, args[2]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    CheckStagedPath(std::string_view(reinterpret_cast<const char*>(bytes), size));
    FuzzedDataProvider data(bytes, size);
    CheckHandOver(data);
    return 0;
}
