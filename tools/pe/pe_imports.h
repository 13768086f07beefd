#pragma once

#include <string>
#include <vector>

#include "tools/pe/pe_image.h"

namespace tallowfin::pe {

// Names of the DLLs the import table asks the loader for, as written in the
// file (case as the linker left it). Delay-loaded DLLs are not included: our
// toolchain does not make them.
std::vector<std::string> ImportedDllNames(const PeImage& image);

}  // namespace tallowfin::pe
