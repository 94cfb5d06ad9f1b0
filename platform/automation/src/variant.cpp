#include "platform/automation/variant.h"

#include "fileio.h"
#include "platform/window/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace platform {

namespace {

struct TypeSpelling {
    VARTYPE Type;
    std::string_view Name;
};

constexpr TypeSpelling kTypeNames[] = {
    {VT_EMPTY, "void"},
    {VT_BOOL, "bool"},
    {VT_I4, "long"},
    {VT_R8, "double"},
    {VT_BSTR, "string"},
    {VT_COLOR, "OLE_COLOR"},
    {VT_BOOL | VT_BYREF, "bool*"},
    {VT_I4 | VT_BYREF, "long*"},
    {VT_R8 | VT_BYREF, "double*"},
    {VT_BSTR | VT_BYREF, "string*"},
    {VT_COLOR | VT_BYREF, "OLE_COLOR*"},
};

using detail::QuoteExcerpt;
using detail::Trim;

// Parses a whole string as a number: decimal or 0x hexadecimal integers
// (kept exact), otherwise a finite floating-point value.
bool ParseNumber(std::string_view text, double& value) {
    text = Trim(text);
    if (text.empty()) return false;
    bool negative = false;
    std::string_view digits = text;
    if (digits.front() == '-' || digits.front() == '+') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        std::uint64_t hex = 0;
        digits.remove_prefix(2);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), hex, 16);
        if (ec != std::errc() || end != digits.data() + digits.size()) return false;
        value = negative ? -static_cast<double>(hex) : static_cast<double>(hex);
        return true;
    }
    // from_chars rejects a leading '+', which people do type.
    std::string_view body = text.front() == '+' ? text.substr(1) : text;
    auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    return ec == std::errc() && end == body.data() + body.size() && std::isfinite(value);
}

// Rounds half to even, as Automation does when a double becomes an integer.
bool RoundToRange(double value, double low, double high, double& rounded) {
    if (!std::isfinite(value)) return false;
    rounded = std::nearbyint(value);
    return rounded >= low && rounded <= high;
}

const char* KindOf(VARTYPE type) {
    switch (type & VT_TYPEMASK) {
        case VT_EMPTY: return "an empty value";
        case VT_I4: return "a long";
        case VT_BOOL: return "a bool";
        case VT_R8: return "a double";
        case VT_BSTR: return "a string";
        case VT_COLOR: return "a colour";
        default: return "an unsupported value";
    }
}

// The value held in place or, for a reference, its target; null when the
// storage holds neither. The constructors set the type tag and the storage
// together, so after a reader's tag check this always finds the value; unlike
// std::get it cannot throw from the noexcept readers.
template <class T, class Storage>
const T* Held(const Storage& value) noexcept {
    if (T* const* ref = std::get_if<T*>(&value)) return *ref;
    return std::get_if<T>(&value);
}

// The same alternative holding equal values, as std::variant's == decides for
// storage that is never left valueless, but without the visit that may throw.
template <std::size_t Index, class Storage>
bool SameAlternative(const Storage& a, const Storage& b) noexcept {
    const auto* x = std::get_if<Index>(&a);
    const auto* y = std::get_if<Index>(&b);
    return x && y && *x == *y;
}

template <class Storage, std::size_t... Index>
bool SameStorage(const Storage& a, const Storage& b, std::index_sequence<Index...>) noexcept {
    return (SameAlternative<Index>(a, b) || ...);
}

}  // namespace

bool IsSupportedType(VARTYPE type) noexcept {
    for (const auto& spelling : kTypeNames) {
        if (spelling.Type == type) return true;
    }
    return false;
}

std::string_view TypeName(VARTYPE type) noexcept {
    for (const auto& spelling : kTypeNames) {
        if (spelling.Type == type) return spelling.Name;
    }
    return "?";
}

bool ParseTypeName(std::string_view name, VARTYPE& type) noexcept {
    for (const auto& spelling : kTypeNames) {
        if (spelling.Name == name) {
            type = spelling.Type;
            return true;
        }
    }
    return false;
}

Variant Variant::MakeColor(OLE_COLOR value) noexcept { return Variant(VT_COLOR, Storage(value)); }

Variant Variant::MakeBoolRef(BOOL* ref) noexcept { return ref ? Variant(VT_BOOL | VT_BYREF, Storage(ref)) : Variant(); }

std::int32_t Variant::Long() const noexcept {
    if (BaseType() != VT_I4) return 0;
    const std::int32_t* value = Held<std::int32_t>(Value);
    return value ? *value : 0;
}

BOOL Variant::Bool() const noexcept {
    if (BaseType() != VT_BOOL) return FALSE;
    const std::int32_t* value = Held<std::int32_t>(Value);
    return value && *value != 0 ? TRUE : FALSE;
}

double Variant::Double() const noexcept {
    if (BaseType() != VT_R8) return 0.0;
    const double* value = Held<double>(Value);
    return value ? *value : 0.0;
}

OLE_COLOR Variant::Color() const noexcept {
    if (BaseType() != VT_COLOR) return 0;
    const std::uint32_t* value = Held<std::uint32_t>(Value);
    return value ? *value : 0;
}

const std::string& Variant::String() const noexcept {
    static const std::string kEmpty;
    if (BaseType() != VT_BSTR) return kEmpty;
    const std::string* value = Held<std::string>(Value);
    return value ? *value : kEmpty;
}

std::int32_t* Variant::LongStorage() const noexcept {
    auto* ref = std::get_if<std::int32_t*>(&Value);
    return ref ? *ref : nullptr;
}

double* Variant::DoubleStorage() const noexcept {
    auto* ref = std::get_if<double*>(&Value);
    return ref ? *ref : nullptr;
}

OLE_COLOR* Variant::ColorStorage() const noexcept {
    auto* ref = std::get_if<std::uint32_t*>(&Value);
    return ref ? *ref : nullptr;
}

std::string* Variant::StringStorage() const noexcept {
    auto* ref = std::get_if<std::string*>(&Value);
    return ref ? *ref : nullptr;
}

bool Variant::SetLong(std::int32_t value) noexcept {
    if (Type != (VT_I4 | VT_BYREF)) return false;
    std::int32_t* target = LongStorage();
    if (!target) return false;
    *target = value;
    return true;
}

bool Variant::SetBool(BOOL value) noexcept {
    if (Type != (VT_BOOL | VT_BYREF)) return false;
    std::int32_t* target = LongStorage();
    if (!target) return false;
    *target = value != FALSE ? TRUE : FALSE;
    return true;
}

bool Variant::SetDouble(double value) noexcept {
    if (Type != (VT_R8 | VT_BYREF)) return false;
    double* target = DoubleStorage();
    if (!target) return false;
    *target = value;
    return true;
}

bool Variant::SetColor(OLE_COLOR value) noexcept {
    if (Type != (VT_COLOR | VT_BYREF)) return false;
    OLE_COLOR* target = ColorStorage();
    if (!target) return false;
    *target = value;
    return true;
}

bool Variant::SetString(std::string value) noexcept {
    if (Type != (VT_BSTR | VT_BYREF)) return false;
    std::string* target = StringStorage();
    if (!target) return false;
    *target = std::move(value);
    return true;
}

bool Variant::RetagReference(VARTYPE type) noexcept {
    if (!IsByRef() || (type & VT_BYREF) == 0) return false;
    if (type == Type) return true;
    bool bothLongStorage = (BaseType() == VT_I4 || BaseType() == VT_BOOL) &&
                           ((type & VT_TYPEMASK) == VT_I4 || (type & VT_TYPEMASK) == VT_BOOL);
    if (!bothLongStorage) return false;
    Type = type;
    return true;
}

std::string Variant::ToDisplayString() const {
    switch (BaseType()) {
        case VT_EMPTY: return "(empty)";
        case VT_BOOL: return Bool() ? "true" : "false";
        case VT_I4: return std::to_string(Long());
        case VT_R8: return FormatDouble(Double());
        case VT_COLOR: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(Color()));
            return text;
        }
        case VT_BSTR: {
            std::string quoted = "\"";
            for (char c : String()) {
                if (c == '"' || c == '\\') {
                    quoted += '\\';
                    quoted += c;
                } else if (c == '\n') {
                    quoted += "\\n";
                } else {
                    quoted += c;
                }
            }
            return quoted + "\"";
        }
        default: return "?";
    }
}

bool operator==(const Variant& a, const Variant& b) noexcept {
    if (a.Type != b.Type) return false;
    // A BOOL value compares by truth; any other value, and a reference (the
    // same target), by what is stored.
    if (!a.IsByRef() && a.BaseType() == VT_BOOL) return a.Bool() == b.Bool();
    return SameStorage(a.Value, b.Value, std::make_index_sequence<std::variant_size_v<Variant::Storage>>());
}

HRESULT ChangeType(const Variant& in, VARTYPE to, Variant& out, std::string* why) noexcept {
    auto fail = [why](HRESULT code, std::string reason) {
        if (why) *why = std::move(reason);
        return code;
    };
    try {
        if ((to & VT_BYREF) != 0 || !IsSupportedType(to)) {
            return fail(DISP_E_BADVARTYPE, "cannot convert to that type");
        }
        if (!IsSupportedType(in.Vt())) {
            return fail(DISP_E_BADVARTYPE, "the value has an unsupported type");
        }
        const VARTYPE from = in.BaseType();
        if (to == VT_EMPTY) {
            out = Variant();
            return S_OK;
        }
        // Every source reduced to one of: integer, double, text or nothing.
        bool isText = from == VT_BSTR;
        bool isReal = from == VT_R8;
        std::int64_t integer = 0;
        double real = 0.0;
        switch (from) {
            case VT_I4: integer = in.Long(); break;
            case VT_BOOL: integer = in.Bool() ? -1 : 0; break;  // Automation's true is -1
            case VT_COLOR: integer = in.Color(); break;
            case VT_R8: real = in.Double(); break;
            default: break;
        }

        switch (to) {
            case VT_BSTR: {
                if (isText) {
                    out = Variant(in.String());
                } else if (from == VT_BOOL) {
                    out = Variant(std::string(in.Bool() ? "True" : "False"));
                } else if (isReal) {
                    out = Variant(FormatDouble(real));
                } else if (from == VT_EMPTY) {
                    out = Variant(std::string());
                } else {
                    out = Variant(std::to_string(integer));
                }
                return S_OK;
            }
            case VT_BOOL: {
                if (isText) {
                    std::string_view text = Trim(in.String());
                    if (EqualsNoCase(text, "true")) {
                        out = Variant(true);
                    } else if (EqualsNoCase(text, "false")) {
                        out = Variant(false);
                    } else if (double number; ParseNumber(text, number)) {
                        out = Variant(number != 0.0);
                    } else {
                        return fail(DISP_E_TYPEMISMATCH, QuoteExcerpt(text) + " is not a boolean");
                    }
                } else if (isReal) {
                    out = Variant(real != 0.0);
                } else {
                    out = Variant(integer != 0);
                }
                return S_OK;
            }
            case VT_R8: {
                if (isText) {
                    double number;
                    if (!ParseNumber(in.String(), number)) {
                        return fail(DISP_E_TYPEMISMATCH, QuoteExcerpt(in.String()) + " is not a number");
                    }
                    out = Variant(number);
                } else if (isReal) {
                    out = Variant(real);
                } else {
                    out = Variant(static_cast<double>(integer));
                }
                return S_OK;
            }
            case VT_I4:
            case VT_COLOR: {
                double number = static_cast<double>(integer);
                if (isText) {
                    if (!ParseNumber(in.String(), number)) {
                        return fail(DISP_E_TYPEMISMATCH, QuoteExcerpt(in.String()) + " is not a number");
                    }
                } else if (isReal) {
                    number = real;
                }
                double rounded;
                if (to == VT_I4) {
                    // A colour above 0x7FFFFFFF has no long value; reporting
                    // that beats handing the control a wrapped number.
                    if (!RoundToRange(number, std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max(), rounded)) {
                        return fail(DISP_E_OVERFLOW, std::string(KindOf(from)) + " out of the range of a long");
                    }
                    out = Variant(static_cast<std::int32_t>(rounded));
                } else {
                    // Hosts hand colours over as longs, system colours
                    // (0x80000000 and up) as negative ones: keep the bits.
                    if (!RoundToRange(number, std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::uint32_t>::max(), rounded)) {
                        return fail(DISP_E_OVERFLOW, std::string(KindOf(from)) + " out of the range of a colour");
                    }
                    auto bits = rounded < 0 ? static_cast<std::uint32_t>(static_cast<std::int32_t>(rounded))
                                            : static_cast<std::uint32_t>(rounded);
                    out = Variant::MakeColor(bits);
                }
                return S_OK;
            }
            default: return fail(DISP_E_BADVARTYPE, "cannot convert to that type");
        }
    } catch (...) {
        return fail(E_OUTOFMEMORY, "out of memory");
    }
}

std::string FormatDouble(double value) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) return "nan";
    return std::string(text, end);
}

}  // namespace platform
