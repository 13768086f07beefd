// Owners for COM: an interface pointer, a BSTR, and the apartment of a thread.
#pragma once

#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace tallowfin {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(const ComPtr& other) noexcept : p_(other.p_)
    {
        if (p_) p_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // For calls that hand out a new reference.
    T** put() noexcept
    {
        reset();
        return &p_;
    }
    void reset() noexcept
    {
        if (p_) std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s_); }
    BSTR get() const noexcept { return s_; }
    BSTR* put() noexcept
    {
        SysFreeString(std::exchange(s_, nullptr));
        return &s_;
    }
    UINT length() const noexcept { return SysStringLen(s_); }

private:
    BSTR s_ = nullptr;
};

// COM for the calling thread, as a single-threaded apartment.
class ComApartment {
public:
    ComApartment() noexcept : ok_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComApartment()
    {
        if (ok_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool ok_;
};

}  // namespace tallowfin
