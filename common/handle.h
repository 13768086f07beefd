// Owners for Win32 handles: one template, a traits class per kind of handle.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <wininet.h>

#include <utility>

namespace tallowfin {

template <class Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(pointer h) noexcept : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    pointer get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::invalid(); }

    pointer release() noexcept { return std::exchange(h_, Traits::invalid()); }

    // Closes the held handle; returns false when the close call itself failed.
    bool reset(pointer h = Traits::invalid()) noexcept
    {
        pointer old = std::exchange(h_, h);
        return old == Traits::invalid() ? true : Traits::close(old);
    }

private:
    pointer h_ = Traits::invalid();
};

struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return CloseHandle(h) != FALSE; }
};

// CreateFile reports failure with INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool close(pointer h) noexcept { return CloseHandle(h) != FALSE; }
};

// A volume opened for a device question (the seek-penalty query). Kept apart
// from FileHandle so a volume cannot be passed where a file is read.
struct VolumeHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool close(pointer h) noexcept { return CloseHandle(h) != FALSE; }
};

struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool close(pointer h) noexcept { return FindClose(h) != FALSE; }
};

struct RegKeyTraits {
    using pointer = HKEY;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return RegCloseKey(h) == ERROR_SUCCESS; }
};

struct ModuleTraits {
    using pointer = HMODULE;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return FreeLibrary(h) != FALSE; }
};

struct GdiObjectTraits {
    using pointer = HGDIOBJ;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return DeleteObject(h) != FALSE; }
};

struct IconTraits {
    using pointer = HICON;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return DestroyIcon(h) != FALSE; }
};

struct MenuTraits {
    using pointer = HMENU;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return DestroyMenu(h) != FALSE; }
};

struct WindowTraits {
    using pointer = HWND;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return DestroyWindow(h) != FALSE; }
};

struct CertStoreTraits {
    using pointer = HCERTSTORE;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return CertCloseStore(h, 0) != FALSE; }
};

struct CertContextTraits {
    using pointer = PCCERT_CONTEXT;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return CertFreeCertificateContext(h) != FALSE; }
};

// A session, connection or request of WinINet.
struct WinInetTraits {
    using pointer = HINTERNET;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return InternetCloseHandle(h) != FALSE; }
};

// An algorithm provider, a key and a hash of CNG (bcrypt.dll); their close
// calls report an NTSTATUS, negative on failure.
struct BCryptAlgorithmTraits {
    using pointer = BCRYPT_ALG_HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return BCryptCloseAlgorithmProvider(h, 0) >= 0; }
};

struct BCryptKeyTraits {
    using pointer = BCRYPT_KEY_HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return BCryptDestroyKey(h) >= 0; }
};

struct BCryptHashTraits {
    using pointer = BCRYPT_HASH_HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static bool close(pointer h) noexcept { return BCryptDestroyHash(h) >= 0; }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
using VolumeHandle = UniqueHandle<VolumeHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using RegKey = UniqueHandle<RegKeyTraits>;
using LibraryHandle = UniqueHandle<ModuleTraits>;
using GdiObject = UniqueHandle<GdiObjectTraits>;
using IconHandle = UniqueHandle<IconTraits>;
using MenuHandle = UniqueHandle<MenuTraits>;
using WindowHandle = UniqueHandle<WindowTraits>;
using CertStore = UniqueHandle<CertStoreTraits>;
using CertContext = UniqueHandle<CertContextTraits>;
using WinInetHandle = UniqueHandle<WinInetTraits>;
using BCryptAlgorithm = UniqueHandle<BCryptAlgorithmTraits>;
using BCryptKey = UniqueHandle<BCryptKeyTraits>;
using BCryptHash = UniqueHandle<BCryptHashTraits>;

}  // namespace tallowfin
