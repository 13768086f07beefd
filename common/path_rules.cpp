#include "common/path_rules.h"

namespace tallowfin {

std::string AsciiLower(std::string_view text)
{
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

std::string AsciiUpper(std::string_view text)
{
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return result;
}

bool SamePathText(std::string_view a, std::string_view b, LeadBytePredicate isLeadByte)
{
    if (a.size() != b.size()) return false;
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        // Both texts must agree on where their characters begin, so a lead
        // byte is compared exactly and its trail byte with it.
        if (isLeadByte && isLeadByte(static_cast<unsigned char>(a[i]))) {
            if (a[i] != b[i]) return false;
            if (++i < a.size() && a[i] != b[i]) return false;
            continue;
        }
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

std::string ProgramDirectoryOf(std::string_view exePath)
{
    const auto slash = exePath.rfind('\\');
    if (slash == std::string_view::npos) return {};
    // "C:\x.exe" keeps its backslash: "C:" alone would mean the drive's
    // current directory, not its root.
    if (slash == 2 && exePath[1] == ':') return std::string(exePath.substr(0, 3));
    return std::string(exePath.substr(0, slash));
}

std::string ExpandProgramPath(std::string_view path, std::string_view programDirectory)
{
    static constexpr std::string_view kPlaceholder = "%PROGRAM%";
    std::string result;
    std::size_t from = 0;
    for (auto at = path.find(kPlaceholder); at != std::string_view::npos; at = path.find(kPlaceholder, from)) {
        result.append(path.substr(from, at - from));
        result.append(programDirectory);
        from = at + kPlaceholder.size();
    }
    result.append(path.substr(from));
    return result;
}

std::string ExtensionOf(std::string_view path)
{
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos) return {};
    const auto separator = path.find_last_of("\\:");
    if (separator != std::string_view::npos && separator > dot) return {};
    return std::string(path.substr(dot));
}

std::string CollapseDoubledBackslashes(std::string_view path)
{
    std::string result;
    result.reserve(path.size());
    std::size_t i = 0;
    // A network path keeps its leading pair: collapsing it would turn
    // "\\server\share\x" into "\server\share\x", a path on the current drive.
    if (path.substr(0, 2) == "\\\\") {
        result.append("\\\\");
        i = 2;
    }
    while (i < path.size()) {
        if (path[i] == '\\' && i + 1 < path.size() && path[i + 1] == '\\') {
            result.push_back('\\');
            i += 2;
        } else {
            result.push_back(path[i++]);
        }
    }
    return result;
}

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (!path.empty() && path.back() != '\\') path.push_back('\\');
    return path.append(name);
}

std::string_view FileNameOf(std::string_view path)
{
    const auto separator = path.find_last_of("\\:");
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace tallowfin
