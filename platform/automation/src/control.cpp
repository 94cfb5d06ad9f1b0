// The control object: its identity and references, dispatch, events,
// persistence, the container's site, verbs and what the registry says of its
// class.

#include "platform/automation/control.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <set>

#include "control_internal.h"
#include "module_internal.h"
#include "platform/automation/registry.h"
#include "platform/notice/notice.h"
#include "platform/window/text.h"

namespace platform {

using detail::kDeleteMessage;
using detail::kInvokeMessage;
using detail::MarshaledCall;

namespace {

const EventTable& StockEvents() {
    static const EventTable table{StockErrorEvent(), StockClickEvent()};
    return table;
}

}  // namespace

namespace {

// Written by any thread that sets it, read by every cross-thread call.
std::atomic<std::int64_t> CallTimeoutMs{kDefaultCrossThreadCallTimeout.count()};

UINT CallTimeout() noexcept {
    return static_cast<UINT>(std::clamp<std::int64_t>(CallTimeoutMs.load(std::memory_order_relaxed), 0, 0x7FFFFFFF));
}

}  // namespace

void SetCrossThreadCallTimeout(std::chrono::milliseconds limit) noexcept {
    CallTimeoutMs.store(std::max<std::int64_t>(limit.count(), 0), std::memory_order_relaxed);
}

std::chrono::milliseconds GetCrossThreadCallTimeout() noexcept {
    return std::chrono::milliseconds(CallTimeoutMs.load(std::memory_order_relaxed));
}

bool COleControl::OnOwnerThread() const noexcept { return GetCurrentThreadId() == OwnerThread; }

HRESULT COleControl::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IControl ||
        (iid == DispatchIid && DispatchIid != GUID{})) {
        *object = static_cast<IControl*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG COleControl::AddRef() { return References.Add(); }

ULONG COleControl::Release() {
    ULONG left = References.Drop();
    if (left != 0) return left;
    if (OnOwnerThread() || !Apartment) {
        delete this;
        return 0;
    }
    LRESULT ended = 0;
    if (SendMessageTimeout(Apartment, kDeleteMessage, 0, reinterpret_cast<LPARAM>(this), SMTO_NOTIMEOUTIFNOTHUNG,
                           CallTimeout(), &ended)) {
        return 0;
    }
    if (GetLastError() == ERROR_TIMEOUT) {
        // The owner thread lives but does not pump: the object ends when it
        // pumps again, never here under its feet.
        if (!PostMessage(Apartment, kDeleteMessage, 0, reinterpret_cast<LPARAM>(this))) {
            ShowNotice("A control whose thread does not answer could not be ended; it is left to that thread");
        }
        return 0;
    }
    // The owner thread is gone: end the object here.
    delete this;
    return 0;
}

HRESULT COleControl::GetIDOfName(std::string_view name, DISPID& id) noexcept {
    try {
        if (const DispatchMember* member = GetDispatchTable().FindByName(name)) {
            id = member->MemberId;
            return S_OK;
        }
    } catch (...) {
    }
    id = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

HRESULT COleControl::Invoke(DISPID id, InvokeKind kind, std::span<Variant> args, Variant* result,
                            DispatchError* error) noexcept {
    if (OnOwnerThread()) return InvokeHere(id, kind, args, result, error);
    MarshaledCall call{id, kind, args, result, error};
    // Bounded only until the control's thread takes the call: a call it has
    // taken reads and writes the caller's arguments until it ends.
    const UINT limit = CallTimeout();
    LRESULT handled = 0;
    const LRESULT sent = Apartment ? SendMessageTimeout(Apartment, kInvokeMessage, 0, reinterpret_cast<LPARAM>(&call),
                                                        SMTO_NOTIMEOUTIFNOTHUNG, limit, &handled)
                                   : 0;
    if (sent && handled) return call.Outcome;
    const bool timedOut = !sent && Apartment && GetLastError() == ERROR_TIMEOUT;
    const HRESULT failure = timedOut ? RPC_E_TIMEOUT : RPC_E_WRONG_THREAD;
    if (error) {
        error->Code = failure;
        error->ArgIndex = -1;
        try {
            error->Description = timedOut ? "the control's thread did not take the call within " +
                                                std::to_string(limit) + " ms (it is not handling messages)"
                                          : "the control's thread does not answer";
        } catch (...) {
        }
    }
    return failure;
}

HRESULT COleControl::InvokeHere(DISPID id, InvokeKind kind, std::span<Variant> args, Variant* result,
                                DispatchError* error) noexcept {
    try {
        return InvokeMember(GetDispatchTable(), *this, id, kind, args, result, error);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

const DispatchTable& COleControl::GetDispatchTable() const {
    static const DispatchTable empty;
    return empty;
}

const EventTable& COleControl::GetEventTable() const { return StockEvents(); }

HRESULT COleControl::Advise(std::shared_ptr<IEventSink> sink, DWORD& cookie) noexcept {
    if (!sink) return E_POINTER;
    try {
        std::lock_guard guard(SinksLock);
        cookie = NextCookie++;
        Sinks.push_back({cookie, std::move(sink)});
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT COleControl::Unadvise(DWORD cookie) noexcept {
    std::shared_ptr<IEventSink> released;  // dropped outside the lock
    std::lock_guard guard(SinksLock);
    auto it =
        std::find_if(Sinks.begin(), Sinks.end(), [cookie](const SinkEntry& entry) { return entry.Cookie == cookie; });
    if (it == Sinks.end()) return E_INVALIDARG;
    released = std::move(it->Sink);
    Sinks.erase(it);
    return S_OK;
}

void COleControl::InitializeIIDs(const IID* dispatchIid, const IID* eventIid) noexcept {
    if (dispatchIid) DispatchIid = *dispatchIid;
    if (eventIid) EventIid = *eventIid;
}

BOOL COleControl::FireEvent(DISPID id, std::initializer_list<Variant> args) noexcept {
    try {
        std::vector<Variant> copy(args);
        return FireEvent(id, std::span<Variant>(copy));
    } catch (...) {
        return FALSE;
    }
}

BOOL COleControl::FireEvent(DISPID id, std::span<Variant> args) noexcept {
    try {
        const EventInfo* event = GetEventTable().FindById(id);
        if (!event || args.size() != event->Params.size()) return FALSE;
        std::vector<Variant> typed(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) {
            VARTYPE declared = event->Params[i].Type;
            if ((declared & VT_BYREF) != 0) {
                typed[i] = args[i];
                if (!typed[i].RetagReference(declared)) return FALSE;
            } else if (FAILED(ChangeType(args[i], declared, typed[i]))) {
                return FALSE;
            }
        }
        std::vector<std::shared_ptr<IEventSink>> sinks;
        {
            std::lock_guard guard(SinksLock);
            for (const SinkEntry& entry : Sinks) sinks.push_back(entry.Sink);
        }
        for (const auto& sink : sinks) {
            try {
                sink->OnEvent(*event, typed);
            } catch (...) {
                // A host's failing handler must not keep the others from the event.
            }
        }
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

std::string COleControl::SourceName() const {
    std::string progId = ProgIdOfClass(OwnerModule(), ObjectClassId());
    return progId.empty() ? "control" : progId;
}

void COleControl::FireError(HRESULT scode, std::string_view description, unsigned helpContext) noexcept {
    try {
        std::string text(description);
        BOOL cancel = FALSE;
        std::int32_t code = static_cast<std::int32_t>(scode);
        Variant args[] = {Variant(std::int32_t{code & 0xFFFF}),
                          Variant(&text),
                          Variant(code),
                          Variant(SourceName()),
                          Variant(std::string()),
                          Variant(static_cast<std::int32_t>(helpContext)),
                          Variant::MakeBoolRef(&cancel)};
        FireEvent(DISPID_ERROREVENT, std::span<Variant>(args));
        if (!cancel) ShowNotice(text);
    } catch (...) {
    }
}

void COleControl::FireClick() noexcept {
    if (GetEventTable().FindById(DISPID_CLICK)) FireEvent(DISPID_CLICK, std::span<Variant>());
}

void COleControl::DoPropExchange(CPropExchange* px) {
    if (!px) return;
    for (const DispatchMember& member : GetDispatchTable().Members()) {
        if (member.Persisted && member.Exchange) {
            member.Exchange(*this, *px, member.Name, member.PersistDefault);
        }
    }
}

BOOL COleControl::ExchangeVersion(CPropExchange* px, DWORD version, BOOL convert) {
    if (!px) return FALSE;
    DWORD exchanged = version;
    return px->ExchangeVersion(exchanged, version, convert);
}

void COleControl::OnResetState() {
    CPropExchange px(CPropExchange::Mode::Reset, nullptr, nullptr);
    DoPropExchange(&px);
}

void COleControl::SetModifiedFlag(BOOL modified) noexcept {
    Modified.store(modified != FALSE, std::memory_order_release);
}

BOOL COleControl::IsModified() const noexcept { return Modified.load(std::memory_order_acquire) ? TRUE : FALSE; }

HRESULT COleControl::InitNew() noexcept {
    try {
        OnResetState();
        SetModifiedFlag(FALSE);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT COleControl::Load(const PropertyBag& bag, std::vector<std::string>* issues) noexcept {
    try {
        PropertyBag copy = bag;
        CPropExchange px(CPropExchange::Mode::Load, &copy, issues);
        DoPropExchange(&px);
        std::set<std::string> known(px.ExchangedNames().begin(), px.ExchangedNames().end());
        known.insert(LowerAscii(kVersionEntryName));
        for (const std::string& name : bag.Names()) {
            if (known.count(LowerAscii(name))) continue;
            int line = bag.LineOf(name);
            px.Report((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + "unknown property \"" +
                      name + "\" is ignored");
        }
        SetModifiedFlag(FALSE);
        return S_OK;
    } catch (const std::exception& e) {
        if (issues) issues->push_back(std::string("loading the properties failed: ") + e.what());
    } catch (...) {
        if (issues) issues->push_back("loading the properties failed");
    }
    return E_FAIL;
}

HRESULT COleControl::Save(PropertyBag& bag, BOOL clearDirty) noexcept {
    try {
        CPropExchange px(CPropExchange::Mode::Save, &bag, nullptr);
        DoPropExchange(&px);
        if (clearDirty) SetModifiedFlag(FALSE);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT COleControl::IsDirty() noexcept { return IsModified() ? S_OK : S_FALSE; }

HRESULT COleControl::SetClientSite(IControlSite* site) noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    Site = site;
    return S_OK;
}

HRESULT COleControl::DoVerb(LONG verb) noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    try {
        if (verb == OLEIVERB_PROPERTIES) {
            if (!Site) return E_NOTIMPL;
            return OnProperties() ? S_OK : E_FAIL;
        }
    } catch (...) {
        return E_FAIL;
    }
    return OLEOBJ_E_INVALIDVERB;
}

HRESULT COleControl::GetPages(std::vector<CLSID>& pages) noexcept {
    try {
        pages = GetPropPageIDs();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

namespace {

// The control's own class as the registry records it.
std::optional<ClassRegistration> RegisteredClass(const CLSID& clsid) {
    Registry registry;
    if (!ReadRegistry(registry, nullptr)) return std::nullopt;
    const ClassRegistration* entry = registry.FindClass(clsid);
    if (!entry) return std::nullopt;
    return *entry;
}

}  // namespace

DWORD COleControl::GetMiscStatus() noexcept {
    try {
        auto entry = RegisteredClass(ObjectClassId());
        return entry ? entry->MiscStatus : 0;
    } catch (...) {
        return 0;
    }
}

std::string COleControl::GetUserType() noexcept {
    try {
        auto entry = RegisteredClass(ObjectClassId());
        return entry ? entry->TypeName : std::string();
    } catch (...) {
        return {};
    }
}

std::vector<CLSID> COleControl::GetPropPageIDs() const { return {}; }

BOOL COleControl::OnProperties() {
    if (!Site) return FALSE;
    return SUCCEEDED(Site->ShowPropertyFrame(this, GetPropPageIDs())) ? TRUE : FALSE;
}

}  // namespace platform
