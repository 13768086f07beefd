#include "publish/windows_names.h"

#include "common/path_rules.h"

namespace tallowfin::publish {

std::string WindowsNameProblem(std::string_view name)
{
    if (name.empty()) return "the name is empty";
    if (name == "." || name == "..") return "\".\" and \"..\" are not names";
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return "the name holds a control character";
        if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
            return std::string("Windows does not allow \"") + c + "\" in names";
    }
    // Windows drops them when it creates the file, so the name the updater
    // checks afterwards is not the one it created.
    if (name.back() == ' ' || name.back() == '.') return "Windows drops a trailing blank or dot";

    // Device names stay devices whatever extension follows them.
    const std::string base = AsciiUpper(name.substr(0, name.find('.')));
    const bool numbered = base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
                          base[3] >= '1' && base[3] <= '9';
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || numbered)
        return "\"" + base + "\" is a device name on Windows";
    return {};
}

}  // namespace tallowfin::publish
