#include "platform/automation/dispatch.h"

#include <set>

#include "platform/window/text.h"

namespace platform {

DispatchMember&& DispatchMember::Id(DISPID id) && {
    MemberId = id;
    FixedId = true;
    return std::move(*this);
}

DispatchMember&& DispatchMember::AlternateName(std::string name) && {
    AltName = std::move(name);
    return std::move(*this);
}

DispatchMember&& DispatchMember::HelpString(std::string text) && {
    Help = std::move(text);
    return std::move(*this);
}

DispatchMember&& DispatchMember::Persist(Variant defaultValue) && {
    Persisted = true;
    Variant typed;
    // A default of another type (FALSE for a bool, 0 for a colour) is taken
    // in the property's own type; one that does not convert is left for the
    // table's check to report.
    PersistDefault = SUCCEEDED(ChangeType(defaultValue, Result, typed)) ? std::move(typed) : std::move(defaultValue);
    return std::move(*this);
}

namespace {

std::string CheckParams(const std::string& owner, const std::vector<ParamInfo>& params) {
    std::set<std::string> seen;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const ParamInfo& param = params[i];
        if (param.Name.empty()) {
            return owner + ": parameter " + std::to_string(i + 1) + " has no name";
        }
        if (!IsSupportedType(param.Type) || param.Type == VT_EMPTY) {
            return owner + ": parameter " + param.Name + " has an unsupported type";
        }
        if (!seen.insert(LowerAscii(param.Name)).second) {
            return owner + ": parameter " + param.Name + " is named twice";
        }
    }
    return {};
}

}  // namespace

DispatchTable::DispatchTable(std::initializer_list<DispatchMember> members) : Entries(members) {
    DISPID position = 0;
    std::set<DISPID> ids;
    std::set<std::string> names;
    for (DispatchMember& member : Entries) {
        if (!member.FixedId) member.MemberId = ++position;
        if (!TableProblem.empty()) continue;
        if (member.Name.empty()) {
            TableProblem = "member " + std::to_string(member.MemberId) + " has no name";
        } else if (!ids.insert(member.MemberId).second) {
            TableProblem = member.Name + ": the id " + std::to_string(member.MemberId) + " is used twice";
        } else if (!names.insert(LowerAscii(member.Name)).second) {
            TableProblem = member.Name + ": the name is used twice";
        } else if (!member.AltName.empty() && !EqualsNoCase(member.AltName, member.Name) &&
                   !names.insert(LowerAscii(member.AltName)).second) {
            TableProblem = member.AltName + ": the name is used twice";
        } else if (!IsSupportedType(member.Result) || (member.Result & VT_BYREF) != 0) {
            TableProblem = member.Name + ": unsupported result type";
        } else if (std::string problem = CheckParams(member.Name, member.Params); !problem.empty()) {
            TableProblem = problem;
        } else if (member.Persisted &&
                   (member.Kind != MemberKind::Property || member.PersistDefault.Vt() != member.Result)) {
            TableProblem = member.Name + ": only a property persists, with a default of the property's type";
        }
    }
}

const DispatchMember* DispatchTable::FindById(DISPID id) const noexcept {
    for (const DispatchMember& member : Entries) {
        if (member.MemberId == id) return &member;
    }
    return nullptr;
}

const DispatchMember* DispatchTable::FindByName(std::string_view name) const noexcept {
    for (const DispatchMember& member : Entries) {
        if (EqualsNoCase(member.Name, name)) return &member;
    }
    for (const DispatchMember& member : Entries) {
        if (!member.AltName.empty() && EqualsNoCase(member.AltName, name)) return &member;
    }
    return nullptr;
}

EventTable::EventTable(std::initializer_list<EventInfo> events) : Entries(events) {
    DISPID position = 0;
    std::set<DISPID> ids;
    std::set<std::string> names;
    for (EventInfo& event : Entries) {
        if (!event.FixedId) event.Id = ++position;
        if (!TableProblem.empty()) continue;
        if (event.Name.empty()) {
            TableProblem = "event " + std::to_string(event.Id) + " has no name";
        } else if (!ids.insert(event.Id).second) {
            TableProblem = event.Name + ": the id " + std::to_string(event.Id) + " is used twice";
        } else if (!names.insert(LowerAscii(event.Name)).second) {
            TableProblem = event.Name + ": the name is used twice";
        } else if (std::string problem = CheckParams(event.Name, event.Params); !problem.empty()) {
            TableProblem = problem;
        }
    }
}

const EventInfo* EventTable::FindById(DISPID id) const noexcept {
    for (const EventInfo& event : Entries) {
        if (event.Id == id) return &event;
    }
    return nullptr;
}

const EventInfo* EventTable::FindByName(std::string_view name) const noexcept {
    for (const EventInfo& event : Entries) {
        if (EqualsNoCase(event.Name, name)) return &event;
    }
    return nullptr;
}

EventInfo StockErrorEvent() {
    EventInfo event;
    event.Id = DISPID_ERROREVENT;
    event.FixedId = true;
    event.Name = "Error";
    event.Params = {{"Number", VT_I4},
                    {"Description", VT_BSTR | VT_BYREF},
                    {"Scode", VT_I4},
                    {"Source", VT_BSTR},
                    {"HelpFile", VT_BSTR},
                    {"HelpContext", VT_I4},
                    {"CancelDisplay", VT_BOOL | VT_BYREF}};
    return event;
}

EventInfo StockClickEvent() {
    EventInfo event;
    event.Id = DISPID_CLICK;
    event.FixedId = true;
    event.Name = "Click";
    return event;
}

namespace {

std::string Plural(std::size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

}  // namespace

HRESULT InvokeMember(const DispatchTable& table, COleControl& object, DISPID id, InvokeKind kind,
                     std::span<Variant> args, Variant* result, DispatchError* error) noexcept {
    auto fail = [error](HRESULT code, int argIndex, std::string text) noexcept {
        if (error) {
            error->Code = code;
            error->ArgIndex = argIndex;
            try {
                error->Description = std::move(text);
            } catch (...) {
            }
        }
        return code;
    };
    try {
        const DispatchMember* member = table.FindById(id);
        if (!member) {
            return fail(DISP_E_MEMBERNOTFOUND, -1, "there is no member with id " + std::to_string(id));
        }
        const std::string& name = member->Name;

        if (member->Kind == MemberKind::Property) {
            // A get may come as a method call without arguments, as hosts
            // that cannot tell the two apart send it.
            if (kind == InvokeKind::PropertyPut) {
                if (args.size() != 1) {
                    return fail(DISP_E_BADPARAMCOUNT, -1,
                                "setting " + name + " takes 1 value, " + Plural(args.size(), "argument") + " given");
                }
                Variant value;
                std::string why;
                if (HRESULT hr = ChangeType(args[0], member->Result, value, &why); FAILED(hr)) {
                    return fail(hr, 0, name + " is " + std::string(TypeName(member->Result)) + ": " + why);
                }
                member->Put(object, value);
                if (result) *result = Variant();
                return S_OK;
            }
            if (!args.empty()) {
                return fail(DISP_E_BADPARAMCOUNT, -1,
                            "reading " + name + " takes no arguments, " + Plural(args.size(), "argument") + " given");
            }
            Variant value = member->Get(object);
            if (result) *result = std::move(value);
            return S_OK;
        }

        if (kind == InvokeKind::PropertyPut) {
            return fail(DISP_E_MEMBERNOTFOUND, -1, name + " is a method, not a property");
        }
        if (args.size() != member->Params.size()) {
            return fail(DISP_E_BADPARAMCOUNT, -1,
                        name + " takes " + Plural(member->Params.size(), "argument") + ", " +
                            std::to_string(args.size()) + " given");
        }
        std::vector<Variant> converted(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) {
            const ParamInfo& param = member->Params[i];
            const int index = static_cast<int>(i);
            std::string label = "argument " + std::to_string(i + 1) + " (" + param.Name + ") of " + name;
            if ((param.Type & VT_BYREF) != 0) {
                converted[i] = args[i];
                if (!converted[i].RetagReference(param.Type)) {
                    return fail(DISP_E_TYPEMISMATCH, index,
                                label + " must be a reference to " + std::string(TypeName(param.Type & VT_TYPEMASK)));
                }
                continue;
            }
            std::string why;
            if (HRESULT hr = ChangeType(args[i], param.Type, converted[i], &why); FAILED(hr)) {
                return fail(hr, index, label + " is " + std::string(TypeName(param.Type)) + ": " + why);
            }
        }
        Variant value;
        member->Call(object, converted, value);
        if (result) *result = std::move(value);
        return S_OK;
    } catch (const std::exception& e) {
        return fail(DISP_E_EXCEPTION, -1, std::string("the control failed: ") + e.what());
    } catch (const char* text) {
        return fail(DISP_E_EXCEPTION, -1, std::string("the control failed: ") + (text ? text : ""));
    } catch (...) {
        return fail(DISP_E_EXCEPTION, -1, "the control failed");
    }
}

}  // namespace platform
