#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/automation/propexchange.h"
#include "platform/automation/variant.h"

// A control's member table and event table. Each control declares one of
// each; dispatch by id, lookup by name, the type information and the
// persistence of properties all come from them. The tables are static
// members: the module's type library (TypeLibResource) reads them without an
// object, and the overrides hand the same tables to the host.
//
//     class CMyCtrl : public COleControl {
//     public:
//         static const DispatchTable& DispatchMap();
//         static const EventTable& EventMap();
//         const DispatchTable& GetDispatchTable() const override { return DispatchMap(); }
//         const EventTable& GetEventTable() const override { return EventMap(); }
//         ...
//     };
//
//     const DispatchTable& CMyCtrl::DispatchMap() {
//         static const DispatchTable table{
//             Property<VT_BOOL>("Monitor", &CMyCtrl::Monitor, &CMyCtrl::OnMonitorChanged)
//                 .Persist(Variant::MakeBool(FALSE)),
//             Method<VT_BOOL, VT_BSTR>("SetFileName", &CMyCtrl::SetFileName, {"FileName"}),
//             Method<VT_BOOL, VT_I4, VT_BOOL>("MuteTrackByNumber", &CMyCtrl::MuteChannel,
//                                             {"NumTrack", "bMute"}).AlternateName("MuteChannel"),
//             Method<VT_EMPTY>("AboutBox", &CMyCtrl::AboutBox).Id(DISPID_ABOUTBOX),
//         };
//         return table;
//     }
//
//     const EventTable& CMyCtrl::EventMap() {
//         static const EventTable table{StockErrorEvent(), Event("SongEnd"),
//                                       Event<VT_I4, VT_I4>("NoteOn", {"Channel", "Note"})};
//         return table;
//     }
//
//     // in the module: ClassDeclaration{..., &CMyCtrl::DispatchMap, ..., &CMyCtrl::EventMap}
//
// The first template argument is the result type (VT_EMPTY: none), the others
// the parameter types; a handler whose C++ signature does not match them does
// not compile. BOOL and long are both std::int32_t in C++, so the table's
// types, not the handler's, decide what the host sees.
namespace platform {

class COleControl;

enum class MemberKind { Method, Property };
enum class InvokeKind { Method, PropertyGet, PropertyPut };

struct ParamInfo {
    std::string Name;
    VARTYPE Type = VT_EMPTY;
};

// What went wrong in a call, for the host: the result code, the 0-based
// index of the offending argument (-1 when none), and a readable text.
struct DispatchError {
    HRESULT Code = S_OK;
    int ArgIndex = -1;
    std::string Description;
};

class DispatchMember {
public:
    using CallHandler = std::function<void(COleControl&, std::span<Variant>, Variant&)>;
    using GetHandler = std::function<Variant(COleControl&)>;
    using PutHandler = std::function<void(COleControl&, const Variant&)>;
    using ExchangeHandler = std::function<void(COleControl&, CPropExchange&, std::string_view, const Variant&)>;

    // Builder steps, used in the table declaration.
    // A fixed dispatch id instead of the position in the table.
    DispatchMember&& Id(DISPID id) &&;
    // The name the control's own name table uses where the type information
    // says another (both resolve).
    DispatchMember&& AlternateName(std::string name) &&;
    DispatchMember&& HelpString(std::string text) &&;
    // Properties only: saved and loaded under the property's name, taking
    // `defaultValue` when the data has none and on reset.
    DispatchMember&& Persist(Variant defaultValue) &&;

    DISPID MemberId = 0;
    bool FixedId = false;
    std::string Name;
    std::string AltName;
    std::string Help;
    MemberKind Kind = MemberKind::Method;
    std::vector<ParamInfo> Params;
    // The result type of a method; the value type of a property.
    VARTYPE Result = VT_EMPTY;
    bool Persisted = false;
    Variant PersistDefault;

    CallHandler Call;
    GetHandler Get;
    PutHandler Put;
    ExchangeHandler Exchange;
};

class DispatchTable {
public:
    // Gives each member without a fixed id its 1-based position among those
    // members. A table with duplicate ids or names, an unsupported type or an
    // unnamed parameter is kept but marked invalid: type-library
    // registration refuses it, and Problem() says why.
    DispatchTable(std::initializer_list<DispatchMember> members);
    DispatchTable() = default;

    const DispatchMember* FindById(DISPID id) const noexcept;
    // Case-insensitive; the type-information name or the alternate name.
    const DispatchMember* FindByName(std::string_view name) const noexcept;
    const std::vector<DispatchMember>& Members() const noexcept { return Entries; }

    bool Valid() const noexcept { return TableProblem.empty(); }
    const std::string& Problem() const noexcept { return TableProblem; }

private:
    std::vector<DispatchMember> Entries;
    std::string TableProblem;
};

struct EventInfo {
    DISPID Id = 0;
    bool FixedId = false;
    std::string Name;
    std::vector<ParamInfo> Params;
    std::string Help;
};

class EventTable {
public:
    // Events without a fixed id (the stock ones have theirs) are numbered
    // from 1 in table order. Invalid tables are marked as DispatchTable's.
    EventTable(std::initializer_list<EventInfo> events);
    EventTable() = default;

    const EventInfo* FindById(DISPID id) const noexcept;
    const EventInfo* FindByName(std::string_view name) const noexcept;
    const std::vector<EventInfo>& Events() const noexcept { return Entries; }

    bool Valid() const noexcept { return TableProblem.empty(); }
    const std::string& Problem() const noexcept { return TableProblem; }

private:
    std::vector<EventInfo> Entries;
    std::string TableProblem;
};

// The stock events: Error (-608: Number, Description by reference, Scode,
// Source, HelpFile, HelpContext, CancelDisplay by reference) and Click (-600).
EventInfo StockErrorEvent();
EventInfo StockClickEvent();

// Calls a member of `table` on `object` after checking the call: the id, the
// kind of call, the count of arguments and their types (converted where
// Automation converts; references must be references of the declared type).
// Every problem is returned, never handed to the handler: DISP_E_MEMBERNOTFOUND,
// DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW, or
// DISP_E_EXCEPTION when the handler throws. `result` and `error` may be null.
HRESULT InvokeMember(const DispatchTable& table, COleControl& object, DISPID id, InvokeKind kind,
                     std::span<Variant> args, Variant* result, DispatchError* error) noexcept;

namespace detail {

// The C++ type that carries each Automation type into and out of handlers.
template <VARTYPE Type>
struct VtCarrier;
template <>
struct VtCarrier<VT_I4> {
    using Type = std::int32_t;
};
template <>
struct VtCarrier<VT_BOOL> {
    using Type = BOOL;
};
template <>
struct VtCarrier<VT_R8> {
    using Type = double;
};
template <>
struct VtCarrier<VT_BSTR> {
    using Type = std::string;
};
template <>
struct VtCarrier<VT_COLOR> {
    using Type = OLE_COLOR;
};
template <>
struct VtCarrier<VT_EMPTY> {
    using Type = void;
};
template <>
struct VtCarrier<VT_I4 | VT_BYREF> {
    using Type = std::int32_t*;
};
template <>
struct VtCarrier<VT_BOOL | VT_BYREF> {
    using Type = BOOL*;
};
template <>
struct VtCarrier<VT_R8 | VT_BYREF> {
    using Type = double*;
};
template <>
struct VtCarrier<VT_BSTR | VT_BYREF> {
    using Type = std::string*;
};
template <>
struct VtCarrier<VT_COLOR | VT_BYREF> {
    using Type = OLE_COLOR*;
};

template <VARTYPE Type, class Arg>
constexpr bool kParamFits = [] {
    using Plain = std::remove_cvref_t<Arg>;
    if constexpr (Type == VT_BSTR) {
        return std::is_same_v<Plain, std::string> || std::is_same_v<Plain, std::string_view>;
    } else {
        return std::is_same_v<Plain, typename VtCarrier<Type>::Type>;
    }
}();

template <VARTYPE Type, class Ret>
constexpr bool kResultFits = [] {
    if constexpr (Type == VT_BSTR) {
        return std::is_convertible_v<Ret, std::string>;
    } else {
        return std::is_same_v<std::remove_cvref_t<Ret>, typename VtCarrier<Type>::Type>;
    }
}();

// The value a checked, converted argument hands to the handler.
template <VARTYPE Type>
decltype(auto) Unpack(Variant& value) noexcept {
    if constexpr (Type == VT_I4) {
        return value.Long();
    } else if constexpr (Type == VT_BOOL) {
        return value.Bool();
    } else if constexpr (Type == VT_R8) {
        return value.Double();
    } else if constexpr (Type == VT_COLOR) {
        return value.Color();
    } else if constexpr (Type == VT_BSTR) {
        return static_cast<const std::string&>(value.String());
    } else if constexpr (Type == (VT_R8 | VT_BYREF)) {
        return value.DoubleStorage();
    } else if constexpr (Type == (VT_BSTR | VT_BYREF)) {
        return value.StringStorage();
    } else if constexpr (Type == (VT_COLOR | VT_BYREF)) {
        return value.ColorStorage();
    } else {
        static_assert(Type == (VT_I4 | VT_BYREF) || Type == (VT_BOOL | VT_BYREF));
        return value.LongStorage();
    }
}

template <VARTYPE Type, class T>
Variant Pack(T&& value) {
    if constexpr (Type == VT_BOOL) {
        return Variant::MakeBool(value);
    } else if constexpr (Type == VT_COLOR) {
        return Variant::MakeColor(value);
    } else if constexpr (Type == VT_BSTR) {
        return Variant(std::string(std::forward<T>(value)));
    } else {
        return Variant(value);
    }
}

template <class Fn>
struct MemberFunction;
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...)> {
    using Class = C;
    using Result = R;
    using Args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...) noexcept> : MemberFunction<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...) const> : MemberFunction<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct MemberFunction<R (C::*)(A...) const noexcept> : MemberFunction<R (C::*)(A...)> {};

template <std::size_t N>
std::vector<ParamInfo> MakeParams(const std::array<VARTYPE, N>& types, const std::array<std::string_view, N>& names) {
    std::vector<ParamInfo> params;
    for (std::size_t i = 0; i < N; ++i) params.push_back({std::string(names[i]), types[i]});
    return params;
}

template <VARTYPE Type>
constexpr bool kPersistableType =
    Type == VT_BOOL || Type == VT_I4 || Type == VT_R8 || Type == VT_COLOR || Type == VT_BSTR;

}  // namespace detail

// A method: Method<Result, ParamTypes...>(name, &Control::Handler, {param names}).
template <VARTYPE Result, VARTYPE... Params, class Fn>
DispatchMember Method(std::string name, Fn handler, std::array<std::string_view, sizeof...(Params)> paramNames = {}) {
    using Traits = detail::MemberFunction<Fn>;
    using Control = typename Traits::Class;
    using Args = typename Traits::Args;
    static_assert(std::is_base_of_v<COleControl, Control>, "members belong to a control");
    static_assert(std::tuple_size_v<Args> == sizeof...(Params),
                  "the handler takes another number of parameters than the table declares");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        static_assert((detail::kParamFits<Params, std::tuple_element_t<I, Args>> && ...),
                      "a handler parameter does not carry the declared Automation type");
    }
    (std::make_index_sequence<sizeof...(Params)>{});
    static_assert(detail::kResultFits<Result, typename Traits::Result>,
                  "the handler's result does not carry the declared Automation type");

    DispatchMember member;
    member.Name = std::move(name);
    member.Kind = MemberKind::Method;
    member.Result = Result;
    member.Params = detail::MakeParams<sizeof...(Params)>({Params...}, paramNames);
    member.Call = [handler](COleControl& object, std::span<Variant> args, Variant& result) {
        auto& self = static_cast<Control&>(object);
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            if constexpr (Result == VT_EMPTY) {
                (self.*handler)(detail::Unpack<Params>(args[I])...);
                result = Variant();
            } else {
                result = detail::Pack<Result>((self.*handler)(detail::Unpack<Params>(args[I])...));
            }
        }
        (std::make_index_sequence<sizeof...(Params)>{});
    };
    return member;
}

// A property stored in a data member, with an optional handler run after
// every change from the host (it typically calls SetModifiedFlag).
template <VARTYPE Type, class Control, class T, class Notify = std::nullptr_t>
DispatchMember Property(std::string name, T Control::*field, Notify notify = nullptr) {
    static_assert(std::is_base_of_v<COleControl, Control>, "properties belong to a control");
    static_assert(detail::kParamFits<Type, T>, "the member does not carry the declared type");
    static_assert(detail::kPersistableType<Type>, "a property holds a value, not a reference");

    DispatchMember member;
    member.Name = std::move(name);
    member.Kind = MemberKind::Property;
    member.Result = Type;
    member.Get = [field](COleControl& object) { return detail::Pack<Type>(static_cast<Control&>(object).*field); };
    member.Put = [field, notify](COleControl& object, const Variant& value) {
        auto& self = static_cast<Control&>(object);
        Variant copy = value;
        self.*field = detail::Unpack<Type>(copy);
        if constexpr (!std::is_same_v<Notify, std::nullptr_t>) {
            if (notify) (self.*notify)();
        }
    };
    // Loading and resetting write the member directly: neither is a change
    // by the host, so no notification runs.
    member.Exchange = [field](COleControl& object, CPropExchange& px, std::string_view persistName,
                              const Variant& defaultValue) {
        auto& self = static_cast<Control&>(object);
        Variant value = detail::Pack<Type>(self.*field);
        px.ExchangeProp(persistName, Type, value, defaultValue);
        if (px.IsLoading()) {
            Variant typed;
            if (SUCCEEDED(ChangeType(value, Type, typed))) self.*field = detail::Unpack<Type>(typed);
        }
    };
    return member;
}

// An event: Event<ParamTypes...>(name, {param names}).
template <VARTYPE... Params>
EventInfo Event(std::string name, std::array<std::string_view, sizeof...(Params)> paramNames = {}) {
    EventInfo event;
    event.Name = std::move(name);
    event.Params = detail::MakeParams<sizeof...(Params)>({Params...}, paramNames);
    return event;
}

}  // namespace platform
