#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/dispatch.h"
#include "platform/automation/module.h"
#include "platform/automation/propexchange.h"
#include "platform/window/shared_class.h"
#include "platform/window/window.h"

// The control base class and the interfaces a host uses to drive a control:
// dispatch by id and name, event sinks, persistence, in-place activation and
// the properties verb.
namespace platform {

inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IControl{0x5B0C3F12, 0x8E4A, 0x4C1D, {0x9A, 0x61, 0x27, 0xD3, 0x40, 0x8B, 0x1F, 0x6E}};
inline constexpr IID IID_IPropertyPage{0xB196B28D, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

// Miscellaneous status bits a control class registers.
inline constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
inline constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
inline constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
inline constexpr DWORD OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
inline constexpr DWORD OLEMISC_INVISIBLEATRUNTIME = 0x400;
inline constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;

// Verbs a host may ask a control to carry out.
inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_SHOW = -1;
inline constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
inline constexpr LONG OLEIVERB_PROPERTIES = -7;
inline constexpr HRESULT OLEOBJ_E_INVALIDVERB = MakeHresult(0x80040181u);
// The string id of the properties verb's name ("&Properties...").
inline constexpr unsigned AFX_IDS_VERB_PROPERTIES = 0xF1E0;

// How long a call from another thread waits for the control's thread to take
// it (see IDispatch::Invoke); once taken, it runs to its end. Any thread; the
// limit applies to calls made after the change.
inline constexpr std::chrono::milliseconds kDefaultCrossThreadCallTimeout{10000};
void SetCrossThreadCallTimeout(std::chrono::milliseconds limit) noexcept;
std::chrono::milliseconds GetCrossThreadCallTimeout() noexcept;

struct IDispatch : IUnknown {
    // The id of a member by name, without regard to case; the control's own
    // name table's alternate names resolve too. DISP_E_UNKNOWNNAME.
    virtual HRESULT GetIDOfName(std::string_view name, DISPID& id) noexcept = 0;
    // Calls a member; see InvokeMember for the checks and results. Called on
    // another thread than the control's, the call is carried out on the
    // control's thread while the caller waits (the control's thread must be
    // pumping messages). It fails with RPC_E_TIMEOUT, never having run, when
    // that thread does not take it within the cross-thread call time-out, and
    // with RPC_E_WRONG_THREAD when that thread is gone.
    virtual HRESULT Invoke(DISPID id, InvokeKind kind, std::span<Variant> args, Variant* result,
                           DispatchError* error) noexcept = 0;
};

// A host's listener for a control's events. Called synchronously on the
// thread that fires, before FireEvent returns; it may write by-reference
// arguments (a BOOL such as Refuse), which the control reads back.
class IEventSink {
public:
    virtual ~IEventSink() = default;
    virtual void OnEvent(const EventInfo& event, std::span<Variant> args) = 0;
};

class IControl;

// What a control asks of the container that holds it.
class IControlSite {
public:
    virtual ~IControlSite() = default;
    // Show these property pages for `control` (the properties verb).
    virtual HRESULT ShowPropertyFrame(IControl* control, const std::vector<CLSID>& pages) noexcept = 0;
};

// The host's view of a control.
class IControl : public IDispatch {
public:
    // The member and event tables the control was declared with.
    virtual const DispatchTable& GetDispatchTable() const = 0;
    virtual const EventTable& GetEventTable() const = 0;

    // Connects a sink; `cookie` identifies it for Unadvise. E_POINTER for null.
    virtual HRESULT Advise(std::shared_ptr<IEventSink> sink, DWORD& cookie) noexcept = 0;
    // E_INVALIDARG for an unknown cookie. A fire already under way on another
    // thread may still reach the sink once.
    virtual HRESULT Unadvise(DWORD cookie) noexcept = 0;

    // Persistence: a new control's defaults, loading and saving a property
    // bag. Problems met while loading are added to `issues` and skipped.
    virtual HRESULT InitNew() noexcept = 0;
    virtual HRESULT Load(const PropertyBag& bag, std::vector<std::string>* issues) noexcept = 0;
    virtual HRESULT Save(PropertyBag& bag, BOOL clearDirty) noexcept = 0;
    // S_OK when the control changed since it was loaded or saved, else S_FALSE.
    virtual HRESULT IsDirty() noexcept = 0;

    virtual HRESULT SetClientSite(IControlSite* site) noexcept = 0;
    // Gives the control its window as a child of `parent` at `position`
    // (the parent's client coordinates). Control's thread only.
    virtual HRESULT InPlaceActivate(HWND parent, const RECT& position) noexcept = 0;
    virtual HRESULT InPlaceDeactivate() noexcept = 0;
    virtual HRESULT SetObjectRects(const RECT& position) noexcept = 0;
    // The control's window, 0 while it is not active.
    virtual HWND GetControlWindow() const noexcept = 0;

    virtual HRESULT DoVerb(LONG verb) noexcept = 0;
    virtual HRESULT GetPages(std::vector<CLSID>& pages) noexcept = 0;
    // The miscellaneous status the control's class registered, 0 if unknown.
    virtual DWORD GetMiscStatus() noexcept = 0;
    // The type name the control's class registered ("Orvalis Control"), "" if unknown.
    virtual std::string GetUserType() noexcept = 0;
};

// The base of every control. A control declares its member and event tables,
// overrides the hooks it needs, and is made by a COleObjectFactory.
//
// Threads: the control belongs to the thread that constructed it. Host calls
// from other threads are carried over to it (see IDispatch::Invoke); events
// may be fired from any thread and reach the sinks on that thread.
class COleControl : public IControl, public CCmdTarget {
public:
    COleControl();
    ~COleControl() override;

    // IUnknown
    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IDispatch
    HRESULT GetIDOfName(std::string_view name, DISPID& id) noexcept override;
    HRESULT Invoke(DISPID id, InvokeKind kind, std::span<Variant> args, Variant* result,
                   DispatchError* error) noexcept override;

    // IControl. The tables default to none and the stock events.
    const DispatchTable& GetDispatchTable() const override;
    const EventTable& GetEventTable() const override;
    HRESULT Advise(std::shared_ptr<IEventSink> sink, DWORD& cookie) noexcept override;
    HRESULT Unadvise(DWORD cookie) noexcept override;
    HRESULT InitNew() noexcept override;
    HRESULT Load(const PropertyBag& bag, std::vector<std::string>* issues) noexcept override;
    HRESULT Save(PropertyBag& bag, BOOL clearDirty) noexcept override;
    HRESULT IsDirty() noexcept override;
    HRESULT SetClientSite(IControlSite* site) noexcept override;
    HRESULT InPlaceActivate(HWND parent, const RECT& position) noexcept override;
    HRESULT InPlaceDeactivate() noexcept override;
    HRESULT SetObjectRects(const RECT& position) noexcept override;
    HWND GetControlWindow() const noexcept override { return Window.load(std::memory_order_acquire); }
    HRESULT DoVerb(LONG verb) noexcept override;
    HRESULT GetPages(std::vector<CLSID>& pages) noexcept override;
    DWORD GetMiscStatus() noexcept override;
    std::string GetUserType() noexcept override;

protected:
    // Records the control's dispatch and event interface ids (once, in the
    // constructor).
    void InitializeIIDs(const IID* dispatchIid, const IID* eventIid) noexcept;

    // Calls every connected sink with the event `id`, synchronously on this
    // thread, after checking the arguments against the event table (values
    // are converted to the declared types; by-reference arguments stay
    // references, so what a sink writes lands in the caller's variable).
    // FALSE, with no sink called, for an unknown id or unfit arguments.
    BOOL FireEvent(DISPID id, std::initializer_list<Variant> args) noexcept;
    BOOL FireEvent(DISPID id, std::span<Variant> args) noexcept;
    // Fires the stock Error event with the description; unless a sink sets
    // CancelDisplay, the (possibly changed) description is shown as a notice.
    void FireError(HRESULT scode, std::string_view description, unsigned helpContext = 0) noexcept;
    void FireClick() noexcept;

    // Persistence. The default exchanges the table's persisted properties.
    virtual void DoPropExchange(CPropExchange* px);
    // The version stamp (major in the high word); see CPropExchange::ExchangeVersion.
    BOOL ExchangeVersion(CPropExchange* px, DWORD version, BOOL convert = TRUE);
    // Applies the defaults: the default runs DoPropExchange in reset mode.
    virtual void OnResetState();
    void SetModifiedFlag(BOOL modified = TRUE) noexcept;
    BOOL IsModified() const noexcept;

    // The control's property pages, shown for the properties verb.
    virtual std::vector<CLSID> GetPropPageIDs() const;
    // The properties verb: asks the site to show the pages. FALSE without a site.
    virtual BOOL OnProperties();

    // The window the control has while it is active, 0 otherwise.
    HWND GetSafeHwnd() const noexcept { return GetControlWindow(); }
    // A device context for the control's window (nullptr without one); give
    // it back with ReleaseDC.
    HDC GetDC() noexcept;
    int ReleaseDC(HDC dc) noexcept;
    // Mouse capture for the control's window; the previous capture window.
    HWND SetCapture() noexcept;
    // Releases the capture if the control's window holds it.
    BOOL ReleaseCapture() noexcept;
    HWND GetCapture() const noexcept;
    // The window's client area, or the extent the container gave while the
    // control has no window.
    void GetClientRect(RECT* rect) const noexcept;
    // Moves or sizes the control's window; FALSE without a window.
    BOOL SetWindowPos(HWND insertAfter, int x, int y, int width, int height, UINT flags) noexcept;
    // Asks for a repaint of rect (nullptr: everything), erasing the background
    // first when erase is TRUE. Nothing happens without a window.
    void InvalidateControl(const RECT* rect = nullptr, BOOL erase = TRUE) noexcept;
    void Invalidate(BOOL erase = TRUE) noexcept { InvalidateControl(nullptr, erase); }
    BOOL UpdateWindow() noexcept;

    // Window hooks, called on the control's thread for its own window.
    // Overrides call the base version where the base does something (noted).
    virtual int OnCreate(CREATESTRUCT* create);  // 0, or -1 to refuse the window
    virtual void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid);
    virtual void OnSize(UINT type, int width, int height);
    virtual void OnDestroy();
    virtual void OnLButtonDown(UINT flags, POINT point);  // base: stock Click bookkeeping
    virtual void OnLButtonUp(UINT flags, POINT point);    // base: fires Click
    virtual void OnMouseMove(UINT flags, POINT point);
    virtual void OnActivate(UINT state, HWND other, BOOL minimized);
    virtual void OnGetMinMaxInfo(MINMAXINFO* info);
    virtual void OnSetFocus(HWND oldFocus);
    virtual void OnKillFocus(HWND newFocus);
    // Every message of the window; override to handle the control's own
    // messages and pass the rest on to the base.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) noexcept;

private:
    friend LRESULT ControlWindowProc(HWND, UINT, WPARAM, LPARAM);
    friend LRESULT ApartmentWindowProc(HWND, UINT, WPARAM, LPARAM);
    struct SinkEntry {
        DWORD Cookie;
        std::shared_ptr<IEventSink> Sink;
    };

    bool OnOwnerThread() const noexcept;
    HRESULT InvokeHere(DISPID id, InvokeKind kind, std::span<Variant> args, Variant* result,
                       DispatchError* error) noexcept;
    void Paint() noexcept;
    std::string SourceName() const;

    RefCount References;
    const DWORD OwnerThread;
    // The classes of the two windows below, held for the object's life.
    SharedWindowClass ApartmentClass;
    SharedWindowClass ControlClass;
    HWND Apartment = 0;            // hidden window that carries calls over; owner thread
    std::atomic<HWND> Window{0};   // written on the owner thread, read anywhere
    RECT Extent{0, 0, 100, 50};    // owner thread
    IControlSite* Site = nullptr;  // owner thread
    IID DispatchIid;
    IID EventIid;
    std::atomic<bool> Modified{false};  // any thread
    bool ButtonDown = false;            // owner thread: a press began in the window

    mutable std::mutex SinksLock;
    std::vector<SinkEntry> Sinks;  // guarded by SinksLock
    DWORD NextCookie = 1;          // guarded by SinksLock
};

// A property page: its caption (a string resource), its dialog template (a
// DialogResource of the page's module, see platform/automation/dialog.h),
// and the data exchange that runs when it is shown and applied.
class CDataExchange {
public:
    CDataExchange(class COlePropertyPage* page, BOOL saveAndValidate) noexcept
        : Page(page), SaveAndValidate(saveAndValidate) {}
    class COlePropertyPage* Page;
    BOOL SaveAndValidate;  // TRUE when applying the page to its controls
};

struct PropPageInfo {
    std::string Title;
    unsigned DialogId = 0;
    SIZE Size{};  // the dialog's size in pixels
};

struct DialogTemplate;

struct IPropertyPage : IUnknown {
    // E_FAIL when the page's module lacks its caption string or its dialog.
    virtual HRESULT GetPageInfo(PropPageInfo& info) noexcept = 0;
    virtual HRESULT SetObjects(std::span<IControl* const> objects) noexcept = 0;
    // Shows the page in a child window of parent at rect, painted at once (its
    // dialog from the window's top left, the dialog background beyond it).
    // E_FAIL as GetPageInfo, or when the window cannot be made.
    virtual HRESULT Activate(HWND parent, const RECT& rect) noexcept = 0;
    virtual HRESULT Deactivate() noexcept = 0;
    // S_OK when changes wait to be applied, else S_FALSE.
    virtual HRESULT IsPageDirty() noexcept = 0;
    virtual HRESULT Apply() noexcept = 0;
};

class COlePropertyPage : public IPropertyPage, public CCmdTarget {
public:
    COlePropertyPage(unsigned dialogId, unsigned captionId);
    ~COlePropertyPage() override;

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetPageInfo(PropPageInfo& info) noexcept override;
    HRESULT SetObjects(std::span<IControl* const> objects) noexcept override;
    HRESULT Activate(HWND parent, const RECT& rect) noexcept override;
    HRESULT Deactivate() noexcept override;
    HRESULT IsPageDirty() noexcept override;
    HRESULT Apply() noexcept override;

    unsigned DialogId() const noexcept { return Dialog; }
    // The controls the page shows (borrowed from the host for the page's life).
    const std::vector<IControl*>& Objects() const noexcept { return Controls; }
    HWND GetSafeHwnd() const noexcept { return Window; }
    void SetModifiedFlag(BOOL modified = TRUE) noexcept { Dirty = modified != FALSE; }

protected:
    // Binds the page's fields to the controls' properties; ends with
    // DDP_PostProcessing.
    virtual void DoDataExchange(CDataExchange* dx);

private:
    friend void DDP_PostProcessing(CDataExchange* dx);
    friend LRESULT PageWindowProc(HWND, UINT, WPARAM, LPARAM);
    // The module whose caption and dialog the page shows.
    HINSTANCE PageModule() const noexcept;

    RefCount References;
    SharedWindowClass PageClass;                     // the class of Window, held for the page's life
    std::shared_ptr<const DialogTemplate> Template;  // what Window shows; set by Activate
    unsigned Dialog;
    unsigned Caption;
    std::vector<IControl*> Controls;
    HWND Window = 0;
    bool Dirty = false;
};

// Finishes a page's data exchange: when applying, the page is clean afterwards.
void DDP_PostProcessing(CDataExchange* dx);

}  // namespace platform
