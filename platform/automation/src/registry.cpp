#include "platform/automation/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "fileio.h"
#include "platform/file/file.h"
#include "platform/window/text.h"

namespace platform {

using detail::QuoteExcerpt;
using detail::Trim;

namespace {

// How long a change waits for another process's change to finish.
constexpr std::chrono::seconds kLockPatience{10};

struct RawSection {
    std::string Kind;
    std::string Id;
    int Line = 0;
    std::vector<std::pair<std::string, std::string>> Keys;
    std::vector<int> KeyLines;
};

class ParseFailure {
public:
    ParseFailure(int line, std::string text) : Line(line), Text(std::move(text)) {}
    int Line;
    std::string Text;
};

const char* KindText(ClassRegistration::Kind kind) {
    switch (kind) {
        case ClassRegistration::Kind::Control: return "control";
        case ClassRegistration::Kind::PropertyPage: return "property page";
        case ClassRegistration::Kind::Object: return "object";
    }
    return "object";
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string VersionText(std::uint16_t major, std::uint16_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

// Values are single lines; a line break in a name or help text becomes a space.
std::string OneLine(std::string_view text) {
    std::string line(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\r', ' ');
    return std::string(Trim(line));
}

GUID ParseGuidOrFail(std::string_view text, int line, std::string_view what) {
    auto guid = GUID::Parse(Trim(text));
    if (!guid) {
        throw ParseFailure(line, std::string(what) + " " + QuoteExcerpt(text) + " is not a GUID in braces");
    }
    return *guid;
}

void ParseVersionOrFail(std::string_view text, int line, std::uint16_t& major, std::uint16_t& minor) {
    if (!detail::ParseMajorMinor(text, major, minor)) {
        throw ParseFailure(line, QuoteExcerpt(text) + " is not a version (major.minor)");
    }
}

std::uint32_t ParseNumberOrFail(std::string_view text, int line) {
    text = Trim(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw ParseFailure(line, QuoteExcerpt(text) + " is not a number");
    }
    return value;
}

bool ParseYesNoOrFail(std::string_view text, int line) {
    text = Trim(text);
    if (EqualsNoCase(text, "yes")) return true;
    if (EqualsNoCase(text, "no")) return false;
    throw ParseFailure(line, QuoteExcerpt(text) + " is neither yes nor no");
}

// "{GUID} 1.0": the type library an interface or class belongs to.
void ParseLibraryRef(std::string_view text, int line, GUID& libId, std::uint16_t& major, std::uint16_t& minor) {
    text = Trim(text);
    auto space = text.find(' ');
    if (space == std::string_view::npos) {
        throw ParseFailure(line, "a type library is named by its GUID and version");
    }
    libId = ParseGuidOrFail(text.substr(0, space), line, "the type library");
    ParseVersionOrFail(text.substr(space + 1), line, major, minor);
}

std::vector<RawSection> SplitSections(std::string_view text) {
    std::vector<RawSection> sections;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']') throw ParseFailure(lineNumber, "a section header ends with ']'");
            std::string_view header = Trim(line.substr(1, line.size() - 2));
            std::size_t space = header.find(' ');
            if (space == std::string_view::npos) {
                throw ParseFailure(lineNumber, "a section header names its kind and its id");
            }
            RawSection section;
            section.Kind = std::string(header.substr(0, space));
            section.Id = std::string(Trim(header.substr(space + 1)));
            section.Line = lineNumber;
            sections.push_back(std::move(section));
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            throw ParseFailure(lineNumber, "expected \"[Section id]\" or \"Key = value\"");
        }
        if (sections.empty()) throw ParseFailure(lineNumber, "a key before the first section");
        std::string_view key = Trim(line.substr(0, equals));
        if (key.empty()) throw ParseFailure(lineNumber, "a value without a key");
        // A key given twice would lose one of its values on the next rewrite;
        // only an interface's members are a list.
        RawSection& current = sections.back();
        if (key != "Member") {
            for (std::size_t i = 0; i < current.Keys.size(); ++i) {
                if (current.Keys[i].first == key) {
                    throw ParseFailure(lineNumber, "the key " + QuoteExcerpt(key) + " was already given on line " +
                                                       std::to_string(current.KeyLines[i]));
                }
            }
        }
        sections.back().Keys.emplace_back(std::string(key), std::string(Trim(line.substr(equals + 1))));
        sections.back().KeyLines.push_back(lineNumber);
    }
    return sections;
}

ClassRegistration ParseClass(const RawSection& section) {
    ClassRegistration entry;
    entry.Clsid = ParseGuidOrFail(section.Id, section.Line, "the class id");
    bool haveModule = false;
    for (std::size_t i = 0; i < section.Keys.size(); ++i) {
        const auto& [key, value] = section.Keys[i];
        int line = section.KeyLines[i];
        if (key == "Kind") {
            if (value == "control") {
                entry.ClassKind = ClassRegistration::Kind::Control;
            } else if (value == "property page") {
                entry.ClassKind = ClassRegistration::Kind::PropertyPage;
            } else if (value == "object") {
                entry.ClassKind = ClassRegistration::Kind::Object;
            } else {
                throw ParseFailure(line, "Kind is control, property page or object");
            }
        } else if (key == "Name") {
            entry.TypeName = value;
        } else if (key == "ProgID") {
            entry.ProgId = value;
        } else if (key == "Module") {
            entry.ModulePath = value;
            haveModule = !value.empty();
        } else if (key == "ThreadingModel") {
            entry.ThreadingModel = value;
        } else if (key == "Insertable") {
            entry.Insertable = ParseYesNoOrFail(value, line);
        } else if (key == "MiscStatus") {
            entry.MiscStatus = ParseNumberOrFail(value, line);
        } else if (key == "ToolboxBitmap") {
            entry.ToolboxBitmap = static_cast<int>(ParseNumberOrFail(value, line));
        } else if (key == "TypeLib") {
            entry.TypeLib = ParseGuidOrFail(value, line, "the type library");
        } else if (key == "Version") {
            ParseVersionOrFail(value, line, entry.TypeLibMajor, entry.TypeLibMinor);
        } else {
            throw ParseFailure(line, "unknown key " + QuoteExcerpt(key) + " in a Class section");
        }
    }
    if (!haveModule) throw ParseFailure(section.Line, "the class names no Module");
    return entry;
}

TypeLibraryDescription ParseTypeLib(const RawSection& section) {
    TypeLibraryDescription library;
    std::string_view id = section.Id;
    std::size_t space = id.find(' ');
    if (space == std::string_view::npos) {
        throw ParseFailure(section.Line, "a TypeLib section names its GUID and version");
    }
    library.LibId = ParseGuidOrFail(id.substr(0, space), section.Line, "the type library");
    ParseVersionOrFail(id.substr(space + 1), section.Line, library.Major, library.Minor);
    for (std::size_t i = 0; i < section.Keys.size(); ++i) {
        const auto& [key, value] = section.Keys[i];
        int line = section.KeyLines[i];
        if (key == "Name") {
            library.Name = value;
        } else if (key == "Locale") {
            library.Locale = ParseNumberOrFail(value, line);
        } else if (key == "HelpString") {
            library.HelpString = value;
        } else if (key == "HelpFile") {
            library.HelpFile = value;
        } else if (key == "Module") {
            library.ModulePath = value;
        } else {
            throw ParseFailure(line, "unknown key " + QuoteExcerpt(key) + " in a TypeLib section");
        }
    }
    return library;
}

struct LibraryRef {
    GUID LibId;
    std::uint16_t Major = 0;
    std::uint16_t Minor = 0;
    int Line = 0;
};

InterfaceDescription ParseInterface(const RawSection& section, LibraryRef& owner) {
    InterfaceDescription description;
    description.Iid = ParseGuidOrFail(section.Id, section.Line, "the interface id");
    bool haveOwner = false;
    for (std::size_t i = 0; i < section.Keys.size(); ++i) {
        const auto& [key, value] = section.Keys[i];
        int line = section.KeyLines[i];
        if (key == "TypeLib") {
            ParseLibraryRef(value, line, owner.LibId, owner.Major, owner.Minor);
            owner.Line = line;
            haveOwner = true;
        } else if (key == "Name") {
            description.Name = value;
        } else if (key == "Kind") {
            if (value != "dispatch" && value != "events") {
                throw ParseFailure(line, "Kind is dispatch or events");
            }
            description.IsEvents = value == "events";
        } else if (key == "HelpString") {
            description.HelpString = value;
        } else if (key == "Member") {
            MemberDescription member;
            std::string problem;
            if (!MemberDescription::Parse(value, member, problem)) throw ParseFailure(line, problem);
            description.Members.push_back(std::move(member));
        } else {
            throw ParseFailure(line, "unknown key " + QuoteExcerpt(key) + " in an Interface section");
        }
    }
    if (!haveOwner) throw ParseFailure(section.Line, "the interface names no TypeLib");
    return description;
}

CoClassDescription ParseCoClass(const RawSection& section, LibraryRef& owner) {
    CoClassDescription description;
    description.Clsid = ParseGuidOrFail(section.Id, section.Line, "the class id");
    bool haveOwner = false, haveDispatch = false;
    for (std::size_t i = 0; i < section.Keys.size(); ++i) {
        const auto& [key, value] = section.Keys[i];
        int line = section.KeyLines[i];
        if (key == "TypeLib") {
            ParseLibraryRef(value, line, owner.LibId, owner.Major, owner.Minor);
            owner.Line = line;
            haveOwner = true;
        } else if (key == "Name") {
            description.Name = value;
        } else if (key == "HelpString") {
            description.HelpString = value;
        } else if (key == "Dispatch") {
            description.Dispatch = ParseGuidOrFail(value, line, "the dispatch interface");
            haveDispatch = true;
        } else if (key == "Events") {
            description.Events = ParseGuidOrFail(value, line, "the event interface");
        } else {
            throw ParseFailure(line, "unknown key " + QuoteExcerpt(key) + " in a CoClass section");
        }
    }
    if (!haveOwner) throw ParseFailure(section.Line, "the class names no TypeLib");
    if (!haveDispatch) throw ParseFailure(section.Line, "the class names no Dispatch interface");
    return description;
}

std::mutex PathLock;
std::string OverriddenPath;  // guarded by PathLock; empty: the default

// An exclusive advisory lock on "<registry>.lock", released on destruction.
class RegistryLock {
public:
    bool Acquire(const std::string& registryPath, std::string* error) {
        std::string lockPath = registryPath + ".lock";
        Fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (Fd < 0) {
            if (error) *error = "cannot open the lock file " + lockPath + ": " + std::strerror(errno);
            return false;
        }
        auto giveUp = std::chrono::steady_clock::now() + kLockPatience;
        while (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                if (error) *error = "cannot lock " + lockPath + ": " + std::strerror(errno);
                return false;
            }
            if (std::chrono::steady_clock::now() > giveUp) {
                if (error) {
                    *error = "the registry " + registryPath + " stayed locked by another process for " +
                             std::to_string(kLockPatience.count()) + " s";
                }
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    ~RegistryLock() {
        if (Fd >= 0) ::close(Fd);  // closing releases the lock
    }

private:
    int Fd = -1;
};

std::string FolderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool Registry::Parse(std::string_view text, std::string_view source, Registry& registry, std::string* error) {
    try {
        Registry parsed;
        std::vector<std::pair<InterfaceDescription, LibraryRef>> interfaces;
        std::vector<std::pair<CoClassDescription, LibraryRef>> classes;
        for (const RawSection& section : SplitSections(text)) {
            if (section.Kind == "Class") {
                ClassRegistration entry = ParseClass(section);
                if (parsed.FindClass(entry.Clsid)) {
                    throw ParseFailure(section.Line, "the class " + section.Id + " appears twice");
                }
                if (!entry.ProgId.empty() && parsed.FindProgId(entry.ProgId)) {
                    throw ParseFailure(section.Line, "the ProgID " + entry.ProgId + " belongs to two classes");
                }
                parsed.ClassList.push_back(std::move(entry));
            } else if (section.Kind == "TypeLib") {
                TypeLibraryDescription library = ParseTypeLib(section);
                for (const auto& other : parsed.LibraryList) {
                    if (other.LibId == library.LibId && other.Major == library.Major && other.Minor == library.Minor) {
                        throw ParseFailure(section.Line, "the type library " + section.Id + " appears twice");
                    }
                }
                parsed.LibraryList.push_back(std::move(library));
            } else if (section.Kind == "Interface") {
                LibraryRef owner;
                InterfaceDescription description = ParseInterface(section, owner);
                interfaces.emplace_back(std::move(description), owner);
            } else if (section.Kind == "CoClass") {
                LibraryRef owner;
                CoClassDescription description = ParseCoClass(section, owner);
                classes.emplace_back(std::move(description), owner);
            } else {
                throw ParseFailure(section.Line, "unknown section kind " + QuoteExcerpt(section.Kind));
            }
        }
        auto ownerOf = [&parsed](const LibraryRef& ref) -> TypeLibraryDescription& {
            for (auto& library : parsed.LibraryList) {
                if (library.LibId == ref.LibId && library.Major == ref.Major && library.Minor == ref.Minor) {
                    return library;
                }
            }
            throw ParseFailure(ref.Line, "the type library " + ref.LibId.ToString() + " " +
                                             VersionText(ref.Major, ref.Minor) + " has no TypeLib section");
        };
        for (auto& [description, ref] : interfaces) {
            ownerOf(ref).Interfaces.push_back(std::move(description));
        }
        for (auto& [description, ref] : classes) {
            ownerOf(ref).Classes.push_back(std::move(description));
        }
        registry = std::move(parsed);
        return true;
    } catch (const ParseFailure& failure) {
        if (error) {
            *error = std::string(source) + " line " + std::to_string(failure.Line) + ": " + failure.Text;
        }
    } catch (const std::exception& e) {
        if (error) *error = std::string(source) + ": " + e.what();
    }
    return false;
}

bool Registry::Load(const std::string& path, Registry& registry, std::string* error) {
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
        registry = Registry();
        return true;
    }
    std::string text;
    if (!ReadRegularTextFile(path, detail::kMaxSettingsFileBytes, text, error)) return false;
    if (!Parse(text, path, registry, error)) {
        if (error) *error = "the registry file is corrupt: " + *error;
        return false;
    }
    return true;
}

std::string Registry::ToText() const {
    std::string text =
        "# Registered control classes, ProgIDs and type libraries.\n"
        "# Written by module registration (ocx-register); the file is refused\n"
        "# while it does not parse, so edit with care.\n";
    auto line = [&text](std::string_view key, std::string_view value) {
        text += key;
        text += " = ";
        text += OneLine(value);
        text += '\n';
    };
    for (const ClassRegistration& entry : ClassList) {
        text += "\n[Class " + entry.Clsid.ToString() + "]\n";
        line("Kind", KindText(entry.ClassKind));
        if (!entry.TypeName.empty()) line("Name", entry.TypeName);
        if (!entry.ProgId.empty()) line("ProgID", entry.ProgId);
        line("Module", entry.ModulePath);
        if (!entry.ThreadingModel.empty()) line("ThreadingModel", entry.ThreadingModel);
        if (entry.ClassKind == ClassRegistration::Kind::Control) {
            line("Insertable", entry.Insertable ? "yes" : "no");
            line("MiscStatus", Hex32(entry.MiscStatus));
        }
        if (entry.ToolboxBitmap != 0) line("ToolboxBitmap", std::to_string(entry.ToolboxBitmap));
        if (entry.TypeLib) {
            line("TypeLib", entry.TypeLib->ToString());
            line("Version", VersionText(entry.TypeLibMajor, entry.TypeLibMinor));
        }
    }
    for (const TypeLibraryDescription& library : LibraryList) {
        std::string owner = library.LibId.ToString() + " " + VersionText(library.Major, library.Minor);
        text += "\n[TypeLib " + owner + "]\n";
        line("Name", library.Name);
        line("Locale", std::to_string(library.Locale));
        if (!library.HelpString.empty()) line("HelpString", library.HelpString);
        if (!library.HelpFile.empty()) line("HelpFile", library.HelpFile);
        if (!library.ModulePath.empty()) line("Module", library.ModulePath);
        for (const InterfaceDescription& description : library.Interfaces) {
            text += "\n[Interface " + description.Iid.ToString() + "]\n";
            line("TypeLib", owner);
            line("Name", description.Name);
            line("Kind", description.IsEvents ? "events" : "dispatch");
            if (!description.HelpString.empty()) line("HelpString", description.HelpString);
            for (const MemberDescription& member : description.Members) {
                line("Member", member.ToText());
            }
        }
        for (const CoClassDescription& description : library.Classes) {
            text += "\n[CoClass " + description.Clsid.ToString() + "]\n";
            line("TypeLib", owner);
            line("Name", description.Name);
            if (!description.HelpString.empty()) line("HelpString", description.HelpString);
            line("Dispatch", description.Dispatch.ToString());
            if (description.Events) line("Events", description.Events->ToString());
        }
    }
    return text;
}

const ClassRegistration* Registry::FindClass(const CLSID& clsid) const noexcept {
    for (const auto& entry : ClassList) {
        if (entry.Clsid == clsid) return &entry;
    }
    return nullptr;
}

const ClassRegistration* Registry::FindProgId(std::string_view progId) const noexcept {
    if (progId.empty()) return nullptr;
    for (const auto& entry : ClassList) {
        if (EqualsNoCase(entry.ProgId, progId)) return &entry;
    }
    return nullptr;
}

const TypeLibraryDescription* Registry::FindTypeLib(const GUID& libId,
                                                    std::optional<std::uint16_t> major) const noexcept {
    const TypeLibraryDescription* best = nullptr;
    for (const auto& library : LibraryList) {
        if (library.LibId != libId || (major && library.Major != *major)) continue;
        if (!best || library.Major > best->Major || (library.Major == best->Major && library.Minor > best->Minor)) {
            best = &library;
        }
    }
    return best;
}

void Registry::PutClass(ClassRegistration registration) {
    std::erase_if(ClassList, [&](const ClassRegistration& entry) {
        return entry.Clsid == registration.Clsid ||
               (!registration.ProgId.empty() && EqualsNoCase(entry.ProgId, registration.ProgId));
    });
    ClassList.push_back(std::move(registration));
}

bool Registry::RemoveClass(const CLSID& clsid, std::string_view progId) {
    auto before = ClassList.size();
    std::erase_if(ClassList, [&](const ClassRegistration& entry) {
        return entry.Clsid == clsid || (!progId.empty() && EqualsNoCase(entry.ProgId, progId));
    });
    return ClassList.size() != before;
}

void Registry::PutTypeLib(TypeLibraryDescription library) {
    RemoveTypeLib(library.LibId, library.Major, library.Minor);
    // An interface or class id belongs to one library: the newest registration.
    for (auto& other : LibraryList) {
        std::erase_if(other.Interfaces, [&](const InterfaceDescription& description) {
            return library.FindInterface(description.Iid) != nullptr;
        });
        std::erase_if(other.Classes, [&](const CoClassDescription& description) {
            return library.FindClass(description.Clsid) != nullptr;
        });
    }
    LibraryList.push_back(std::move(library));
}

bool Registry::RemoveTypeLib(const GUID& libId, std::uint16_t major, std::uint16_t minor) {
    auto before = LibraryList.size();
    std::erase_if(LibraryList, [&](const TypeLibraryDescription& library) {
        return library.LibId == libId && library.Major == major && library.Minor == minor;
    });
    return LibraryList.size() != before;
}

bool Registry::DescribeClass(const CLSID& clsid, ClassTypeInfo& info, std::string* error) const {
    auto fail = [error](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    const ClassRegistration* entry = FindClass(clsid);
    if (!entry) return fail("the class " + clsid.ToString() + " is not registered");
    if (!entry->TypeLib) return fail("the class " + clsid.ToString() + " names no type library");
    const TypeLibraryDescription* library = FindTypeLib(*entry->TypeLib, entry->TypeLibMajor);
    if (!library) {
        return fail("the type library " + entry->TypeLib->ToString() + " " +
                    VersionText(entry->TypeLibMajor, entry->TypeLibMinor) + " is not registered");
    }
    const CoClassDescription* coClass = library->FindClass(clsid);
    if (!coClass) return fail("the type library " + library->Name + " does not describe the class");
    const InterfaceDescription* dispatch = library->FindInterface(coClass->Dispatch);
    if (!dispatch) return fail("the type library " + library->Name + " lacks the class's interface");
    ClassTypeInfo result;
    result.CoClass = *coClass;
    result.Dispatch = *dispatch;
    result.LibraryName = library->Name;
    if (coClass->Events) {
        const InterfaceDescription* events = library->FindInterface(*coClass->Events);
        if (!events) {
            return fail("the type library " + library->Name + " lacks the class's event interface");
        }
        result.Events = *events;
    }
    info = std::move(result);
    return true;
}

std::string DefaultRegistryPath() {
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const passwd* user = ::getpwuid(::getuid());
            home = user ? user->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.local/share";
    }
    return base + "/ocx/registry";
}

void SetRegistryPath(std::string path) {
    std::lock_guard guard(PathLock);
    OverriddenPath = std::move(path);
}

std::string GetRegistryPath() {
    {
        std::lock_guard guard(PathLock);
        if (!OverriddenPath.empty()) return OverriddenPath;
    }
    return DefaultRegistryPath();
}

bool ReadRegistry(Registry& registry, std::string* error) { return Registry::Load(GetRegistryPath(), registry, error); }

bool UpdateRegistry(const std::function<bool(Registry&, std::string& error)>& change, std::string* error) {
    try {
        // A registry reached through a link is the file it names: that file
        // is locked, read and replaced, and the link stays.
        std::string path;
        if (!ResolveOutputPath(GetRegistryPath(), path, error)) return false;
        if (!detail::MakeFolders(FolderOf(path), error)) return false;
        // Opened before the lock, so that a target that must not be replaced
        // (a device, a FIFO) is refused before anything is made beside it.
        AtomicFile file;
        if (!file.Open(path, error)) return false;
        RegistryLock lock;
        if (!lock.Acquire(path, error)) return false;
        Registry registry;
        if (!Registry::Load(path, registry, error)) return false;
        std::string refusal;
        if (!change(registry, refusal)) {
            if (error) *error = refusal;
            return false;
        }
        const std::string text = registry.ToText();
        file.Write(text.data(), text.size());
        return file.Commit(error);
    } catch (const std::exception& e) {
        if (error) *error = std::string("cannot update the registry: ") + e.what();
        return false;
    }
}

}  // namespace platform
