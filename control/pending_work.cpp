#include "control/pending_work.h"

#include <windows.h>

#include <vector>

#include "common/handle.h"
#include "control/dll_server.h"

namespace tallowfin {

namespace {

constexpr char kPendingKey[] = "Software\\Kestal\\TallowfinUpdate\\Pending";

RegKey OpenPending(REGSAM access, bool create)
{
    HKEY key = nullptr;
    const LONG result = create ? RegCreateKeyExA(HKEY_CURRENT_USER, kPendingKey, 0, nullptr, 0, access, nullptr, &key,
                                                 nullptr)
                               : RegOpenKeyExA(HKEY_CURRENT_USER, kPendingKey, 0, access, &key);
    return RegKey(result == ERROR_SUCCESS ? key : nullptr);
}

struct Entry {
    std::string path;
    bool isNumber = false;
    DWORD kind = 0;
};

std::vector<Entry> ReadEntries(HKEY key)
{
    std::vector<Entry> entries;
    // The longest value name the registry allows, as double-byte text.
    std::vector<char> name(2 * 16384);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, name.data(), &length, nullptr, &type, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        Entry entry{std::string(name.data(), length)};
        DWORD size = sizeof entry.kind;
        entry.isNumber = type == REG_DWORD &&
                         RegQueryValueExA(key, entry.path.c_str(), nullptr, &type,
                                          reinterpret_cast<BYTE*>(&entry.kind), &size) == ERROR_SUCCESS &&
                         type == REG_DWORD && size == sizeof entry.kind;
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace

void BeginPendingWork(const std::string& path, PendingKind kind) noexcept
{
    const RegKey key = OpenPending(KEY_SET_VALUE, true);
    const auto number = static_cast<DWORD>(kind);
    if (key) RegSetValueExA(key.get(), path.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
}

void EndPendingWork(const std::string& path) noexcept
{
    const RegKey key = OpenPending(KEY_SET_VALUE, false);
    if (key) RegDeleteValueA(key.get(), path.c_str());
}

void FinishLeftWork()
{
    const RegKey key = OpenPending(KEY_QUERY_VALUE | KEY_SET_VALUE, false);
    if (!key) return;
    for (const Entry& entry : ReadEntries(key.get())) {
        switch (LeftWorkFor(entry.path, entry.isNumber, entry.kind)) {
        case LeftWork::kRemove: DeleteFileA(entry.path.c_str()); break;
        // A DLL that is gone by now has nothing left to register.
        case LeftWork::kRegister: CallDllServer(entry.path, true); break;
        case LeftWork::kForget: break;
        }
        // Forgotten only once its work is done: a run killed in the middle of
        // this finds it again.
        RegDeleteValueA(key.get(), entry.path.c_str());
    }
}

}  // namespace tallowfin
