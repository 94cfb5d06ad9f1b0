#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/typeinfo.h"

// The registry: one text file that records which module serves which class,
// the ProgIDs, and the registered type libraries. Modules write it when they
// register (through the AfxOle* functions); hosts read it to create controls
// by ProgID and to learn their members.
//
// The file lives at $XDG_DATA_HOME/ocx/registry (~/.local/share/ocx/registry
// without XDG_DATA_HOME) unless the host names another. Every change takes an
// advisory lock on "<file>.lock", reads the file, changes it and renames a
// new copy over it, so two registrations at once both land and a reader never
// sees half a file. A file that does not parse is refused with its name and
// line and is never overwritten.
namespace platform {

struct ClassRegistration {
    enum class Kind { Control, PropertyPage, Object };

    CLSID Clsid;
    Kind ClassKind = Kind::Object;
    std::string TypeName;
    std::string ProgId;  // empty for property pages
    std::string ModulePath;
    std::string ThreadingModel;  // "Apartment", "Both", "Free" or empty
    bool Insertable = false;
    std::uint32_t MiscStatus = 0;
    int ToolboxBitmap = 0;  // the module's bitmap resource id, 0 for none
    std::optional<GUID> TypeLib;
    std::uint16_t TypeLibMajor = 0;
    std::uint16_t TypeLibMinor = 0;
};

class Registry {
public:
    // Reads the file at `path`. A missing file is an empty registry. False,
    // with `error` naming the file and line, when it cannot be read or parsed.
    static bool Load(const std::string& path, Registry& registry, std::string* error);
    // Parses the text form; `source` names it in errors.
    static bool Parse(std::string_view text, std::string_view source, Registry& registry, std::string* error);
    std::string ToText() const;

    const ClassRegistration* FindClass(const CLSID& clsid) const noexcept;
    // ProgIDs compare without case.
    const ClassRegistration* FindProgId(std::string_view progId) const noexcept;
    const TypeLibraryDescription* FindTypeLib(const GUID& libId,
                                              std::optional<std::uint16_t> major = {}) const noexcept;

    // Adds or replaces the class (and takes its ProgID from any other class).
    void PutClass(ClassRegistration registration);
    // Removes the class; when `progId` is given, also any class registered
    // under it. False when nothing was there.
    bool RemoveClass(const CLSID& clsid, std::string_view progId);
    // Adds or replaces a type library version with its interfaces and classes.
    void PutTypeLib(TypeLibraryDescription library);
    bool RemoveTypeLib(const GUID& libId, std::uint16_t major, std::uint16_t minor);

    // Everything a host needs to know about a class's members; false with
    // `error` when the class has no registered type information.
    bool DescribeClass(const CLSID& clsid, ClassTypeInfo& info, std::string* error) const;

    const std::vector<ClassRegistration>& Classes() const noexcept { return ClassList; }
    const std::vector<TypeLibraryDescription>& TypeLibs() const noexcept { return LibraryList; }

private:
    std::vector<ClassRegistration> ClassList;
    std::vector<TypeLibraryDescription> LibraryList;
};

// The default location described above.
std::string DefaultRegistryPath();
// The file every registration and lookup of this process uses: the one the
// host set, else the default. Setting an empty path restores the default.
void SetRegistryPath(std::string path);
std::string GetRegistryPath();

// Reads the current registry file.
bool ReadRegistry(Registry& registry, std::string* error);
// Runs `change` on the registry under the file's lock and saves the result
// when `change` returns true. False with `error` set when the file is
// corrupt, cannot be locked or written, or `change` refused.
bool UpdateRegistry(const std::function<bool(Registry&, std::string& error)>& change, std::string* error);

}  // namespace platform
