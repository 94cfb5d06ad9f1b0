#include "SampleCtl.h"

#include <stdexcept>

#include "platform/gdi/gdi.h"

namespace sample {

namespace {

constexpr const char* kNotifyClass = "{3D1B7A40-52C6-4E0B-8F11-6A2C905E13FF}";

// The notification threads of all controls share one window class, held by
// each thread while its window lives.
WNDCLASS NotifyClass(WNDPROC procedure) {
    WNDCLASS windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.lpszClassName = kNotifyClass;
    windowClass.hInstance = ThisModuleInstance();
    return windowClass;
}

}  // namespace

const DispatchTable& CSampleCtrl::DispatchMap() {
    using C = CSampleCtrl;
    static const DispatchTable table{
        Property<VT_BOOL>("Enabled", &C::Enabled, &C::OnEnabledChanged).Persist(FALSE),
        Property<VT_COLOR>("BackColor", &C::BackColor, &C::OnBackColorChanged).Persist(0x00FFFFFF),
        Property<VT_R8>("Level", &C::Level, &C::OnLevelChanged),
        Method<VT_BSTR, VT_BSTR>("Echo", &C::Echo, {"Text"}),
        Method<VT_I4, VT_I4, VT_I4>("Add", &C::Add, {"A", "B"}),
        Method<VT_R8, VT_R8, VT_R8>("Scale", &C::Scale, {"Value", "Factor"}),
        Method<VT_BOOL, VT_R8 | VT_BYREF, VT_I4 | VT_BYREF, VT_BOOL | VT_BYREF>("GetInfo", &C::GetInfo,
                                                                                {"Ratio", "Count", "Ready"}),
        Method<VT_BOOL, VT_I4, VT_BOOL>("SetChannelMute", &C::MuteChannel, {"Channel", "bMute"})
            .AlternateName("MuteChannel"),
        Method<VT_I4>("Fail", &C::Fail),
        Method<VT_BOOL, VT_I4>("Notify", &C::Notify, {"Value"}),
        Method<VT_BOOL>("AskPermission", &C::AskPermission),
        Method<VT_EMPTY, VT_BSTR>("RaiseError", &C::RaiseError, {"Text"}),
        Method<VT_BOOL, VT_I4>("StartTicks", &C::StartTicks, {"Count"}),
        Method<VT_I4, VT_I4>("Ping", &C::Ping, {"Value"}),
        Method<VT_I4>("GetHandle", &C::GetHandle),
        Method<VT_I4>("PressCount", &C::PressCount),
        Method<VT_I4>("MutedChannels", &C::MutedChannels),
        Method<VT_EMPTY>("AboutBox", &C::AboutBox).Id(DISPID_ABOUTBOX),
    };
    return table;
}

const EventTable& CSampleCtrl::EventMap() {
    static const EventTable table{
        StockErrorEvent(),
        StockClickEvent(),
        Event<VT_I4>("Changed", {"Value"}),
        Event<VT_BOOL | VT_BYREF>("Request", {"Refuse"}),
        Event<VT_I4>("Tick", {"Index"}),
        Event<VT_I4, VT_I4>("Pressed", {"X", "Y"}),
        Event<VT_BOOL>("Activated", {"Active"}),
        Event<VT_I4>("Custom", {"Value"}),
    };
    return table;
}

CSampleCtrl::CSampleCtrl() {
    InitializeIIDs(&IID_DSample, &IID_DSampleEvents);
    Notifier = AfxBeginThread(&CSampleCtrl::NotificationThread, this);
}

CSampleCtrl::~CSampleCtrl() {
    StopTicking.store(true, std::memory_order_release);
    Ticker.JoinFor(kWorkerJoinLimit);
    if (Notifier) {
        // The thread says when its window exists (or could not be made); only
        // then can it be asked to end.
        for (int waited = 0; waited < 10000 && !NotifyWindow.load(std::memory_order_acquire) && !Notifier->Finished();
             ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (HWND window = NotifyWindow.load(std::memory_order_acquire)) {
            PostMessage(window, WM_CLOSE, 0, 0);
        }
        Notifier.reset();
    }
}

UINT CSampleCtrl::NotificationThread(void* parameter) {
    auto* self = static_cast<CSampleCtrl*>(parameter);
    const SharedWindowClass notifyClass(NotifyClass(&CSampleCtrl::NotifyProc));
    if (!notifyClass) return 1;
    HWND window = CreateWindowEx(0, kNotifyClass, "", 0, 0, 0, 0, 0, 0, nullptr, ThisModuleInstance(), self);
    if (!window) return 1;
    self->NotifyWindow.store(window, std::memory_order_release);
    MSG message{};
    while (GetMessage(&message, 0, 0, 0) == 1) {
        TranslateMessage(&message);
        DispatchMessage(&message);
    }
    return static_cast<UINT>(message.wParam);
}

LRESULT CSampleCtrl::NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CSampleCtrl*>(GetWindowLongPtr(window, GWLP_USERDATA));
    switch (message) {
        case WM_CREATE: {
            auto* create = reinterpret_cast<CREATESTRUCT*>(lParam);
            SetWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            return 0;
        }
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_SAMPLE_TICK:
            if (self) self->FireEvent(kEventTick, {static_cast<std::int32_t>(wParam)});
            return 0;
        case WM_SAMPLE_PING: return static_cast<LRESULT>(wParam) + 1;
        default: return platform::DefWindowProc(window, message, wParam, lParam);
    }
}

void CSampleCtrl::OnEnabledChanged() { SetModifiedFlag(); }

void CSampleCtrl::OnBackColorChanged() {
    InvalidateControl();
    SetModifiedFlag();
}

void CSampleCtrl::OnLevelChanged() { SetModifiedFlag(); }

std::string CSampleCtrl::Echo(const std::string& text) { return text; }

std::int32_t CSampleCtrl::Add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

double CSampleCtrl::Scale(double value, double factor) { return value * factor; }

BOOL CSampleCtrl::GetInfo(double* ratio, std::int32_t* count, BOOL* ready) {
    *ratio = Level;
    *count = 42;
    *ready = Enabled;
    return TRUE;
}

BOOL CSampleCtrl::MuteChannel(std::int32_t channel, BOOL mute) {
    if (channel >= 0 && channel < 16) {
        if (mute) {
            Muted |= 1 << channel;
        } else {
            Muted &= ~(1 << channel);
        }
    }
    return TRUE;
}

std::int32_t CSampleCtrl::Fail() { throw std::runtime_error("deliberate failure"); }

BOOL CSampleCtrl::Notify(std::int32_t value) { return FireEvent(kEventChanged, {value}); }

BOOL CSampleCtrl::AskPermission() {
    BOOL refuse = FALSE;
    FireEvent(kEventRequest, {&refuse});
    return refuse ? FALSE : TRUE;
}

void CSampleCtrl::RaiseError(const std::string& text) { FireError(0, text); }

HWND CSampleCtrl::WaitForNotifyWindow() {
    // The notification thread makes its window shortly after construction.
    for (int waited = 0; waited < 5000; ++waited) {
        if (HWND window = NotifyWindow.load(std::memory_order_acquire)) return window;
        if (!Notifier || Notifier->Finished()) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

BOOL CSampleCtrl::StartTicks(std::int32_t count) {
    HWND window = WaitForNotifyWindow();
    if (!window || count < 0) return FALSE;
    Ticker.JoinFor(kWorkerJoinLimit);
    StopTicking.store(false, std::memory_order_release);
    return Ticker.Start("sample ticker",
                        [this, window, count] {
                            for (std::int32_t i = 0; i < count && !StopTicking.load(std::memory_order_acquire); ++i) {
                                while (!PostMessage(window, WM_SAMPLE_TICK, static_cast<WPARAM>(i), 0)) {
                                    if (!IsWindow(window) || StopTicking.load(std::memory_order_acquire)) return;
                                    std::this_thread::yield();  // a full queue drains
                                }
                            }
                        })
               ? TRUE
               : FALSE;
}

std::int32_t CSampleCtrl::Ping(std::int32_t value) {
    HWND window = WaitForNotifyWindow();
    if (!window) return -1;
    return static_cast<std::int32_t>(SendMessage(window, WM_SAMPLE_PING, static_cast<WPARAM>(value), 0));
}

std::int32_t CSampleCtrl::GetHandle() { return static_cast<std::int32_t>(GetSafeHwnd()); }

std::int32_t CSampleCtrl::PressCount() { return Presses; }

std::int32_t CSampleCtrl::MutedChannels() { return Muted; }

void CSampleCtrl::AboutBox() {}

void CSampleCtrl::DoPropExchange(CPropExchange* px) {
    ExchangeVersion(px, 0x00010000, TRUE);
    COleControl::DoPropExchange(px);
    PX_Double(px, "Level", Level, 0.75);
}

std::vector<CLSID> CSampleCtrl::GetPropPageIDs() const { return {CLSID_SamplePropPage}; }

int CSampleCtrl::OnCreate(CREATESTRUCT* create) {
    Pressed = false;
    return COleControl::OnCreate(create);
}

void CSampleCtrl::OnDraw(HDC dc, const RECT& bounds, const RECT&) {
    HBRUSH brush = CreateSolidBrush(BackColor & 0x00FFFFFF);
    FillRect(dc, &bounds, brush);
    DeleteObject(brush);
    Ellipse(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
}

void CSampleCtrl::OnLButtonDown(UINT flags, POINT point) {
    Pressed = true;
    SetCapture();
    COleControl::OnLButtonDown(flags, point);
}

void CSampleCtrl::OnLButtonUp(UINT flags, POINT point) {
    if (Pressed) {
        ++Presses;
        FireEvent(kEventPressed, {point.x, point.y});
    }
    Pressed = false;
    ReleaseCapture();
    COleControl::OnLButtonUp(flags, point);
}

void CSampleCtrl::OnActivate(UINT state, HWND other, BOOL minimized) {
    COleControl::OnActivate(state, other, minimized);
    if (state == WA_INACTIVE) Pressed = false;
    FireEvent(kEventActivated, {state != WA_INACTIVE});
}

void CSampleCtrl::OnGetMinMaxInfo(MINMAXINFO* info) {
    info->ptMinTrackSize = POINT{kMinWidth, kMinHeight};
    info->ptMaxTrackSize = POINT{kMaxWidth, kMaxHeight};
}

LRESULT CSampleCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SAMPLE_CUSTOM) {
        FireEvent(kEventCustom, {static_cast<std::int32_t>(wParam)});
        return 0;
    }
    return COleControl::WindowProc(message, wParam, lParam);
}

CSamplePropPage::CSamplePropPage() : COlePropertyPage(300, 300) {}

void CSamplePropPage::DoDataExchange(CDataExchange* dx) { DDP_PostProcessing(dx); }

}  // namespace sample
