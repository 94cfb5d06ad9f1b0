#include "platform/automation/propexchange.h"

#include <algorithm>
#include <cstdio>

#include "fileio.h"
#include "platform/file/file.h"
#include "platform/window/text.h"

namespace platform {

using detail::QuoteExcerpt;
using detail::Trim;

namespace {

std::string LineLabel(int line) { return "line " + std::to_string(line) + ": "; }

// Reads a quoted value starting at text[0] == '"'. False when it does not
// end, has an unknown escape, or is followed by anything but spaces.
bool Unquote(std::string_view text, std::string& value, std::string& problem) {
    std::string out;
    std::size_t i = 1;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') break;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == text.size()) break;
        switch (text[i]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            default: problem = "unknown escape \\" + detail::Escape(text.substr(i, 1)) + " in a string"; return false;
        }
    }
    if (i >= text.size()) {
        problem = "the string has no closing quote";
        return false;
    }
    if (!Trim(text.substr(i + 1)).empty()) {
        problem = "text after the closing quote";
        return false;
    }
    value = std::move(out);
    return true;
}

std::string Quote(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out + "\"";
}

std::string FormatVersion(DWORD version) {
    return std::to_string(version >> 16) + "." + std::to_string(version & 0xFFFF);
}

// "1.0" or a plain number (0x00010000 or 65536).
bool ParseVersion(std::string_view text, DWORD& version) {
    text = Trim(text);
    if (text.find('.') != std::string_view::npos) {
        std::uint16_t major = 0, minor = 0;
        if (!detail::ParseMajorMinor(text, major, minor)) return false;
        version = static_cast<DWORD>(major) << 16 | minor;
        return true;
    }
    Variant number;
    if (FAILED(ChangeType(Variant(text), VT_COLOR, number))) return false;
    version = number.Color();
    return true;
}

// The text form of a value of one of the persisted types.
std::string FormatValue(const Variant& value) {
    switch (value.BaseType()) {
        case VT_BOOL: return value.Bool() ? "true" : "false";
        case VT_I4: return std::to_string(value.Long());
        case VT_R8: return FormatDouble(value.Double());
        case VT_COLOR: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value.Color()));
            return text;
        }
        case VT_BSTR: return value.String();
        default: return {};
    }
}

}  // namespace

bool PropertyBag::IsValidName(std::string_view name) noexcept {
    if (name.empty() || name.front() == '#' || Trim(name).size() != name.size()) return false;
    return name.find_first_of("=\n\r") == std::string_view::npos;
}

PropertyBag PropertyBag::Parse(std::string_view text, std::vector<std::string>* issues) {
    PropertyBag bag;
    auto report = [issues](std::string problem) {
        if (issues) issues->push_back(std::move(problem));
    };
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = Trim(line);
        if (line.empty() || line.front() == '#') continue;
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            report(LineLabel(lineNumber) + "no '=' in " + QuoteExcerpt(line) + "; the line is skipped");
            continue;
        }
        std::string_view name = Trim(line.substr(0, equals));
        std::string_view rawValue = Trim(line.substr(equals + 1));
        if (!IsValidName(name)) {
            report(LineLabel(lineNumber) + "the entry has no name; the line is skipped");
            continue;
        }
        std::string value(rawValue);
        bool quoted = false;
        if (!rawValue.empty() && rawValue.front() == '"') {
            std::string problem;
            if (!Unquote(rawValue, value, problem)) {
                report(LineLabel(lineNumber) + problem + " (" + QuoteExcerpt(name) + "); the line is skipped");
                continue;
            }
            quoted = true;
        }
        if (Entry* earlier = bag.FindEntry(name)) {
            report(LineLabel(lineNumber) + QuoteExcerpt(name) + " was already given on line " +
                   std::to_string(earlier->Line) + "; the later value is used");
            earlier->Value = std::move(value);
            earlier->Quoted = quoted;
            earlier->Line = lineNumber;
            continue;
        }
        bag.Entries.push_back(Entry{std::string(name), std::move(value), quoted, lineNumber});
    }
    return bag;
}

std::string PropertyBag::ToText(std::string_view header) const {
    std::string text;
    while (!header.empty()) {
        std::size_t end = header.find('\n');
        text += "# ";
        text += header.substr(0, end);
        text += '\n';
        header = end == std::string_view::npos ? std::string_view{} : header.substr(end + 1);
    }
    for (const Entry& entry : Entries) {
        text += entry.Name;
        text += " = ";
        bool needsQuotes = entry.Quoted || entry.Value != Trim(entry.Value) ||
                           (!entry.Value.empty() && entry.Value.front() == '"') ||
                           entry.Value.find_first_of("\n\r") != std::string::npos;
        text += needsQuotes ? Quote(entry.Value) : entry.Value;
        text += '\n';
    }
    return text;
}

bool PropertyBag::LoadFile(const std::string& path, PropertyBag& bag, std::vector<std::string>* issues,
                           std::string* error) {
    std::string content;
    if (!ReadRegularTextFile(path, detail::kMaxSettingsFileBytes, content, error)) return false;
    std::vector<std::string> found;
    bag = Parse(content, &found);
    if (issues) {
        for (auto& issue : found) issues->push_back(path + ": " + issue);
    }
    return true;
}

bool PropertyBag::SaveFile(const std::string& path, std::string_view header, std::string* error) const {
    try {
        return WriteFileAtomically(path, ToText(header), error);
    } catch (...) {
        if (error) *error = "out of memory while saving " + path;
        return false;
    }
}

const std::string* PropertyBag::Find(std::string_view name) const noexcept {
    const Entry* entry = FindEntry(name);
    return entry ? &entry->Value : nullptr;
}

bool PropertyBag::Write(std::string_view name, std::string value, bool quoted) {
    if (!IsValidName(name)) return false;
    if (Entry* entry = FindEntry(name)) {
        entry->Value = std::move(value);
        entry->Quoted = quoted;
        entry->Line = 0;
        return true;
    }
    Entries.push_back(Entry{std::string(name), std::move(value), quoted, 0});
    return true;
}

bool PropertyBag::Remove(std::string_view name) {
    auto it =
        std::find_if(Entries.begin(), Entries.end(), [name](const Entry& e) { return EqualsNoCase(e.Name, name); });
    if (it == Entries.end()) return false;
    Entries.erase(it);
    return true;
}

std::vector<std::string> PropertyBag::Names() const {
    std::vector<std::string> names;
    names.reserve(Entries.size());
    for (const Entry& entry : Entries) names.push_back(entry.Name);
    return names;
}

int PropertyBag::LineOf(std::string_view name) const noexcept {
    const Entry* entry = FindEntry(name);
    return entry ? entry->Line : 0;
}

PropertyBag::Entry* PropertyBag::FindEntry(std::string_view name) noexcept {
    for (Entry& entry : Entries) {
        if (EqualsNoCase(entry.Name, name)) return &entry;
    }
    return nullptr;
}

const PropertyBag::Entry* PropertyBag::FindEntry(std::string_view name) const noexcept {
    return const_cast<PropertyBag*>(this)->FindEntry(name);
}

CPropExchange::CPropExchange(Mode mode, PropertyBag* bag, std::vector<std::string>* issues) noexcept
    : ExchangeMode(mode), Bag(bag), Issues(issues) {}

void CPropExchange::Report(std::string text) noexcept {
    if (!Issues) return;
    try {
        Issues->push_back(std::move(text));
    } catch (...) {
    }
}

BOOL CPropExchange::ExchangeProp(std::string_view name, VARTYPE type, Variant& value,
                                 const Variant& defaultValue) noexcept {
    try {
        Exchanged.push_back(LowerAscii(name));
        switch (ExchangeMode) {
            case Mode::Reset: value = defaultValue; return TRUE;
            case Mode::Save: {
                if (!Bag || !Bag->Write(name, FormatValue(value), value.BaseType() == VT_BSTR)) {
                    Report("the property name \"" + std::string(name) + "\" cannot be saved");
                    return FALSE;
                }
                return TRUE;
            }
            case Mode::Load: {
                const std::string* text = Bag ? Bag->Find(name) : nullptr;
                if (!text) {
                    value = defaultValue;
                    return TRUE;
                }
                Variant converted;
                std::string why;
                HRESULT hr = ChangeType(Variant(*text), type, converted, &why);
                if (FAILED(hr)) {
                    int line = Bag->LineOf(name);
                    Report((line > 0 ? LineLabel(line) : std::string()) + QuoteExcerpt(name) + ": " + why +
                           "; the default " + defaultValue.ToDisplayString() + " is used");
                    value = defaultValue;
                    return FALSE;
                }
                value = std::move(converted);
                return TRUE;
            }
        }
    } catch (...) {
        value = defaultValue;
    }
    return FALSE;
}

BOOL CPropExchange::ExchangeVersion(DWORD& version, DWORD currentVersion, BOOL convert) noexcept {
    try {
        switch (ExchangeMode) {
            case Mode::Reset: version = Version = currentVersion; return TRUE;
            case Mode::Save:
                version = Version = currentVersion;
                if (Bag) Bag->Write(kVersionEntryName, FormatVersion(currentVersion));
                return TRUE;
            case Mode::Load: {
                DWORD loaded = currentVersion;
                const std::string* text = Bag ? Bag->Find(kVersionEntryName) : nullptr;
                if (text && !ParseVersion(*text, loaded)) {
                    Report("\"" + std::string(kVersionEntryName) + "\": " + QuoteExcerpt(*text) +
                           " is not a version; " + FormatVersion(currentVersion) + " is assumed");
                    loaded = currentVersion;
                }
                version = Version = loaded;
                if (loaded == currentVersion) return TRUE;
                if (loaded >> 16 > currentVersion >> 16) {
                    Report("the properties were saved by version " + FormatVersion(loaded) +
                           " of the control; this is " + FormatVersion(currentVersion) +
                           ", entries it does not know are skipped");
                }
                return convert ? TRUE : FALSE;
            }
        }
    } catch (...) {
    }
    return FALSE;
}

namespace {

template <class T, class Read>
BOOL ExchangeTyped(CPropExchange* px, std::string_view name, VARTYPE type, T& member, const Variant& current,
                   const Variant& defaultValue, Read read) {
    if (!px) return FALSE;
    Variant value = current;
    BOOL ok = px->ExchangeProp(name, type, value, defaultValue);
    if (px->IsLoading()) member = read(value);
    return ok;
}

}  // namespace

BOOL PX_Bool(CPropExchange* px, std::string_view name, BOOL& value, BOOL defaultValue) {
    return ExchangeTyped(px, name, VT_BOOL, value, Variant::MakeBool(value), Variant::MakeBool(defaultValue),
                         [](const Variant& v) { return v.Bool(); });
}

BOOL PX_Long(CPropExchange* px, std::string_view name, std::int32_t& value, std::int32_t defaultValue) {
    return ExchangeTyped(px, name, VT_I4, value, Variant(value), Variant(defaultValue),
                         [](const Variant& v) { return v.Long(); });
}

BOOL PX_Color(CPropExchange* px, std::string_view name, OLE_COLOR& value, OLE_COLOR defaultValue) {
    return ExchangeTyped(px, name, VT_COLOR, value, Variant::MakeColor(value), Variant::MakeColor(defaultValue),
                         [](const Variant& v) { return v.Color(); });
}

BOOL PX_Double(CPropExchange* px, std::string_view name, double& value, double defaultValue) {
    return ExchangeTyped(px, name, VT_R8, value, Variant(value), Variant(defaultValue),
                         [](const Variant& v) { return v.Double(); });
}

BOOL PX_String(CPropExchange* px, std::string_view name, std::string& value, std::string_view defaultValue) {
    return ExchangeTyped(px, name, VT_BSTR, value, Variant(value), Variant(defaultValue),
                         [](const Variant& v) { return v.String(); });
}

}  // namespace platform
