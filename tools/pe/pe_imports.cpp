#include "tools/pe/pe_imports.h"

#include <algorithm>

#include "tools/pe/byte_view.h"
#include "tools/pe/pe_error.h"

namespace tallowfin::pe {

namespace {

constexpr std::size_t kDescriptorSize = 20;
constexpr std::size_t kNameOffset = 12;
// Longer names are no DLL names; the limit keeps a missing terminator from
// turning a whole section into one name.
constexpr std::size_t kMaxNameLength = 260;

std::string NameAt(const PeImage& image, std::uint32_t rva)
{
    auto bytes = image.BytesFrom(rva);
    bytes = bytes.first(std::min(bytes.size(), kMaxNameLength + 1));
    auto end = std::find(bytes.begin(), bytes.end(), 0);
    if (end == bytes.end()) throw PeFormatError("imported DLL name at " + Hex(rva) + " is not terminated");
    if (end == bytes.begin()) throw PeFormatError("imported DLL name at " + Hex(rva) + " is empty");
    return std::string(bytes.begin(), end);
}

}  // namespace

std::vector<std::string> ImportedDllNames(const PeImage& image)
{
    const DataDirectory directory = image.Directory(kImportDirectory);
    std::vector<std::string> names;
    if (directory.rva == 0) return names;

    // The table ends with an all-zero descriptor, not at the directory's
    // stated size, which linkers fill in loosely.
    const ByteView table(image.BytesFrom(directory.rva), "import table");
    for (std::size_t at = 0;; at += kDescriptorSize) {
        if (!table.Contains(at, kDescriptorSize)) {
            throw PeFormatError("import table runs to the end of its section without a closing entry");
        }
        auto descriptor = table.Sub(at, kDescriptorSize);
        if (std::all_of(descriptor.begin(), descriptor.end(), [](std::uint8_t b) { return b == 0; })) break;
        names.push_back(NameAt(image, table.U32(at + kNameOffset)));
    }
    return names;
}

}  // namespace tallowfin::pe
