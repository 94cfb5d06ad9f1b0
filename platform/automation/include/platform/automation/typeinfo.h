#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/dispatch.h"

// Type information: what a type library says about its interfaces and
// classes. Modules declare it from their controls' tables; registration
// writes it into the registry, where hosts read it without loading a module.
namespace platform {

struct MemberDescription {
    DISPID Id = 0;
    std::string Name;
    MemberKind Kind = MemberKind::Method;
    std::vector<ParamInfo> Params;
    // A method's result, or a property's type.
    VARTYPE Result = VT_EMPTY;
    std::string HelpString;

    // One line of text, e.g. "12 method GetTempoInfo(double* BPM, long* Numerator): bool"
    // or "1 property Monitor: bool"; the registry stores members this way.
    std::string ToText() const;
    // The reverse; false with `problem` set for text that is not a member.
    static bool Parse(std::string_view text, MemberDescription& member, std::string& problem);
};

struct InterfaceDescription {
    IID Iid;
    std::string Name;
    std::string HelpString;
    // An event (source) interface rather than a dispatch interface.
    bool IsEvents = false;
    std::vector<MemberDescription> Members;

    const MemberDescription* FindByName(std::string_view name) const noexcept;
    const MemberDescription* FindById(DISPID id) const noexcept;
};

struct CoClassDescription {
    CLSID Clsid;
    std::string Name;
    std::string HelpString;
    IID Dispatch;
    std::optional<IID> Events;
};

struct TypeLibraryDescription {
    GUID LibId;
    std::string Name;
    std::uint16_t Major = 1;
    std::uint16_t Minor = 0;
    std::uint32_t Locale = 0;
    std::string HelpString;
    std::string HelpFile;
    // The module the library was registered from.
    std::string ModulePath;
    std::vector<InterfaceDescription> Interfaces;
    std::vector<CoClassDescription> Classes;

    const InterfaceDescription* FindInterface(const IID& iid) const noexcept;
    const CoClassDescription* FindClass(const CLSID& clsid) const noexcept;
};

// Builds an interface description from a control's tables. The alternate
// names stay out: the type information knows each member by its main name.
InterfaceDescription DescribeInterface(const IID& iid, std::string name, std::string helpString,
                                       const DispatchTable& table);
InterfaceDescription DescribeInterface(const IID& iid, std::string name, std::string helpString,
                                       const EventTable& table);

// What a host knows of one registered class: its coclass and the two
// interfaces, read from the registry.
struct ClassTypeInfo {
    CoClassDescription CoClass;
    InterfaceDescription Dispatch;
    std::optional<InterfaceDescription> Events;
    std::string LibraryName;
};

}  // namespace platform
