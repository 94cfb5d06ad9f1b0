#include "platform/automation/registration.h"

#include "module_internal.h"
#include "platform/automation/registry.h"

namespace platform {

namespace {

thread_local std::string LastRegistrationError;

BOOL Succeed() {
    LastRegistrationError.clear();
    return TRUE;
}

BOOL Fail(std::string text) {
    LastRegistrationError = std::move(text);
    return FALSE;
}

const char* ThreadingModelOf(int regFlags) {
    if (regFlags & afxRegFreeThreading) {
        return (regFlags & afxRegApartmentThreading) ? "Both" : "Free";
    }
    return (regFlags & afxRegApartmentThreading) ? "Apartment" : "";
}

BOOL PutClass(ClassRegistration entry) {
    std::string error;
    bool ok = UpdateRegistry(
        [&entry](Registry& registry, std::string&) {
            registry.PutClass(entry);
            return true;
        },
        &error);
    return ok ? Succeed() : Fail(error);
}

bool ModuleFileOf(HINSTANCE module, std::string& path) {
    path = ModulePath(module);
    if (path.empty()) {
        LastRegistrationError = "the module's file cannot be found";
        return false;
    }
    return true;
}

}  // namespace

BOOL AfxOleRegisterTypeLib(HINSTANCE module, REFGUID libId, const char*, const char*) {
    try {
        const TypeLibResource* resource = FindTypeLibResource(module, libId);
        if (!resource) {
            return Fail("the module declares no type library " + libId.ToString());
        }
        TypeLibraryDescription description;
        std::string problem;
        if (!resource->Describe(description, problem)) {
            return Fail("the type library " + resource->Declaration().Name + " is invalid: " + problem);
        }
        if (description.ModulePath.empty()) return Fail("the module's file cannot be found");
        std::string error;
        bool ok = UpdateRegistry(
            [&description](Registry& registry, std::string&) {
                registry.PutTypeLib(description);
                return true;
            },
            &error);
        return ok ? Succeed() : Fail(error);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

BOOL AfxOleUnregisterTypeLib(REFGUID libId, std::uint16_t major, std::uint16_t minor, LCID) {
    try {
        std::string error;
        bool ok = UpdateRegistry(
            [&](Registry& registry, std::string&) {
                registry.RemoveTypeLib(libId, major, minor);
                return true;
            },
            &error);
        return ok ? Succeed() : Fail(error);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

BOOL AfxOleRegisterControlClass(HINSTANCE module, REFCLSID clsid, const char* progId, unsigned typeNameId,
                                unsigned bitmapId, int regFlags, DWORD miscStatus, REFGUID libId, std::uint16_t major,
                                std::uint16_t minor) {
    try {
        if (!progId || !*progId) return Fail("a control class needs a ProgID");
        ClassRegistration entry;
        entry.Clsid = clsid;
        entry.ClassKind = ClassRegistration::Kind::Control;
        entry.ProgId = progId;
        if (!AfxLoadString(module, typeNameId, entry.TypeName)) {
            return Fail("the module has no string " + std::to_string(typeNameId) + " for the type name of " +
                        entry.ProgId);
        }
        if (!ModuleFileOf(module, entry.ModulePath)) return FALSE;
        entry.ThreadingModel = ThreadingModelOf(regFlags);
        entry.Insertable = (regFlags & afxRegInsertable) != 0;
        entry.MiscStatus = miscStatus;
        entry.ToolboxBitmap = static_cast<int>(bitmapId);
        entry.TypeLib = libId;
        entry.TypeLibMajor = major;
        entry.TypeLibMinor = minor;
        return PutClass(std::move(entry));
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

BOOL AfxOleRegisterPropertyPageClass(HINSTANCE module, REFCLSID clsid, unsigned typeNameId, int regFlags) {
    try {
        ClassRegistration entry;
        entry.Clsid = clsid;
        entry.ClassKind = ClassRegistration::Kind::PropertyPage;
        if (!AfxLoadString(module, typeNameId, entry.TypeName)) {
            return Fail("the module has no string " + std::to_string(typeNameId) +
                        " for the type name of the property page " + clsid.ToString());
        }
        if (!ModuleFileOf(module, entry.ModulePath)) return FALSE;
        // Pages are made on the thread of the control they show.
        entry.ThreadingModel = regFlags & afxRegFreeThreading ? ThreadingModelOf(regFlags) : "Apartment";
        return PutClass(std::move(entry));
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

BOOL AfxOleRegisterServerClass(HINSTANCE module, REFCLSID clsid, const char* progId, const char* typeName,
                               int regFlags) {
    try {
        ClassRegistration entry;
        entry.Clsid = clsid;
        entry.ClassKind = ClassRegistration::Kind::Object;
        entry.ProgId = progId ? progId : "";
        entry.TypeName = typeName ? typeName : "";
        if (!ModuleFileOf(module, entry.ModulePath)) return FALSE;
        entry.ThreadingModel = ThreadingModelOf(regFlags);
        return PutClass(std::move(entry));
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

BOOL AfxOleUnregisterClass(REFCLSID clsid, const char* progId) {
    try {
        std::string error;
        bool ok = UpdateRegistry(
            [&](Registry& registry, std::string&) {
                registry.RemoveClass(clsid, progId ? progId : "");
                return true;
            },
            &error);
        return ok ? Succeed() : Fail(error);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

std::string AfxOleRegistrationError() { return LastRegistrationError; }

}  // namespace platform
