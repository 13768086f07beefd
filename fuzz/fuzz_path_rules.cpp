// The path rules on arbitrary bytes: each against a reference or against the
// invariants its callers rely on.
#include "common/own_names.h"
#include "common/path_rules.h"
#include "fuzz/fuzz_support.h"

#include <string>
#include <string_view>

using namespace tallowfin;
using tallowfin::fuzz::Cp949Text;
using tallowfin::fuzz::Shown;

namespace {

constexpr std::string_view kPlaceholder = "%PROGRAM%";

void CheckLetterCase(std::string_view text)
{
    const std::string lower = AsciiLower(text);
    const std::string upper = AsciiUpper(text);
    FUZZ_CHECK(lower.size() == text.size() && upper.size() == text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool capital = c >= 'A' && c <= 'Z';
        const bool small = c >= 'a' && c <= 'z';
        FUZZ_CHECK(lower[i] == (capital ? static_cast<char>(c | 0x20) : c));
        FUZZ_CHECK(upper[i] == (small ? static_cast<char>(c & ~0x20) : c));
    }
    FUZZ_CHECK(AsciiLower(upper) == lower);
    FUZZ_CHECK(AsciiUpper(lower) == upper);
}

// Position by position: at a placeholder put the directory and jump past it,
// else copy one byte.
std::string ExpandReference(std::string_view path, std::string_view directory, std::size_t& replaced)
{
    std::string out;
    replaced = 0;
    for (std::size_t i = 0; i < path.size();) {
        if (path.compare(i, kPlaceholder.size(), kPlaceholder) == 0) {
            out.append(directory);
            i += kPlaceholder.size();
            ++replaced;
        } else {
            out.push_back(path[i++]);
        }
    }
    return out;
}

void CheckExpansion(std::string_view path, std::string_view directory)
{
    std::size_t replaced = 0;
    const std::string expanded = ExpandProgramPath(path, directory);
    FUZZ_CHECK_SAID(expanded == ExpandReference(path, directory, replaced), Shown(path) + " with " + Shown(directory));
    FUZZ_CHECK(expanded.size() == path.size() - replaced * kPlaceholder.size() + replaced * directory.size());
    if (replaced == 0) FUZZ_CHECK(expanded == path);
    // What is put in is not looked into again, so the placeholder standing
    // for itself changes nothing.
    FUZZ_CHECK(ExpandProgramPath(path, kPlaceholder) == path);
}

void CheckProgramDirectory(std::string_view exePath)
{
    const std::string directory = ProgramDirectoryOf(exePath);
    FUZZ_CHECK(exePath.starts_with(directory));
    const auto last = exePath.rfind('\\');
    if (last == std::string_view::npos) {
        FUZZ_CHECK(directory.empty());
        return;
    }
    const bool driveRoot = last == 2 && exePath[1] == ':';
    // Everything up to the last backslash, which stays only at a drive's root.
    FUZZ_CHECK_SAID(directory.size() == (driveRoot ? 3 : last), Shown(exePath) + " -> " + Shown(directory));
    FUZZ_CHECK(exePath.find('\\', directory.size() + (driveRoot ? 0 : 1)) == std::string_view::npos);
}

void CheckExtension(std::string_view path)
{
    const std::string extension = ExtensionOf(path);
    const auto dot = path.rfind('.');
    const auto separator = path.find_last_of("\\:");
    const bool hasOne = dot != std::string_view::npos && (separator == std::string_view::npos || separator < dot);
    FUZZ_CHECK_SAID(extension.empty() != hasOne, Shown(path) + " -> " + Shown(extension));
    if (!hasOne) return;
    FUZZ_CHECK(path.ends_with(extension));
    FUZZ_CHECK(extension.front() == '.');
    FUZZ_CHECK(extension.find_first_of("\\:") == std::string::npos);
    FUZZ_CHECK(extension.find('.', 1) == std::string::npos);
}

// Run by run: a run of n backslashes becomes ceil(n/2); a run at the very
// start keeps its first two and halves the rest.
std::string CollapseReference(std::string_view path)
{
    std::string out;
    for (std::size_t i = 0; i < path.size();) {
        if (path[i] != '\\') {
            out.push_back(path[i++]);
            continue;
        }
        std::size_t run = 0;
        while (i + run < path.size() && path[i + run] == '\\') ++run;
        std::size_t kept = (run + 1) / 2;
        if (i == 0 && run >= 2) kept = 2 + (run - 1) / 2;
        out.append(kept, '\\');
        i += run;
    }
    return out;
}

std::string WithoutBackslashes(std::string_view text)
{
    std::string out(text);
    std::erase(out, '\\');
    return out;
}

void CheckCollapse(std::string_view path)
{
    const std::string once = CollapseDoubledBackslashes(path);
    FUZZ_CHECK_SAID(once == CollapseReference(path), Shown(path) + " -> " + Shown(once));
    FUZZ_CHECK(once.size() <= path.size());
    FUZZ_CHECK(WithoutBackslashes(once) == WithoutBackslashes(path));
    FUZZ_CHECK(path.starts_with("\\\\") == once.starts_with("\\\\"));
    // A path with no doubled backslash past a network path's leading pair
    // comes out as it went in.
    const std::size_t from = path.starts_with("\\\\") ? 2 : 0;
    if (path.find("\\\\", from) == std::string_view::npos) FUZZ_CHECK(once == path);

    // Collapsing again changes the path only where a run of three or more
    // left a pair behind.
    const std::string twice = CollapseDoubledBackslashes(once);
    const std::size_t afterLead = once.starts_with("\\\\") ? 2 : 0;
    const bool pairLeft = once.find("\\\\", afterLead) != std::string::npos;
    FUZZ_CHECK_SAID((twice == once) == !pairLeft, Shown(path));
}

// Folds the letters that stand as characters of their own, and leaves every
// double-byte character (both its bytes) as it is.
std::string FoldOutsideCharacters(std::string_view text)
{
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (IsCp949LeadByte(static_cast<unsigned char>(out[i]))) ++i;
        else if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] | 0x20);
    }
    return out;
}

void CheckSameText(std::string_view a, std::string_view b)
{
    const bool same = SamePathText(a, b, IsCp949LeadByte);
    FUZZ_CHECK(SamePathText(a, a, IsCp949LeadByte));
    FUZZ_CHECK(same == SamePathText(b, a, IsCp949LeadByte));
    FUZZ_CHECK_SAID(same == (FoldOutsideCharacters(a) == FoldOutsideCharacters(b)), Shown(a) + " and " + Shown(b));
    // Never more lenient than folding every byte, which is what it is without
    // double-byte characters.
    if (same) FUZZ_CHECK(AsciiLower(a) == AsciiLower(b));
    FUZZ_CHECK(SamePathText(a, b, nullptr) == (AsciiLower(a) == AsciiLower(b)));
}

// The new copy of any target lies in the target's folder and is known again
// as a new copy; no other kind of name is.
void CheckNewCopy(std::string_view target, std::uint32_t processId, std::uint32_t number)
{
    const std::string copy = NewCopyPathFor(target, processId, number);
    const auto folderEnd = target.find_last_of("\\:");
    const std::string_view folder = folderEnd == std::string_view::npos ? std::string_view() : target.substr(0, folderEnd + 1);
    FUZZ_CHECK_SAID(copy.starts_with(folder) && copy.substr(folder.size()).find_first_of("\\:") == std::string::npos,
                    Shown(target) + " -> " + Shown(copy));
    FUZZ_CHECK(KindOfOwnName(FileNameOf(copy)) == OwnNameKind::kNewCopy);
    FUZZ_CHECK(KindOfOwnName(OwnName(OwnNameKind::kHelperFolder, processId, number)) == OwnNameKind::kHelperFolder);
    if (KindOfOwnName(FileNameOf(target)) == OwnNameKind::kNone) FUZZ_CHECK(FileNameOf(copy) != FileNameOf(target));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const std::string directory = data.ConsumeRandomLengthString(64);
    const auto processId = data.ConsumeIntegral<std::uint32_t>();
    const auto number = data.ConsumeIntegral<std::uint32_t>();
    const std::string korean = Cp949Text(data, 64, "", 'x');
    const std::string path = data.ConsumeRemainingBytesAsString();

    CheckLetterCase(path);
    CheckExpansion(path, directory);
    CheckExpansion(path, "");
    CheckProgramDirectory(path);
    CheckExtension(path);
    CheckCollapse(path);
    CheckSameText(korean, path);
    CheckSameText(korean, FoldOutsideCharacters(korean));
    CheckNewCopy(path, processId, number);
    return 0;
}
