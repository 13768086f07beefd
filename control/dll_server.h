// The registration entries of a COM server DLL.
#pragma once

#include <string>

namespace tallowfin {

// Loads a DLL and calls its "DllRegisterServer" (or "DllUnregisterServer");
// true when the entry exists and returned S_OK.
bool CallDllServer(const std::string& path, bool registering);

}  // namespace tallowfin
