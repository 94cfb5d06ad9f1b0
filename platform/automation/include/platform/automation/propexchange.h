#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/variant.h"

// Property persistence: the property bag a container keeps for a control,
// with a text form a person can read and edit, and the exchange the control
// runs to load, save or reset its persistent properties.
namespace platform {

using DWORD = std::uint32_t;

// Named values in file order. Names compare case-insensitively; values are
// kept as text and converted by the exchange functions.
//
// Text form, one entry a line:
//     # comments and blank lines are ignored
//     _Version = 1.0
//     Monitor = true
//     Volume = 0.75
//     BackgroundColor = 0x000000FF
//     Caption = "quoted, with \" \\ \n escapes"
class PropertyBag {
public:
    // Reads the text form. A line that cannot be read is reported in `issues`
    // ("line 3: ...") and skipped; a name given twice keeps the later value.
    static PropertyBag Parse(std::string_view text, std::vector<std::string>* issues);
    // The text form, preceded by `header` as comment lines when not empty.
    std::string ToText(std::string_view header = {}) const;

    // Reads a file: false with `error` set only when it cannot be read at all;
    // bad lines inside it go to `issues` as in Parse.
    static bool LoadFile(const std::string& path, PropertyBag& bag, std::vector<std::string>* issues,
                         std::string* error);
    // Writes the text form to a temporary file beside `path` and renames it
    // over `path`, so a reader never sees half a file. False with `error` set.
    bool SaveFile(const std::string& path, std::string_view header, std::string* error) const;

    // The text of an entry, or null.
    const std::string* Find(std::string_view name) const noexcept;
    // Adds or replaces an entry; `quoted` writes it as a string. False for a
    // name the text form cannot hold (empty, '=', '#' first, line breaks,
    // spaces at either end).
    bool Write(std::string_view name, std::string value, bool quoted = false);
    bool Remove(std::string_view name);
    void Clear() noexcept { Entries.clear(); }

    std::vector<std::string> Names() const;
    std::size_t Size() const noexcept { return Entries.size(); }
    // The line an entry came from in the parsed text, 0 when it was written.
    int LineOf(std::string_view name) const noexcept;

    static bool IsValidName(std::string_view name) noexcept;

private:
    struct Entry {
        std::string Name;
        std::string Value;
        bool Quoted = false;
        int Line = 0;
    };
    Entry* FindEntry(std::string_view name) noexcept;
    const Entry* FindEntry(std::string_view name) const noexcept;

    std::vector<Entry> Entries;
};

// One run of a control's property exchange: loading from a bag, saving into
// one, or resetting to the defaults (which counts as loading, as a control's
// code expects). Problems met while loading are collected as readable texts,
// never raised: a bad entry yields the default and the load goes on.
class CPropExchange {
public:
    enum class Mode { Load, Save, Reset };

    // `bag` may be null only for Reset. `issues` may be null.
    CPropExchange(Mode mode, PropertyBag* bag, std::vector<std::string>* issues) noexcept;

    BOOL IsLoading() const noexcept { return ExchangeMode != Mode::Save ? TRUE : FALSE; }
    Mode GetMode() const noexcept { return ExchangeMode; }
    // The version stamp met while loading (the control's own when the data
    // carried none); the control's own when saving or resetting. 0 before
    // the version was exchanged.
    DWORD GetVersion() const noexcept { return Version; }

    // The exchange step of every PX_ function: on load, converts the entry
    // `name` to `type` into `value` (the default when the entry is missing or
    // unreadable, the latter reported); on save, writes `value`; on reset,
    // sets the default. TRUE when the value came from the data or was written.
    BOOL ExchangeProp(std::string_view name, VARTYPE type, Variant& value, const Variant& defaultValue) noexcept;
    // The version stamp ("_Version", written as major.minor). TRUE unless the
    // data carries another version and `convert` is FALSE.
    BOOL ExchangeVersion(DWORD& version, DWORD currentVersion, BOOL convert) noexcept;

    // Adds a problem text for the host.
    void Report(std::string text) noexcept;
    // Names the exchange asked for, lower-cased, so that the caller can tell
    // which entries of the bag nobody knew.
    const std::vector<std::string>& ExchangedNames() const noexcept { return Exchanged; }

private:
    Mode ExchangeMode;
    PropertyBag* Bag;
    std::vector<std::string>* Issues;
    DWORD Version = 0;
    std::vector<std::string> Exchanged;
};

inline constexpr std::string_view kVersionEntryName = "_Version";

// The exchange functions a control calls from DoPropExchange: the property's
// name, the member, and the value it takes when the data has none.
BOOL PX_Bool(CPropExchange* px, std::string_view name, BOOL& value, BOOL defaultValue);
BOOL PX_Long(CPropExchange* px, std::string_view name, std::int32_t& value, std::int32_t defaultValue);
BOOL PX_Color(CPropExchange* px, std::string_view name, OLE_COLOR& value, OLE_COLOR defaultValue);
BOOL PX_Double(CPropExchange* px, std::string_view name, double& value, double defaultValue);
BOOL PX_String(CPropExchange* px, std::string_view name, std::string& value, std::string_view defaultValue);

}  // namespace platform
