#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "platform/com/com.h"

// Automation values: the few types the controls exchange with their hosts,
// the coercions hosts expect, and the dispatch result codes.
namespace platform {

using DISPID = std::int32_t;
using OLE_COLOR = std::uint32_t;
using VARTYPE = std::uint16_t;

inline constexpr VARTYPE VT_EMPTY = 0;       // no value; as a result type: the member returns nothing
inline constexpr VARTYPE VT_I4 = 3;          // 32-bit signed ("long")
inline constexpr VARTYPE VT_R8 = 5;          // 64-bit float
inline constexpr VARTYPE VT_BSTR = 8;        // string, UTF-8 here
inline constexpr VARTYPE VT_BOOL = 11;       // Automation boolean
inline constexpr VARTYPE VT_UI4 = 19;        // 32-bit unsigned
inline constexpr VARTYPE VT_COLOR = VT_UI4;  // OLE_COLOR: 0x00BBGGRR, or a system colour with 0x80 on top
inline constexpr VARTYPE VT_BYREF = 0x4000;
inline constexpr VARTYPE VT_TYPEMASK = 0x0FFF;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_CLICK = -600;
inline constexpr DISPID DISPID_ERROREVENT = -608;
inline constexpr DISPID DISPID_ABOUTBOX = -552;

inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006u);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008u);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009u);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000Au);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000Eu);
inline constexpr HRESULT RPC_E_WRONG_THREAD = MakeHresult(0x8001010Eu);
inline constexpr HRESULT RPC_E_TIMEOUT = MakeHresult(0x8001011Fu);

// Whether a type is one a member may declare: the five value types, each
// optionally by reference, and VT_EMPTY for "no result".
bool IsSupportedType(VARTYPE type) noexcept;

// "bool", "long", "double", "string", "OLE_COLOR", "void"; by-reference types
// end in '*'. "?" for anything unsupported. The type information's spelling.
std::string_view TypeName(VARTYPE type) noexcept;
// The reverse of TypeName; false for an unknown spelling.
bool ParseTypeName(std::string_view name, VARTYPE& type) noexcept;

// One Automation value. By-reference values point at storage the caller owns
// and keeps alive for the call; BOOL and long share 32-bit signed storage.
class Variant {
public:
    Variant() noexcept = default;
    Variant(std::int32_t value) noexcept : Type(VT_I4), Value(value) {}
    Variant(bool value) noexcept : Type(VT_BOOL), Value(std::int32_t{value ? 1 : 0}) {}
    Variant(double value) noexcept : Type(VT_R8), Value(value) {}
    Variant(std::string value) noexcept : Type(VT_BSTR), Value(std::move(value)) {}
    Variant(std::string_view value) : Type(VT_BSTR), Value(std::string(value)) {}
    Variant(const char* value) : Type(VT_BSTR), Value(std::string(value)) {}
    // By reference. A null pointer makes an empty value, never a reference
    // that someone could write through.
    Variant(std::int32_t* ref) noexcept
        : Type(ref ? VT_I4 | VT_BYREF : VT_EMPTY), Value(ref ? Storage(ref) : Storage()) {}
    Variant(double* ref) noexcept : Type(ref ? VT_R8 | VT_BYREF : VT_EMPTY), Value(ref ? Storage(ref) : Storage()) {}
    Variant(std::string* ref) noexcept
        : Type(ref ? VT_BSTR | VT_BYREF : VT_EMPTY), Value(ref ? Storage(ref) : Storage()) {}
    Variant(std::uint32_t* ref) noexcept
        : Type(ref ? VT_UI4 | VT_BYREF : VT_EMPTY), Value(ref ? Storage(ref) : Storage()) {}

    static Variant MakeColor(OLE_COLOR value) noexcept;
    static Variant MakeBool(BOOL value) noexcept { return Variant(value != FALSE); }
    // A BOOL by reference (BOOL and long share their storage type).
    static Variant MakeBoolRef(BOOL* ref) noexcept;

    VARTYPE Vt() const noexcept { return Type; }
    VARTYPE BaseType() const noexcept { return Type & VT_TYPEMASK; }
    bool IsByRef() const noexcept { return (Type & VT_BYREF) != 0; }
    bool IsEmpty() const noexcept { return Type == VT_EMPTY; }

    // Readers for a value of exactly that type (by value or by reference);
    // anything else gives 0, FALSE, 0.0 or "". Use ChangeType to convert.
    std::int32_t Long() const noexcept;
    BOOL Bool() const noexcept;
    double Double() const noexcept;
    OLE_COLOR Color() const noexcept;
    const std::string& String() const noexcept;

    // The storage a by-reference value points at, whatever its tag says
    // (BOOL and long share std::int32_t); null when it is not such a reference.
    std::int32_t* LongStorage() const noexcept;
    double* DoubleStorage() const noexcept;
    OLE_COLOR* ColorStorage() const noexcept;
    std::string* StringStorage() const noexcept;

    // Writers through a by-reference value of that type; false when the value
    // is not a reference of that storage type.
    bool SetLong(std::int32_t value) noexcept;
    bool SetBool(BOOL value) noexcept;
    bool SetDouble(double value) noexcept;
    bool SetColor(OLE_COLOR value) noexcept;
    bool SetString(std::string value) noexcept;

    // The same value seen through a reference's type tag: a long reference may
    // serve where a BOOL reference is declared and the reverse. False when the
    // storage does not match.
    bool RetagReference(VARTYPE type) noexcept;

    // Readable text for logs and the test container: true, 42, 1.5, "text",
    // 0x00FF00FF for a colour, (empty); a reference shows its target's value.
    std::string ToDisplayString() const;

    friend bool operator==(const Variant& a, const Variant& b) noexcept;

private:
    using Storage = std::variant<std::monostate, std::int32_t, std::uint32_t, double, std::string, std::int32_t*,
                                 std::uint32_t*, double*, std::string*>;
    Variant(VARTYPE type, Storage value) noexcept : Type(type), Value(std::move(value)) {}

    VARTYPE Type = VT_EMPTY;
    Storage Value;
};

// Converts a value to a by-value type the way Automation hosts expect:
// numbers between each other with rounding half to even and range checks,
// booleans as 0 and -1, strings parsed ("true", "false", decimal, 0x hex,
// floating point) and printed. A reference converts its target's value.
// Returns S_OK, DISP_E_TYPEMISMATCH (unparsable text, unsupported type) or
// DISP_E_OVERFLOW (out of range); on failure `out` is left alone and `why`,
// when given, receives a short reason.
HRESULT ChangeType(const Variant& in, VARTYPE to, Variant& out, std::string* why = nullptr) noexcept;

// Turns a double into the shortest text that reads back to the same value.
std::string FormatDouble(double value);

}  // namespace platform
