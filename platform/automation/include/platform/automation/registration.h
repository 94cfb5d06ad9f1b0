#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/module.h"

// Registration of classes and type libraries in the registry file (see
// platform/automation/registry.h). Each call reports success as a boolean;
// after a failure AfxOleRegistrationError() on the same thread says why.
namespace platform {

// Registers the type library `libId` that `module` declares with a
// TypeLibResource, with every interface, member, parameter name, help string
// and version, so that hosts can read it. FALSE when the module declares no
// such library, a table is invalid, or the registry cannot be written.
// fileName and helpDir are accepted for the platform's shape and unused.
BOOL AfxOleRegisterTypeLib(HINSTANCE module, REFGUID libId, const char* fileName = nullptr,
                           const char* helpDir = nullptr);

// Removes version major.minor of a type library. Removing one that is not
// registered succeeds: the registry ends up as asked. lcid is accepted and
// unused (type libraries here are neutral).
BOOL AfxOleUnregisterTypeLib(REFGUID libId, std::uint16_t major, std::uint16_t minor, LCID lcid = 0);

// Registers a control class served by `module`: ProgID, the type name (the
// module's string typeNameId), the toolbox bitmap id, the threading model
// and insertability (afxReg* flags), the miscellaneous status bits and the
// type library with its version. FALSE when the module has no such string,
// the ProgID is empty, or the registry cannot be written.
BOOL AfxOleRegisterControlClass(HINSTANCE module, REFCLSID clsid, const char* progId, unsigned typeNameId,
                                unsigned bitmapId, int regFlags, DWORD miscStatus, REFGUID libId, std::uint16_t major,
                                std::uint16_t minor);

// Registers a property page class (no ProgID) with its type name string.
BOOL AfxOleRegisterPropertyPageClass(HINSTANCE module, REFCLSID clsid, unsigned typeNameId,
                                     int regFlags = afxRegDefault);

// Registers a plain class with a ProgID (what COleObjectFactory registers
// unless a factory does more).
BOOL AfxOleRegisterServerClass(HINSTANCE module, REFCLSID clsid, const char* progId, const char* typeName,
                               int regFlags = afxRegDefault);

// Removes a class and, when progId is given, its ProgID. Removing a class
// that is not registered succeeds.
BOOL AfxOleUnregisterClass(REFCLSID clsid, const char* progId);

// Why the last registration call on this thread failed ("" after a success).
std::string AfxOleRegistrationError();

// The path of the module file that holds `module` (absolute), "" if unknown.
std::string ModulePath(HINSTANCE module);

}  // namespace platform
