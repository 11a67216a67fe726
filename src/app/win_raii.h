#pragma once
// Owners for Windows handles and COM pointers, so that a path that returns or throws
// early releases everything by construction. Windows build only.
#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <cstdint>
#include <utility>

namespace twr::win {

template <typename T, auto Close, intptr_t InvalidValue = 0>
class unique_any {
    static T Invalid() noexcept { return (T)(InvalidValue); }

public:
    unique_any() noexcept = default;
    explicit unique_any(T value) noexcept : value_(value) {}
    ~unique_any() { reset(); }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    [[nodiscard]] T get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return value_ != Invalid(); }
    explicit operator bool() const noexcept { return valid(); }
    void reset(T value = Invalid()) noexcept {
        if (value_ != Invalid()) Close(value_);
        value_ = value;
    }
    [[nodiscard]] T release() noexcept { return std::exchange(value_, Invalid()); }
    // For out-parameters: releases what is held and hands out the slot.
    [[nodiscard]] T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_ = Invalid();
};

namespace detail {
inline void CloseHandleFn(HANDLE h) noexcept { ::CloseHandle(h); }
inline void FreeLibraryFn(HMODULE m) noexcept { ::FreeLibrary(m); }
inline void CoTaskMemFreeFn(void* p) noexcept { ::CoTaskMemFree(p); }
inline void LocalFreeFn(HLOCAL p) noexcept { ::LocalFree(p); }
}  // namespace detail

// Handles whose invalid value is null (events, threads, processes).
using unique_handle = unique_any<HANDLE, detail::CloseHandleFn>;
using unique_event = unique_handle;
// File handles, whose invalid value is INVALID_HANDLE_VALUE.
using unique_hfile = unique_any<HANDLE, detail::CloseHandleFn, -1>;
using unique_hmodule = unique_any<HMODULE, detail::FreeLibraryFn>;
using unique_hlocal = unique_any<HLOCAL, detail::LocalFreeFn>;
template <typename T>
using unique_cotaskmem = unique_any<T*, detail::CoTaskMemFreeFn>;

class unique_propvariant {
public:
    unique_propvariant() noexcept { PropVariantInit(&pv_); }
    ~unique_propvariant() { ::PropVariantClear(&pv_); }
    unique_propvariant(const unique_propvariant&) = delete;
    unique_propvariant& operator=(const unique_propvariant&) = delete;
    [[nodiscard]] PROPVARIANT* put() noexcept {
        ::PropVariantClear(&pv_);
        return &pv_;
    }
    [[nodiscard]] const PROPVARIANT& get() const noexcept { return pv_; }

private:
    PROPVARIANT pv_;
};

template <typename T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr& other) noexcept : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    com_ptr& operator=(const com_ptr& other) noexcept {
        if (this != &other) {
            if (other.p_) other.p_->AddRef();
            reset();
            p_ = other.p_;
        }
        return *this;
    }
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }

    [[nodiscard]] T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (p_) std::exchange(p_, nullptr)->Release();
    }
    [[nodiscard]] T** put() noexcept {
        reset();
        return &p_;
    }
    [[nodiscard]] void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

// CoInitializeEx for the lifetime of a scope; uninitialises only when it succeeded.
class ComScope {
public:
    explicit ComScope(DWORD model) noexcept : hr_(::CoInitializeEx(nullptr, model)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    [[nodiscard]] HRESULT result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

}  // namespace twr::win
