#include "platform/automation/control.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <set>

#include "fileio.h"
#include "module_internal.h"
#include "platform/automation/registry.h"
#include "platform/notice/notice.h"

namespace platform {

LRESULT ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT ApartmentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

constexpr const char* kControlWindowClass = "platform.automation.ControlWindow";
constexpr const char* kApartmentWindowClass = "platform.automation.Apartment";
constexpr const char* kPageWindowClass = "platform.automation.PropertyPage";

// Messages of the hidden apartment window.
constexpr UINT kInvokeMessage = WM_USER + 1;
constexpr UINT kDeleteMessage = WM_USER + 2;

struct MarshaledCall {
    DISPID Id;
    InvokeKind Kind;
    std::span<Variant> Args;
    Variant* Result;
    DispatchError* Error;
    HRESULT Outcome = E_UNEXPECTED;
};

LRESULT PageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return platform::DefWindowProc(window, message, wParam, lParam);
}

void RegisterClassOnce(const char* name, WNDPROC procedure, HBRUSH background = nullptr) {
    WNDCLASS windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.lpszClassName = name;
    windowClass.hbrBackground = background;
    // Another copy of this library cannot exist in the process, so a name
    // already taken is ours from an earlier call.
    platform::RegisterClass(&windowClass);
}

void EnsureWindowClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A repaint that asks for an erase starts from white, whatever the
        // control then draws over it.
        RegisterClassOnce(kControlWindowClass, &ControlWindowProc,
                          static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        RegisterClassOnce(kApartmentWindowClass, &ApartmentWindowProc);
        RegisterClassOnce(kPageWindowClass, &PageWindowProc);
    });
}

const EventTable& StockEvents() {
    static const EventTable table{StockErrorEvent(), StockClickEvent()};
    return table;
}

thread_local COleControl* DeletingFromApartment = nullptr;

}  // namespace

LRESULT ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* control = reinterpret_cast<COleControl*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<CREATESTRUCT*>(lParam);
        control = create ? static_cast<COleControl*>(create->lpCreateParams) : nullptr;
        if (!control) return -1;
        SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(control));
        // The control's OnCreate may hand its window to others already.
        control->Window.store(window, std::memory_order_release);
    }
    if (!control) return platform::DefWindowProc(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtr(window, GWLP_USERDATA, 0);
        control->Window.store(0, std::memory_order_release);
        return 0;
    }
    try {
        return control->WindowProc(message, wParam, lParam);
    } catch (const std::exception& e) {
        ShowNotice(std::string("A control failed while handling a window message: ") + e.what());
    } catch (...) {
        ShowNotice("A control failed while handling a window message");
    }
    return 0;
}

LRESULT ApartmentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* control = reinterpret_cast<COleControl*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<CREATESTRUCT*>(lParam);
        SetWindowLongPtr(window, GWLP_USERDATA,
                         reinterpret_cast<LONG_PTR>(create ? create->lpCreateParams : nullptr));
        return 0;
    }
    if (control && message == kInvokeMessage) {
        auto* call = reinterpret_cast<MarshaledCall*>(lParam);
        call->Outcome = control->InvokeHere(call->Id, call->Kind, call->Args, call->Result, call->Error);
        return 1;
    }
    if (control && message == kDeleteMessage) {
        DeletingFromApartment = control;
        delete control;
        DeletingFromApartment = nullptr;
        return 1;
    }
    return platform::DefWindowProc(window, message, wParam, lParam);
}

COleControl::COleControl() : OwnerThread(GetCurrentThreadId()) {
    EnsureWindowClasses();
    Apartment = CreateWindowEx(0, kApartmentWindowClass, "", WS_POPUP, 0, 0, 0, 0, 0, nullptr,
                               nullptr, this);
}

COleControl::~COleControl() {
    const bool here = OnOwnerThread();
    if (HWND window = Window.exchange(0)) {
        // The derived part is gone: the window must not reach it any more.
        SetWindowLongPtr(window, GWLP_USERDATA, 0);
        if (here) DestroyWindow(window);
    }
    if (Apartment) {
        SetWindowLongPtr(Apartment, GWLP_USERDATA, 0);
        if (here && DeletingFromApartment != this) {
            DestroyWindow(Apartment);
        } else {
            // Inside its own procedure, or not our thread: let the owner's
            // loop close it.
            PostMessage(Apartment, WM_CLOSE, 0, 0);
        }
    }
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
    if (OnOwnerThread() || !Apartment ||
        !SendMessage(Apartment, kDeleteMessage, 0, reinterpret_cast<LPARAM>(this))) {
        // The owner thread is gone (or this is it): end the object here.
        delete this;
    }
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
    if (Apartment && SendMessage(Apartment, kInvokeMessage, 0, reinterpret_cast<LPARAM>(&call))) {
        return call.Outcome;
    }
    if (error) {
        error->Code = RPC_E_WRONG_THREAD;
        error->ArgIndex = -1;
        error->Description = "the control's thread does not answer";
    }
    return RPC_E_WRONG_THREAD;
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
    auto it = std::find_if(Sinks.begin(), Sinks.end(),
                           [cookie](const SinkEntry& entry) { return entry.Cookie == cookie; });
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

void COleControl::FireError(HRESULT scode, std::string_view description,
                            unsigned helpContext) noexcept {
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

BOOL COleControl::IsModified() const noexcept {
    return Modified.load(std::memory_order_acquire) ? TRUE : FALSE;
}

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
        known.insert(detail::Lower(kVersionEntryName));
        for (const std::string& name : bag.Names()) {
            if (known.count(detail::Lower(name))) continue;
            int line = bag.LineOf(name);
            px.Report((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) +
                      "unknown property \"" + name + "\" is ignored");
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

HRESULT COleControl::InPlaceActivate(HWND parent, const RECT& position) noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    if (GetControlWindow()) return SetObjectRects(position);
    if (!IsWindow(parent)) return E_INVALIDARG;
    Extent = RECT{0, 0, position.right - position.left, position.bottom - position.top};
    HWND window = CreateWindowEx(0, kControlWindowClass, "",
                                 WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                 position.left, position.top, Extent.right, Extent.bottom, parent,
                                 nullptr, OwnerModule(), this);
    return window ? S_OK : E_FAIL;
}

HRESULT COleControl::InPlaceDeactivate() noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    HWND window = GetControlWindow();
    if (!window) return S_OK;
    return DestroyWindow(window) ? S_OK : E_FAIL;
}

HRESULT COleControl::SetObjectRects(const RECT& position) noexcept {
    if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
    Extent = RECT{0, 0, position.right - position.left, position.bottom - position.top};
    HWND window = GetControlWindow();
    if (!window) return S_OK;
    return platform::SetWindowPos(window, 0, position.left, position.top, Extent.right,
                                  Extent.bottom, SWP_NOZORDER | SWP_NOACTIVATE)
               ? S_OK
               : E_FAIL;
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

HDC COleControl::GetDC() noexcept {
    HWND window = GetControlWindow();
    return window ? platform::GetDC(window) : nullptr;
}

int COleControl::ReleaseDC(HDC dc) noexcept {
    HWND window = GetControlWindow();
    return window ? platform::ReleaseDC(window, dc) : 0;
}

HWND COleControl::SetCapture() noexcept {
    HWND window = GetControlWindow();
    return window ? platform::SetCapture(window) : 0;
}

BOOL COleControl::ReleaseCapture() noexcept {
    HWND window = GetControlWindow();
    if (!window || platform::GetCapture() != window) return FALSE;
    return platform::ReleaseCapture();
}

HWND COleControl::GetCapture() const noexcept { return platform::GetCapture(); }

void COleControl::GetClientRect(RECT* rect) const noexcept {
    if (!rect) return;
    HWND window = GetControlWindow();
    if (!window || !platform::GetClientRect(window, rect)) {
        *rect = RECT{0, 0, Extent.right - Extent.left, Extent.bottom - Extent.top};
    }
}

BOOL COleControl::SetWindowPos(HWND insertAfter, int x, int y, int width, int height,
                               UINT flags) noexcept {
    HWND window = GetControlWindow();
    if (!window) return FALSE;
    if (!(flags & SWP_NOSIZE)) Extent = RECT{0, 0, width, height};
    return platform::SetWindowPos(window, insertAfter, x, y, width, height, flags);
}

void COleControl::InvalidateControl(const RECT* rect, BOOL erase) noexcept {
    if (HWND window = GetControlWindow()) InvalidateRect(window, rect, erase);
}

BOOL COleControl::UpdateWindow() noexcept {
    HWND window = GetControlWindow();
    return window ? platform::UpdateWindow(window) : FALSE;
}

int COleControl::OnCreate(CREATESTRUCT*) { return 0; }

void COleControl::OnDraw(HDC, const RECT&, const RECT&) {}

void COleControl::OnSize(UINT, int width, int height) { Extent = RECT{0, 0, width, height}; }

void COleControl::OnDestroy() {}

void COleControl::OnLButtonDown(UINT, POINT) { ButtonDown = true; }

void COleControl::OnLButtonUp(UINT, POINT point) {
    bool wasDown = std::exchange(ButtonDown, false);
    RECT client{};
    GetClientRect(&client);
    if (wasDown && PtInRect(client, point)) FireClick();
}

void COleControl::OnMouseMove(UINT, POINT) {}

void COleControl::OnActivate(UINT, HWND, BOOL) {}

void COleControl::OnGetMinMaxInfo(MINMAXINFO*) {}

void COleControl::OnSetFocus(HWND) {}

void COleControl::OnKillFocus(HWND) {}

void COleControl::Paint() noexcept {
    HWND window = GetControlWindow();
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window, &paint);
    if (!dc) return;
    RECT bounds{};
    platform::GetClientRect(window, &bounds);
    try {
        OnDraw(dc, bounds, paint.rcPaint);
    } catch (...) {
        // A failed drawing leaves the picture as it was; the window is validated.
    }
    EndPaint(window, &paint);
}

LRESULT COleControl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    auto point = [lParam] { return POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}; };
    switch (message) {
        case WM_CREATE: return OnCreate(reinterpret_cast<CREATESTRUCT*>(lParam));
        case WM_PAINT: Paint(); return 0;
        case WM_SIZE: OnSize(static_cast<UINT>(wParam), LOWORD(static_cast<std::uintptr_t>(lParam)),
                             HIWORD(static_cast<std::uintptr_t>(lParam)));
            return 0;
        case WM_DESTROY: OnDestroy(); return 0;
        case WM_LBUTTONDOWN: OnLButtonDown(static_cast<UINT>(wParam), point()); return 0;
        case WM_LBUTTONUP: OnLButtonUp(static_cast<UINT>(wParam), point()); return 0;
        case WM_MOUSEMOVE: OnMouseMove(static_cast<UINT>(wParam), point()); return 0;
        case WM_ACTIVATE:
            OnActivate(LOWORD(wParam), static_cast<HWND>(lParam), HIWORD(wParam) != 0 ? TRUE : FALSE);
            return 0;
        case WM_GETMINMAXINFO:
            OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam));
            return DefWindowProc(message, wParam, lParam);
        case WM_SETFOCUS: OnSetFocus(static_cast<HWND>(wParam)); return 0;
        case WM_KILLFOCUS: OnKillFocus(static_cast<HWND>(wParam)); return 0;
        default: return DefWindowProc(message, wParam, lParam);
    }
}

LRESULT COleControl::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return platform::DefWindowProc(GetControlWindow(), message, wParam, lParam);
}

COlePropertyPage::COlePropertyPage(unsigned dialogId, unsigned captionId)
    : Dialog(dialogId), Caption(captionId) {
    EnsureWindowClasses();
}

COlePropertyPage::~COlePropertyPage() {
    if (Window) DestroyWindow(Window);
}

HRESULT COlePropertyPage::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPropertyPage) {
        *object = static_cast<IPropertyPage*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG COlePropertyPage::AddRef() { return References.Add(); }

ULONG COlePropertyPage::Release() {
    ULONG left = References.Drop();
    if (left == 0) delete this;
    return left;
}

HRESULT COlePropertyPage::GetPageInfo(PropPageInfo& info) noexcept {
    try {
        HINSTANCE module = OwnerModule() ? OwnerModule() : AfxGetInstanceHandle();
        PropPageInfo result;
        if (!AfxLoadString(module, Caption, result.Title)) return E_FAIL;
        result.DialogId = Dialog;
        result.Size = SIZE{250, 62};
        info = std::move(result);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT COlePropertyPage::SetObjects(std::span<IControl* const> objects) noexcept {
    try {
        Controls.assign(objects.begin(), objects.end());
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT COlePropertyPage::Activate(HWND parent, const RECT& rect) noexcept {
    try {
        PropPageInfo info;
        if (FAILED(GetPageInfo(info))) return E_FAIL;
        if (!Window) {
            Window = CreateWindowEx(0, kPageWindowClass, info.Title.c_str(), WS_CHILD | WS_VISIBLE,
                                    rect.left, rect.top, rect.right - rect.left,
                                    rect.bottom - rect.top, parent, nullptr, OwnerModule(), nullptr);
            if (!Window) return E_FAIL;
        }
        CDataExchange dx(this, FALSE);
        DoDataExchange(&dx);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT COlePropertyPage::Deactivate() noexcept {
    if (Window) {
        DestroyWindow(Window);
        Window = 0;
    }
    return S_OK;
}

HRESULT COlePropertyPage::IsPageDirty() noexcept { return Dirty ? S_OK : S_FALSE; }

HRESULT COlePropertyPage::Apply() noexcept {
    try {
        CDataExchange dx(this, TRUE);
        DoDataExchange(&dx);
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

void COlePropertyPage::DoDataExchange(CDataExchange* dx) { DDP_PostProcessing(dx); }

void DDP_PostProcessing(CDataExchange* dx) {
    if (dx && dx->Page && dx->SaveAndValidate) dx->Page->Dirty = false;
}

}  // namespace platform
