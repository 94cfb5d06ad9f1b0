#include "VideoConsumerCtl.h"

#include <cmath>
#include <limits>

#include "kestravion/KestravionIds.h"
#include "platform/gdi/gdi.h"

namespace kestravion {

using namespace platform::media;

namespace {

constexpr int kBands = 64;
constexpr int kTwipsPerInch = 1440;

// w * 1440 / dpi, truncating toward zero; held to 32 bits, which a size in
// pixels of the window layer never leaves.
std::int32_t ToTwips(LONG pixels, int dotsPerInch) {
    const std::int64_t twips = static_cast<std::int64_t>(pixels) * kTwipsPerInch / dotsPerInch;
    if (twips > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (twips < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(twips);
}

// trunc(native * scaling + 0.5) as a window extent; false when that is no
// size a window can have (NaN, negative, beyond the largest surface).
bool ScaledExtent(LONG native, double scaling, int& extent) {
    const double scaled = std::trunc(native * scaling + 0.5);
    if (!(scaled >= 0.0 && scaled <= kMaxBitmapExtent)) return false;
    extent = static_cast<int>(scaled);
    return true;
}

}  // namespace

const DispatchTable& CVideoConsumerCtrl::DispatchMap() {
    using C = CVideoConsumerCtrl;
    static const DispatchTable table{
        Property<VT_COLOR>("BackgroundColor", &C::BackgroundColor, &C::OnBackgroundColorChanged),
        Property<VT_COLOR>("BackgroundColor2", &C::BackgroundColor2, &C::OnBackgroundColorChanged),
        Property<VT_R8>("Pan", &C::Pan, &C::OnPanChanged),
        Property<VT_R8>("Volume", &C::Volume, &C::OnVolumeChanged),
        Method<VT_I4>("GetHandle", &C::GetHandle),
        Method<VT_EMPTY, VT_R8>("Zoom", &C::Zoom, {"Scaling"}),
        Method<VT_EMPTY>("SetOptimalSize", &C::SetOptimalSize),
        Method<VT_BOOL, VT_BOOL>("SetFullscreen", &C::SetFullscreen, {"FullScreen"}),
        Method<VT_BOOL, VT_I4 | VT_BYREF, VT_I4 | VT_BYREF>("GetOptimalSize", &C::GetOptimalSize, {"x", "y"}),
        Method<VT_BOOL, VT_I4 | VT_BYREF, VT_I4 | VT_BYREF>("GetOptimalSizePixel", &C::GetOptimalSizePixel, {"x", "y"}),
        Method<VT_EMPTY>("AboutBox", &C::AboutBox).Id(DISPID_ABOUTBOX),
    };
    return table;
}

const EventTable& CVideoConsumerCtrl::EventMap() {
    static const EventTable table{StockErrorEvent(), StockClickEvent()};
    return table;
}

CVideoConsumerCtrl::CVideoConsumerCtrl() { InitializeIIDs(&IID_DVideoConsumer, &IID_DVideoConsumerEvents); }

CVideoConsumerCtrl::~CVideoConsumerCtrl() {
    // The base would destroy a window still there without OnDestroy, leaving
    // the stream's video window inside it to go down with it.
    InPlaceDeactivate();
}

IVideoWindow* CVideoConsumerCtrl::VideoWindow() const noexcept {
    return AttachedStream ? AttachedStream->VideoWindow.Get() : nullptr;
}

IBasicAudio* CVideoConsumerCtrl::BasicAudio() const noexcept {
    return AttachedStream ? AttachedStream->BasicAudio.Get() : nullptr;
}

IBasicVideo* CVideoConsumerCtrl::BasicVideo() const noexcept {
    return AttachedStream ? AttachedStream->BasicVideo.Get() : nullptr;
}

void CVideoConsumerCtrl::OnBackgroundColorChanged() {
    if (GetSafeHwnd()) InvalidateControl(nullptr, TRUE);
    SetModifiedFlag();
}

void CVideoConsumerCtrl::OnPanChanged() {
    // A pan whose balance no 32-bit value holds (NaN, out of range) is kept
    // as set but not passed on.
    LONG balance = 0;
    if (IBasicAudio* audio = BasicAudio(); audio && TruncateToLong(Pan * 10000.0, balance)) {
        audio->put_Balance(balance);
    }
    SetModifiedFlag();
}

void CVideoConsumerCtrl::OnVolumeChanged() {
    // trunc(Volume * 10000) - 10000: the truncation comes before the offset,
    // so 0.00005 is silence (-10000), not -9999. std::trunc's result is a
    // whole number, so the subtraction is exact.
    LONG level = 0;
    if (IBasicAudio* audio = BasicAudio(); audio && TruncateToLong(std::trunc(Volume * 10000.0) - 10000.0, level)) {
        audio->put_Volume(level);
    }
    SetModifiedFlag();
}

std::int32_t CVideoConsumerCtrl::GetHandle() { return static_cast<std::int32_t>(GetSafeHwnd()); }

void CVideoConsumerCtrl::Zoom(double scaling) {
    IBasicVideo* video = BasicVideo();
    LONG width = 0;
    LONG height = 0;
    if (!video || FAILED(video->GetVideoSize(&width, &height))) return;
    int cx = 0;
    int cy = 0;
    if (!ScaledExtent(width, scaling, cx) || !ScaledExtent(height, scaling, cy)) return;
    // The container is not told; the resize re-fits the video (OnSize).
    SetWindowPos(0, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOOWNERZORDER);
}

void CVideoConsumerCtrl::SetOptimalSize() { Zoom(1.0); }

BOOL CVideoConsumerCtrl::SetFullscreen(BOOL fullScreen) {
    IVideoWindow* window = VideoWindow();
    if (!window) return FALSE;
    return SUCCEEDED(window->put_FullScreenMode(fullScreen ? OATRUE : OAFALSE)) ? TRUE : FALSE;
}

BOOL CVideoConsumerCtrl::GetOptimalSizePixel(std::int32_t* x, std::int32_t* y) {
    IBasicVideo* video = BasicVideo();
    if (!video) return FALSE;
    return SUCCEEDED(video->GetVideoSize(x, y)) ? TRUE : FALSE;
}

BOOL CVideoConsumerCtrl::GetOptimalSize(std::int32_t* x, std::int32_t* y) {
    LONG width = 0;
    LONG height = 0;
    const BOOL native = GetOptimalSizePixel(&width, &height);
    if (!native) {
        RECT client{};
        GetClientRect(&client);
        width = client.right;
        height = client.bottom;
    }
    // Without a window of its own the control converts at the screen's dots
    // per inch, which its window would have.
    const bool ownWindow = GetSafeHwnd() != 0;
    HDC dc = ownWindow ? GetDC() : platform::GetDC(0);
    if (!dc) return FALSE;
    const int dpiX = GetDeviceCaps(dc, LOGPIXELSX);
    const int dpiY = GetDeviceCaps(dc, LOGPIXELSY);
    if (ownWindow) {
        ReleaseDC(dc);
    } else {
        platform::ReleaseDC(0, dc);
    }
    if (dpiX <= 0 || dpiY <= 0) return FALSE;
    *x = ToTwips(width, dpiX);
    *y = ToTwips(height, dpiY);
    return native;
}

void CVideoConsumerCtrl::AboutBox() {}

void CVideoConsumerCtrl::DoPropExchange(CPropExchange* px) {
    ExchangeVersion(px, 0x00010000, TRUE);
    COleControl::DoPropExchange(px);
    PX_Color(px, "BackgroundColor", BackgroundColor, 0);
    PX_Color(px, "BackgroundColor2", BackgroundColor2, 0);
    PX_Double(px, "Pan", Pan, 0.0);
    PX_Double(px, "Volume", Volume, 0.75);
}

std::vector<CLSID> CVideoConsumerCtrl::GetPropPageIDs() const { return {CLSID_VideoConsumerPropPage}; }

void CVideoConsumerCtrl::OnDraw(HDC dc, const RECT& bounds, const RECT&) {
    // 64 bands from the top colour towards the bottom one. Each step is
    // floor(difference * i / 64): the shift rounds toward minus infinity for
    // a falling channel, so the last band stops one step short of the bottom
    // colour wherever the two differ.
    const int red = GetRValue(BackgroundColor);
    const int green = GetGValue(BackgroundColor);
    const int blue = GetBValue(BackgroundColor);
    const int redStep = GetRValue(BackgroundColor2) - red;
    const int greenStep = GetGValue(BackgroundColor2) - green;
    const int blueStep = GetBValue(BackgroundColor2) - blue;
    const int height = bounds.bottom - bounds.top;
    for (int i = 0; i < kBands; ++i) {
        const COLORREF colour =
            RGB(static_cast<BYTE>(red + ((redStep * i) >> 6)), static_cast<BYTE>(green + ((greenStep * i) >> 6)),
                static_cast<BYTE>(blue + ((blueStep * i) >> 6)));
        const RECT band{0, bounds.top + ((height * i) >> 6), bounds.right, bounds.top + ((height * (i + 1)) >> 6)};
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(dc, &band, brush);
        DeleteObject(brush);
    }
}

void CVideoConsumerCtrl::OnSize(UINT type, int width, int height) {
    COleControl::OnSize(type, width, height);
    if (IVideoWindow* window = VideoWindow()) {
        window->SetWindowPosition(0, 0, width, height);
        window->SetWindowForeground(0);
        if (IBasicVideo* video = BasicVideo()) {
            // The whole frame, scaled into the whole window: a source
            // rectangle of the window's size would crop the picture below its
            // native size and be refused above it.
            video->SetDefaultSourcePosition();
            video->SetDestinationPosition(0, 0, width, height);
        }
    }
}

void CVideoConsumerCtrl::OnDestroy() {
    COleControl::OnDestroy();
    if (IVideoWindow* window = VideoWindow()) {
        // The video window is the engine's: it leaves before this window goes.
        window->put_Visible(OAFALSE);
        window->put_WindowStyle(static_cast<LONG>(WS_POPUP));
        window->put_Owner(0);
    }
    // Without a window the stream cannot show here any more, and the engine's
    // later detach goes to this window's old handle: the entry is let go now,
    // before it can outlive the source control that owns it.
    AttachedStream = nullptr;
}

LRESULT CVideoConsumerCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_ATTACHSTREAM) return COleControl::WindowProc(message, wParam, lParam);
    AttachedStream = reinterpret_cast<const StreamEntry*>(lParam);
    if (IVideoWindow* window = VideoWindow()) window->SetWindowForeground(0);
    return 0;
}

}  // namespace kestravion
