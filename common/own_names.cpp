#include "common/own_names.h"

#include <array>
#include <cstdio>

#include "common/path_rules.h"

namespace tallowfin {

namespace {

constexpr std::string_view kPrefix = "~TallowfinUpdate.";

std::string_view KindText(OwnNameKind kind)
{
    switch (kind) {
    case OwnNameKind::kNewCopy: return "tmp";
    case OwnNameKind::kHelperFolder: return "helper";
    case OwnNameKind::kOldCopy: return "old";
    case OwnNameKind::kNone: break;
    }
    return {};
}

// One to eight hexadecimal digits, then `end`; the rest follows it.
bool ReadHexNumber(std::string_view& text, char end)
{
    std::size_t digits = 0;
    auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    while (digits < text.size() && isHex(text[digits])) ++digits;
    if (digits == 0 || digits > 8 || digits >= text.size() || text[digits] != end) return false;
    text.remove_prefix(digits + 1);
    return true;
}

}  // namespace

std::string OwnName(OwnNameKind kind, std::uint32_t processId, std::uint32_t number)
{
    std::array<char, 20> numbers{};
    std::snprintf(numbers.data(), numbers.size(), "%x.%x.", static_cast<unsigned>(processId),
                  static_cast<unsigned>(number));
    return std::string(kPrefix).append(numbers.data()).append(KindText(kind));
}

OwnNameKind KindOfOwnName(std::string_view name)
{
    if (!name.starts_with(kPrefix)) return OwnNameKind::kNone;
    name.remove_prefix(kPrefix.size());
    if (!ReadHexNumber(name, '.') || !ReadHexNumber(name, '.')) return OwnNameKind::kNone;
    // The system compares names without regard to case, and so does this.
    for (const OwnNameKind kind : {OwnNameKind::kNewCopy, OwnNameKind::kHelperFolder, OwnNameKind::kOldCopy})
        if (AsciiLower(name) == KindText(kind)) return kind;
    return OwnNameKind::kNone;
}

namespace {

std::string CopyPathFor(OwnNameKind kind, std::string_view target, std::uint32_t processId, std::uint32_t number)
{
    // A drive-relative "C:name" lies in the drive's current folder, and so
    // does "C:" followed by the copy's name.
    const auto slash = target.find_last_of("\\:");
    const std::string name = OwnName(kind, processId, number);
    return slash == std::string_view::npos ? name : std::string(target.substr(0, slash + 1)) + name;
}

}  // namespace

std::string NewCopyPathFor(std::string_view target, std::uint32_t processId, std::uint32_t number)
{
    return CopyPathFor(OwnNameKind::kNewCopy, target, processId, number);
}

std::string OldCopyPathFor(std::string_view target, std::uint32_t processId, std::uint32_t number)
{
    return CopyPathFor(OwnNameKind::kOldCopy, target, processId, number);
}

}  // namespace tallowfin
