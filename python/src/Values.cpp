#include "Values.h"

#include <cmath>
#include <cstdint>
#include <limits>

using namespace platform;

namespace ocx {

ModuleTypes& Types() {
    static auto* types = new ModuleTypes();
    return *types;
}

void RaiseControlError(HRESULT code, const std::string& text, std::string_view member) {
    // An unknown name is an AttributeError as well, for hasattr() and getattr().
    py::object& type = code == DISP_E_UNKNOWNNAME ? Types().UnknownNameError : Types().ControlError;
    py::object error = type(static_cast<std::uint32_t>(code), text, std::string(member));
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

std::string PythonTypeFor(VARTYPE type) {
    switch (type & VT_TYPEMASK) {
        case VT_BOOL: return "bool";
        case VT_I4: return "int";
        case VT_R8: return "float";
        case VT_BSTR: return "str";
        case VT_COLOR: return "int (colour)";
        default: return "?";
    }
}

namespace {

std::string TypeOf(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

bool Mismatch(py::handle value, VARTYPE type, HRESULT& code, std::string& why) {
    code = DISP_E_TYPEMISMATCH;
    why = "needs " + PythonTypeFor(type) + ", not " + TypeOf(value);
    return false;
}

// An int's value, or false when it does not fit 64 bits.
bool AsInteger(py::handle value, long long& out) {
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) return false;
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

bool ToVariant(py::handle value, VARTYPE type, Variant& out, HRESULT& code, std::string& why) {
    const bool isInt = PyLong_Check(value.ptr());  // bool is an int too
    switch (type & VT_TYPEMASK) {
        case VT_BOOL:
            if (!isInt) return Mismatch(value, type, code, why);
            out = Variant(PyObject_IsTrue(value.ptr()) == 1);
            return true;
        case VT_I4: {
            if (!isInt) return Mismatch(value, type, code, why);
            long long number = 0;
            if (!AsInteger(value, number) || number < std::numeric_limits<std::int32_t>::min() ||
                number > std::numeric_limits<std::int32_t>::max()) {
                code = DISP_E_OVERFLOW;
                why = "is out of range for a long (-2147483648 to 2147483647)";
                return false;
            }
            out = Variant(static_cast<std::int32_t>(number));
            return true;
        }
        case VT_COLOR: {
            if (!isInt) return Mismatch(value, type, code, why);
            long long number = 0;
            if (!AsInteger(value, number) || number < 0 || number > 0xFFFFFFFFll) {
                code = DISP_E_OVERFLOW;
                why = "is out of range for a colour (0 to 0xFFFFFFFF)";
                return false;
            }
            out = Variant::MakeColor(static_cast<OLE_COLOR>(number));
            return true;
        }
        case VT_R8: {
            if (!isInt && !PyFloat_Check(value.ptr())) return Mismatch(value, type, code, why);
            const double number = PyFloat_AsDouble(value.ptr());
            if (number == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                code = DISP_E_OVERFLOW;
                why = "is out of range for a double";
                return false;
            }
            out = Variant(number);
            return true;
        }
        case VT_BSTR: {
            if (!PyUnicode_Check(value.ptr())) return Mismatch(value, type, code, why);
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
            if (!text) {
                PyErr_Clear();
                code = DISP_E_TYPEMISMATCH;
                why = "is not valid Unicode text";
                return false;
            }
            std::string copy(text, static_cast<std::size_t>(size));
            // Controls take strings as C strings (file names above all): a
            // NUL inside would silently cut the text short.
            if (copy.find('\0') != std::string::npos) {
                code = DISP_E_TYPEMISMATCH;
                why = "holds a NUL character";
                return false;
            }
            out = Variant(std::move(copy));
            return true;
        }
        default:
            code = DISP_E_BADVARTYPE;
            why = "has a type the scripting host does not know";
            return false;
    }
}

py::object FromVariant(const Variant& value) {
    switch (value.BaseType()) {
        case VT_BOOL: return py::bool_(value.Bool() != FALSE);
        case VT_I4: return py::int_(value.Long());
        case VT_COLOR: return py::int_(value.Color());
        case VT_R8: return py::float_(value.Double());
        case VT_BSTR: {
            const std::string& text = value.String();
            PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
            if (!decoded) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(decoded);
        }
        default: return py::none();
    }
}

Variant References::Make(VARTYPE type, const Variant& initial) {
    switch (type & VT_TYPEMASK) {
        case VT_BOOL: {
            Longs.push_back(initial.Bool() ? TRUE : FALSE);
            return Variant::MakeBoolRef(&Longs.back());
        }
        case VT_I4: Longs.push_back(initial.Long()); return Variant(&Longs.back());
        case VT_R8: Doubles.push_back(initial.Double()); return Variant(&Doubles.back());
        case VT_BSTR: Strings.push_back(initial.String()); return Variant(&Strings.back());
        case VT_COLOR: Colours.push_back(initial.Color()); return Variant(&Colours.back());
        default: return Variant();
    }
}

bool WriteThrough(Variant& target, py::handle value, HRESULT& code, std::string& why) {
    const VARTYPE base = target.BaseType();
    Variant typed;
    if (!ToVariant(value, base, typed, code, why)) return false;
    switch (base) {
        case VT_BOOL: return target.SetBool(typed.Bool());
        case VT_I4: return target.SetLong(typed.Long());
        case VT_R8: return target.SetDouble(typed.Double());
        case VT_BSTR: return target.SetString(typed.String());
        case VT_COLOR: return target.SetColor(typed.Color());
        default: return false;
    }
}

}  // namespace ocx
