#include "platform/automation/typeinfo.h"

#include <cctype>
#include <charconv>

#include "fileio.h"
#include "platform/window/text.h"

namespace platform {

namespace {

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

void SkipSpaces(std::string_view& text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
}

std::string_view TakeWord(std::string_view& text) {
    SkipSpaces(text);
    std::size_t n = 0;
    while (n < text.size() && IsNameChar(text[n])) ++n;
    std::string_view word = text.substr(0, n);
    text.remove_prefix(n);
    return word;
}

// A type name: letters, digits and '_' with an optional trailing '*'.
std::string_view TakeTypeName(std::string_view& text) {
    SkipSpaces(text);
    std::size_t n = 0;
    while (n < text.size() && IsNameChar(text[n])) ++n;
    if (n < text.size() && text[n] == '*') ++n;
    std::string_view word = text.substr(0, n);
    text.remove_prefix(n);
    return word;
}

std::string QuoteHelp(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c == '\n' ? ' ' : c;
    }
    return out + "\"";
}

}  // namespace

std::string MemberDescription::ToText() const {
    std::string text = std::to_string(Id);
    text += Kind == MemberKind::Property ? " property " : " method ";
    text += Name;
    if (Kind == MemberKind::Method) {
        text += '(';
        for (std::size_t i = 0; i < Params.size(); ++i) {
            if (i > 0) text += ", ";
            text += TypeName(Params[i].Type);
            text += ' ';
            text += Params[i].Name;
        }
        text += ')';
    }
    text += ": ";
    text += TypeName(Result);
    if (!HelpString.empty()) {
        text += ' ';
        text += QuoteHelp(HelpString);
    }
    return text;
}

bool MemberDescription::Parse(std::string_view text, MemberDescription& member, std::string& problem) {
    MemberDescription parsed;
    text = detail::Trim(text);
    std::size_t idLength = text.find(' ');
    std::string_view idText = text.substr(0, idLength);
    auto [end, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), parsed.Id);
    if (ec != std::errc() || end != idText.data() + idText.size()) {
        problem = "a member starts with its dispatch id";
        return false;
    }
    text.remove_prefix(idText.size());
    std::string_view kind = TakeWord(text);
    if (kind == "method") {
        parsed.Kind = MemberKind::Method;
    } else if (kind == "property") {
        parsed.Kind = MemberKind::Property;
    } else {
        problem = "the member kind is \"method\" or \"property\"";
        return false;
    }
    parsed.Name = std::string(TakeWord(text));
    if (parsed.Name.empty()) {
        problem = "the member has no name";
        return false;
    }
    if (parsed.Kind == MemberKind::Method) {
        SkipSpaces(text);
        if (text.empty() || text.front() != '(') {
            problem = "a method lists its parameters in parentheses";
            return false;
        }
        text.remove_prefix(1);
        SkipSpaces(text);
        while (!text.empty() && text.front() != ')') {
            ParamInfo param;
            std::string_view typeName = TakeTypeName(text);
            if (!ParseTypeName(typeName, param.Type) || param.Type == VT_EMPTY) {
                problem = "unknown parameter type \"" + std::string(typeName) + "\"";
                return false;
            }
            param.Name = std::string(TakeWord(text));
            if (param.Name.empty()) {
                problem = "a parameter has no name";
                return false;
            }
            parsed.Params.push_back(std::move(param));
            SkipSpaces(text);
            if (!text.empty() && text.front() == ',') {
                text.remove_prefix(1);
                SkipSpaces(text);
            } else if (text.empty() || text.front() != ')') {
                problem = "parameters are separated by commas and end with ')'";
                return false;
            }
        }
        if (text.empty()) {
            problem = "the parameter list has no ')'";
            return false;
        }
        text.remove_prefix(1);
    }
    SkipSpaces(text);
    if (text.empty() || text.front() != ':') {
        problem = "the member's type follows a ':'";
        return false;
    }
    text.remove_prefix(1);
    std::string_view resultName = TakeTypeName(text);
    if (!ParseTypeName(resultName, parsed.Result) || (parsed.Result & VT_BYREF) != 0 ||
        (parsed.Kind == MemberKind::Property && parsed.Result == VT_EMPTY)) {
        problem = "unknown type \"" + std::string(resultName) + "\"";
        return false;
    }
    SkipSpaces(text);
    if (!text.empty()) {
        if (text.front() != '"' || text.size() < 2 || text.back() != '"') {
            problem = "a help string is quoted";
            return false;
        }
        std::string help;
        for (std::size_t i = 1; i + 1 < text.size(); ++i) {
            if (text[i] == '\\' && i + 2 < text.size()) ++i;
            help += text[i];
        }
        parsed.HelpString = std::move(help);
    }
    member = std::move(parsed);
    return true;
}

const MemberDescription* InterfaceDescription::FindByName(std::string_view name) const noexcept {
    for (const auto& member : Members) {
        if (EqualsNoCase(member.Name, name)) return &member;
    }
    return nullptr;
}

const MemberDescription* InterfaceDescription::FindById(DISPID id) const noexcept {
    for (const auto& member : Members) {
        if (member.Id == id) return &member;
    }
    return nullptr;
}

const InterfaceDescription* TypeLibraryDescription::FindInterface(const IID& iid) const noexcept {
    for (const auto& item : Interfaces) {
        if (item.Iid == iid) return &item;
    }
    return nullptr;
}

const CoClassDescription* TypeLibraryDescription::FindClass(const CLSID& clsid) const noexcept {
    for (const auto& item : Classes) {
        if (item.Clsid == clsid) return &item;
    }
    return nullptr;
}

InterfaceDescription DescribeInterface(const IID& iid, std::string name, std::string helpString,
                                       const DispatchTable& table) {
    InterfaceDescription description{iid, std::move(name), std::move(helpString), false, {}};
    for (const DispatchMember& entry : table.Members()) {
        description.Members.push_back({entry.MemberId, entry.Name, entry.Kind, entry.Params, entry.Result, entry.Help});
    }
    return description;
}

InterfaceDescription DescribeInterface(const IID& iid, std::string name, std::string helpString,
                                       const EventTable& table) {
    InterfaceDescription description{iid, std::move(name), std::move(helpString), true, {}};
    for (const EventInfo& entry : table.Events()) {
        description.Members.push_back({entry.Id, entry.Name, MemberKind::Method, entry.Params, VT_EMPTY, entry.Help});
    }
    return description;
}

}  // namespace platform
