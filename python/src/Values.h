#pragma once

#include <pybind11/pybind11.h>

#include <list>
#include <string>
#include <string_view>

#include "platform/automation/variant.h"

// Python values and Automation values: BOOL as bool, long and colours as int
// (range-checked), double as float, strings as str (UTF-8).
namespace ocx {

namespace py = pybind11;

// Result codes the host side itself does not name.
inline constexpr platform::HRESULT RPC_E_DISCONNECTED = platform::MakeHresult(0x80010108u);
inline constexpr platform::HRESULT STG_E_FILENOTFOUND = platform::MakeHresult(0x80030002u);
inline constexpr platform::HRESULT STG_E_CANTSAVE = platform::MakeHresult(0x80030103u);

// Raises ocx.ControlError(code, text, member).
[[noreturn]] void RaiseControlError(platform::HRESULT code, const std::string& text, std::string_view member);

// The classes the module defines in Python, set once as it is imported and
// kept for the process's life (they must outlive every module-level object).
struct ModuleTypes {
    py::object ControlError;
    py::object UnknownNameError;  // ControlError and AttributeError
    py::object Ref;
    py::object BoundMethod;
};
ModuleTypes& Types();

// The value for a parameter or property of `type` (by value). On a value of
// another type, or out of range, false with `code` and `why` set.
bool ToVariant(py::handle value, platform::VARTYPE type, platform::Variant& out, platform::HRESULT& code,
               std::string& why);

// Any value as Python sees it; a reference gives its target's value.
py::object FromVariant(const platform::Variant& value);

// Storage for by-reference arguments of one call; pointers stay put.
struct References {
    std::list<std::int32_t> Longs;
    std::list<double> Doubles;
    std::list<std::string> Strings;
    std::list<platform::OLE_COLOR> Colours;

    // A reference of `type` (a by-reference type) holding `initial`.
    platform::Variant Make(platform::VARTYPE type, const platform::Variant& initial);
};

// Writes `value` through a by-reference variant, converted to its type.
bool WriteThrough(platform::Variant& target, py::handle value, platform::HRESULT& code, std::string& why);

// "bool", "int", "float", "str" or "int (colour)": what a script passes for a type.
std::string PythonTypeFor(platform::VARTYPE type);

}  // namespace ocx
