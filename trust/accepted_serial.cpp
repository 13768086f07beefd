#include "trust/accepted_serial.h"

#include <windows.h>

#include "common/file_system.h"
#include "common/handle.h"
#include "common/kept_file.h"
#include "trust/installation_serial.h"

namespace tallowfin {

std::uint64_t HighestAcceptedSerial() noexcept
{
    std::uint64_t serial = 0;
    DWORD type = 0;
    DWORD size = sizeof serial;
    if (RegGetValueA(HKEY_CURRENT_USER, kAcceptedSerialKey, kAcceptedSerialValue, RRF_RT_QWORD, &type, &serial,
                     &size) != ERROR_SUCCESS)
        return 0;
    return serial;
}

void RecordAcceptedSerial(std::uint64_t serial) noexcept
{
    if (serial <= HighestAcceptedSerial()) return;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kAcceptedSerialKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    const RegKey owned(key);
    RegSetValueExA(owned.get(), kAcceptedSerialValue, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&serial),
                   sizeof serial);
}

std::uint64_t InstallationAcceptedSerial(const std::string& file) noexcept
{
    if (file.empty()) return 0;
    try {
        const auto bytes = ReadWholeFile(file, kInstallationSerialFileSize);
        return bytes ? ReadInstallationSerial(*bytes).value_or(0) : 0;
    } catch (...) {
        return 0;
    }
}

void RecordInstallationSerial(const std::string& file, std::uint64_t serial) noexcept
{
    if (file.empty() || serial <= InstallationAcceptedSerial(file)) return;
    try {
        // A folder this user may not write (a product installed for all
        // users, run without elevation) keeps the record it has.
        ReplaceKeptFile(file, InstallationSerialBytes(serial));
    } catch (...) {
    }
}

std::string InstallationSerialFileOf(const std::string& programFolder)
{
    if (programFolder.empty()) return {};
    const bool separated = programFolder.back() == '\\' || programFolder.back() == ':';
    return programFolder + (separated ? "" : "\\") + kInstallationSerialFile;
}

}  // namespace tallowfin
