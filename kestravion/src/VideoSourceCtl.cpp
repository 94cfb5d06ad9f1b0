#include "VideoSourceCtl.h"

#include <cmath>
#include <limits>

#include "kestravion/KestravionIds.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/resource.h"

namespace kestravion {

namespace {

constexpr std::int32_t kPlay = 1;
constexpr std::int32_t kPause = 2;
constexpr std::int32_t kStop = 3;

// The strip's cell for button b (0 to 2), at rest or lit.
constexpr int CellX(int button, bool lit) { return 2 * kButtonSize * button + (lit ? kButtonSize : 0); }

}  // namespace

const DispatchTable& CVideoSourceCtrl::DispatchMap() {
    using C = CVideoSourceCtrl;
    static const DispatchTable table{
        Method<VT_BOOL, VT_BSTR, VT_I4>("AddFile", &C::AddFile, {"FileName", "ConsumerHandle"}),
        Method<VT_BOOL>("Stop", &C::Stop),
        Method<VT_BOOL>("Run", &C::Run),
        Method<VT_BOOL>("Pause", &C::Pause),
        Method<VT_BOOL>("Reset", &C::Reset),
        Method<VT_BOOL>("Prepare", &C::Prepare),
        Method<VT_R8>("Peek", &C::Peek),
        Method<VT_BOOL, VT_R8>("Seek", &C::Seek, {"Milliseconds"}),
        Method<VT_R8>("PeekEnd", &C::PeekEnd),
        Method<VT_BSTR>("LastError", &C::LastError),
        Method<VT_R8, VT_I4>("GetVolume", &C::GetVolume, {"StreamNumber"}),
        Method<VT_R8, VT_I4>("GetPan", &C::GetPan, {"StreamNumber"}),
        Method<VT_BOOL, VT_I4, VT_R8>("SetPan", &C::SetPan, {"StreamNumber", "Pan"}),
        Method<VT_BOOL, VT_I4, VT_R8>("SetVolume", &C::SetVolume, {"StreamNumber", "Volume"}),
        Method<VT_EMPTY>("ReleaseAllButtons", &C::ReleaseAllButtons),
        Method<VT_EMPTY>("AboutBox", &C::AboutBox).Id(DISPID_ABOUTBOX),
    };
    return table;
}

const EventTable& CVideoSourceCtrl::EventMap() {
    static const EventTable table{
        StockErrorEvent(),
        Event("Complete"),
        Event("BufferingData"),
        Event("BufferingEnd"),
        Event<VT_BOOL | VT_BYREF>("Play", {"Refuse"}),
        Event<VT_BOOL | VT_BYREF>("Pause", {"Refuse"}),
        Event<VT_BOOL | VT_BYREF>("Stop", {"Refuse"}),
    };
    return table;
}

CVideoSourceCtrl::CVideoSourceCtrl() {
    InitializeIIDs(&IID_DVideoSource, &IID_DVideoSourceEvents);
    // The engine exists from here on, so the methods work before the control
    // has a window; its notices are dropped until OnCreate names one.
    Engine = std::make_unique<CKestravion>();
    ButtonBitmap = LoadBitmapA(ThisModuleInstance(), MAKEINTRESOURCEA(kStripBitmapId));
}

CVideoSourceCtrl::~CVideoSourceCtrl() {
    if (ButtonBitmap) DeleteObject(ButtonBitmap);
    Engine.reset();
}

BOOL CVideoSourceCtrl::Failed() {
    FireError(0, Engine->GetErrorText());
    return FALSE;
}

BOOL CVideoSourceCtrl::AddFile(const std::string& fileName, std::int32_t consumerHandle) {
    return Engine->AddFile(fileName.c_str(), static_cast<HWND>(static_cast<std::uint32_t>(consumerHandle)));
}

BOOL CVideoSourceCtrl::Stop() {
    if (!Engine->Stop()) return Failed();
    PlayState = kStop;
    InvalidateControl(nullptr, TRUE);
    return TRUE;
}

BOOL CVideoSourceCtrl::Run() {
    if (!Engine->Run()) return Failed();
    PlayState = kPlay;
    InvalidateControl(nullptr, TRUE);
    return TRUE;
}

BOOL CVideoSourceCtrl::Pause() {
    if (!Engine->Pause()) return Failed();
    PlayState = kPause;
    InvalidateControl(nullptr, TRUE);
    return TRUE;
}

BOOL CVideoSourceCtrl::Reset() {
    PlayState = 0;
    PressedButton = 0;
    InvalidateControl(nullptr, TRUE);
    return Engine->Reset() ? TRUE : Failed();
}

BOOL CVideoSourceCtrl::Prepare() { return Engine->Prepare() ? TRUE : Failed(); }

double CVideoSourceCtrl::Peek() {
    const double position = Engine->Peek();
    if (position == -1.0) return -1.0;
    // Saturated rather than converted: a position past 32 bits of whole
    // milliseconds (about 24.8 days) has no 32-bit value.
    constexpr double kLowest = std::numeric_limits<std::int32_t>::min();
    constexpr double kHighest = std::numeric_limits<std::int32_t>::max();
    const double whole = std::trunc(position);
    return whole < kLowest ? kLowest : whole > kHighest ? kHighest : whole;
}

BOOL CVideoSourceCtrl::Seek(double milliseconds) { return Engine->Seek(milliseconds) ? TRUE : Failed(); }

double CVideoSourceCtrl::PeekEnd() {
    const double end = Engine->PeekEnd();
    if (end == -1.0) Failed();
    return end;
}

std::string CVideoSourceCtrl::LastError() { return Engine->GetErrorText(); }

double CVideoSourceCtrl::GetVolume(std::int32_t stream) {
    double volume = 1.0;
    Engine->GetAudioLevels(stream, &volume, nullptr);
    return volume;
}

double CVideoSourceCtrl::GetPan(std::int32_t stream) {
    double pan = 0.0;
    Engine->GetAudioLevels(stream, nullptr, &pan);
    return pan;
}

BOOL CVideoSourceCtrl::SetPan(std::int32_t stream, double pan) { return Engine->SetPan(stream, pan); }

BOOL CVideoSourceCtrl::SetVolume(std::int32_t stream, double volume) { return Engine->SetVolume(stream, volume); }

void CVideoSourceCtrl::ReleaseAllButtons() {
    PlayState = 0;
    InvalidateControl(nullptr, FALSE);
}

void CVideoSourceCtrl::AboutBox() {}

void CVideoSourceCtrl::DoPropExchange(CPropExchange* px) {
    ExchangeVersion(px, 0x00010000, TRUE);
    COleControl::DoPropExchange(px);
}

std::vector<CLSID> CVideoSourceCtrl::GetPropPageIDs() const { return {CLSID_VideoSourcePropPage}; }

int CVideoSourceCtrl::OnCreate(CREATESTRUCT* create) {
    if (COleControl::OnCreate(create) == -1) return -1;
    Engine->SetNotifyWindow(GetSafeHwnd());
    PlayState = 0;
    PressedButton = 0;
    return 0;
}

void CVideoSourceCtrl::OnDraw(HDC dc, const RECT&, const RECT&) {
    // Always at the origin: the control keeps itself the strip's size.
    HDC memory = CreateCompatibleDC(dc);
    if (!memory) return;
    HGDIOBJ previous = SelectObject(memory, ButtonBitmap);
    if (previous) {
        for (int button = 0; button < kButtonCount; ++button) {
            const bool lit = PressedButton == button + 1 || PlayState == button + 1;
            BitBlt(dc, kButtonSize * button, 0, kButtonSize, kButtonSize, memory, CellX(button, lit), 0, SRCCOPY);
        }
        SelectObject(memory, previous);
    }
    DeleteDC(memory);
}

int CVideoSourceCtrl::ButtonAt(POINT point) noexcept {
    if (point.x < 0 || point.x >= kStripWidth || point.y < 0 || point.y >= kButtonSize) return -1;
    return point.x / kButtonSize;
}

void CVideoSourceCtrl::OnLButtonDown(UINT flags, POINT point) {
    if (const int button = ButtonAt(point); button >= 0) {
        PressedButton = button + 1;
        // The pressed button lights at once, without waiting for a repaint.
        if (HDC dc = GetDC()) {
            if (HDC memory = CreateCompatibleDC(dc)) {
                const int saved = SaveDC(memory);
                if (SelectObject(memory, ButtonBitmap)) {
                    BitBlt(dc, kButtonSize * button, 0, kButtonSize, kButtonSize, memory, CellX(button, true), 0,
                           SRCCOPY);
                }
                RestoreDC(memory, saved);
                DeleteDC(memory);
            }
            ReleaseDC(dc);
        }
        SetCapture();
    }
    COleControl::OnLButtonDown(flags, point);
}

void CVideoSourceCtrl::OnLButtonUp(UINT flags, POINT point) {
    const int button = ButtonAt(point);
    if (button >= 0 && button + 1 == PressedButton) {
        BOOL refuse = FALSE;
        switch (button + 1) {
            case kPlay:
                FireEvent(kEventPlay, {&refuse});
                if (!refuse) Run();
                break;
            case kStop:
                FireEvent(kEventStop, {&refuse});
                if (!refuse) Stop();
                break;
            case kPause:
                // The group pauses whatever the host answers; a refusal only
                // keeps the latched button as it was.
                Pause();
                FireEvent(kEventPause, {&refuse});
                break;
        }
        if (!refuse) PlayState = button + 1;
    }
    PressedButton = 0;
    InvalidateControl(nullptr, FALSE);
    ReleaseCapture();
    COleControl::OnLButtonUp(flags, point);
}

void CVideoSourceCtrl::OnActivate(UINT state, HWND other, BOOL minimized) {
    COleControl::OnActivate(state, other, minimized);
    if (state == WA_INACTIVE && PressedButton != 0) {
        PressedButton = 0;
        InvalidateControl(nullptr, FALSE);
    }
}

void CVideoSourceCtrl::OnSize(UINT type, int width, int height) {
    COleControl::OnSize(type, width, height);
    if (width != kStripWidth || height != kButtonSize) {
        SetWindowPos(0, 0, 0, kStripWidth, kButtonSize, SWP_NOMOVE | SWP_NOZORDER);
    }
}

void CVideoSourceCtrl::OnGetMinMaxInfo(MINMAXINFO* info) {
    const POINT strip{kStripWidth, kButtonSize};
    info->ptMaxSize = strip;
    info->ptMaxPosition = strip;
    info->ptMinTrackSize = strip;
    info->ptMaxTrackSize = strip;
}

LRESULT CVideoSourceCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_GRAPHNOTIFY) return COleControl::WindowProc(message, wParam, lParam);
    switch (wParam) {
        case kGraphNotifyComplete: FireEvent(kEventComplete, std::span<Variant>()); break;
        case kGraphNotifyBuffering:
            FireEvent(lParam != 0 ? kEventBufferingData : kEventBufferingEnd, std::span<Variant>());
            break;
        case kGraphNotifyStreamFailed: FireError(0, Engine->StreamFailed()); break;
        default: break;
    }
    return 0;
}

}  // namespace kestravion
