#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The few component-object basics the controls, the control framework and the
// media layer share: result codes, BOOL, GUIDs, IUnknown and a counted pointer.
// Nothing here knows about windows, Automation or media.

// BOOL's truth values. GLib defines the same two macros with the same values,
// so both headers may meet in one translation unit.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

namespace platform {

using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

inline constexpr HRESULT MakeHresult(std::uint32_t code) { return static_cast<HRESULT>(code); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHresult(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
inline constexpr HRESULT SELFREG_E_TYPELIB = MakeHresult(0x80040200u);
inline constexpr HRESULT SELFREG_E_CLASS = MakeHresult(0x80040201u);

// A system error code (the window layer's GetLastError values) as a result code.
inline constexpr HRESULT HRESULT_FROM_WIN32(std::uint32_t code) {
    return code == 0 || static_cast<HRESULT>(code) < 0 ? static_cast<HRESULT>(code)
                                                       : MakeHresult((code & 0xFFFFu) | 0x80070000u);
}

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    friend bool operator==(const GUID&, const GUID&) = default;

    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters, upper case.
    std::string ToString() const;
    // Accepts the braced form (either case); nullopt for anything else.
    static std::optional<GUID> Parse(std::string_view text);
};

using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

inline constexpr GUID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The root of every counted interface. Objects delete themselves when their
// count falls to zero; nobody deletes them directly.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};

// A thread-safe reference count for implementations of IUnknown.
class RefCount {
public:
    ULONG Add() noexcept { return Count.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Returns the new count; the caller deletes the object when it is 0.
    ULONG Drop() noexcept { return Count.fetch_sub(1, std::memory_order_acq_rel) - 1; }

private:
    std::atomic<ULONG> Count{1};
};

// Holds one reference; releases it when it goes.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes over a reference the caller already owns.
    static ComPtr Attach(T* raw) {
        ComPtr p;
        p.Raw = raw;
        return p;
    }
    // Adds a reference of its own.
    static ComPtr Share(T* raw) {
        if (raw) raw->AddRef();
        return Attach(raw);
    }
    ComPtr(const ComPtr& other) : Raw(other.Raw) {
        if (Raw) Raw->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : Raw(std::exchange(other.Raw, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(Raw, other.Raw);
        return *this;
    }
    ~ComPtr() { Reset(); }

    void Reset() {
        if (T* raw = std::exchange(Raw, nullptr)) raw->Release();
    }
    // Gives the reference away to the caller.
    T* Detach() { return std::exchange(Raw, nullptr); }
    T* Get() const { return Raw; }
    T* operator->() const { return Raw; }
    explicit operator bool() const { return Raw != nullptr; }
    // For out-parameters: releases what is held and hands out the slot.
    T** ReleaseAndGetAddressOf() {
        Reset();
        return &Raw;
    }

private:
    T* Raw = nullptr;
};

}  // namespace platform
