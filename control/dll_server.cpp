#include "control/dll_server.h"

#include <windows.h>

#include "common/handle.h"

namespace tallowfin {

bool CallDllServer(const std::string& path, bool registering)
{
    using ServerEntry = HRESULT(STDAPICALLTYPE*)();
    static constexpr const char* kEntries[2] = {"DllUnregisterServer", "DllRegisterServer"};
    LibraryHandle library(LoadLibraryA(path.c_str()));
    if (!library) return false;
    auto entry = reinterpret_cast<ServerEntry>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), kEntries[registering ? 1 : 0])));
    return entry && entry() == S_OK;
}

}  // namespace tallowfin
