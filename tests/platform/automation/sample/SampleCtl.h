#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/automation/control.h"
#include "platform/automation/winthread.h"
#include "platform/thread/thread.h"

// A control built only for the tests: it exercises every part of the
// framework a real control leans on (properties with notification and
// persistence, methods of every parameter type, an alternate name, events
// with by-reference BOOLs fired on the host's thread and on a notification
// thread of its own, the stock events, drawing, mouse capture, activation,
// the min/max query and a message of its own).
namespace sample {

using namespace platform;

inline constexpr CLSID CLSID_SampleCtrl{0x3D1B7A40, 0x52C6, 0x4E0B, {0x8F, 0x11, 0x6A, 0x2C, 0x90, 0x5E, 0x13, 0x01}};
inline constexpr CLSID CLSID_SamplePropPage{
    0x3D1B7A40, 0x52C6, 0x4E0B, {0x8F, 0x11, 0x6A, 0x2C, 0x90, 0x5E, 0x13, 0x02}};
inline constexpr IID IID_DSample{0x3D1B7A40, 0x52C6, 0x4E0B, {0x8F, 0x11, 0x6A, 0x2C, 0x90, 0x5E, 0x13, 0x03}};
inline constexpr IID IID_DSampleEvents{0x3D1B7A40, 0x52C6, 0x4E0B, {0x8F, 0x11, 0x6A, 0x2C, 0x90, 0x5E, 0x13, 0x04}};
inline constexpr GUID LIBID_SampleLib{0x3D1B7A40, 0x52C6, 0x4E0B, {0x8F, 0x11, 0x6A, 0x2C, 0x90, 0x5E, 0x13, 0x05}};

inline constexpr const char* kSampleProgId = "SAMPLE.SampleCtrl.1";
// The property page's one static text, in dialog 300 at (26, 25, 224, 33).
inline constexpr const char* kSamplePageText = "Sample property page: nothing to set here.";
inline constexpr RECT kSamplePageTextBounds{26, 25, 224, 33};
inline constexpr DWORD kSampleMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE |
                                           OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;

// The control's own window message: fires Custom with wParam.
inline constexpr UINT WM_SAMPLE_CUSTOM = WM_APP + 5;
// Posted to the notification window: fires Tick with wParam.
inline constexpr UINT WM_SAMPLE_TICK = WM_APP + 1;
// Sent to the notification window from the host's thread: answers wParam + 1.
inline constexpr UINT WM_SAMPLE_PING = WM_APP + 2;

// Event ids, in the order of the event table.
inline constexpr DISPID kEventChanged = 1;
inline constexpr DISPID kEventRequest = 2;
inline constexpr DISPID kEventTick = 3;
inline constexpr DISPID kEventPressed = 4;
inline constexpr DISPID kEventActivated = 5;
inline constexpr DISPID kEventCustom = 6;

// The smallest and largest size a user may drag the control to.
inline constexpr int kMinWidth = 40;
inline constexpr int kMinHeight = 20;
inline constexpr int kMaxWidth = 400;
inline constexpr int kMaxHeight = 300;

class CSampleCtrl : public COleControl {
public:
    CSampleCtrl();
    ~CSampleCtrl() override;

    static const DispatchTable& DispatchMap();
    static const EventTable& EventMap();
    const DispatchTable& GetDispatchTable() const override { return DispatchMap(); }
    const EventTable& GetEventTable() const override { return EventMap(); }

    // Properties.
    BOOL Enabled = FALSE;
    OLE_COLOR BackColor = 0x00FFFFFF;
    double Level = 0.75;
    void OnEnabledChanged();
    void OnBackColorChanged();
    void OnLevelChanged();

    // Methods.
    std::string Echo(const std::string& text);
    std::int32_t Add(std::int32_t a, std::int32_t b);
    double Scale(double value, double factor);
    BOOL GetInfo(double* ratio, std::int32_t* count, BOOL* ready);
    BOOL MuteChannel(std::int32_t channel, BOOL mute);
    std::int32_t Fail();
    BOOL Notify(std::int32_t value);
    BOOL AskPermission();
    void RaiseError(const std::string& text);
    BOOL StartTicks(std::int32_t count);
    std::int32_t Ping(std::int32_t value);
    std::int32_t GetHandle();
    std::int32_t PressCount();
    std::int32_t MutedChannels();
    void AboutBox();

protected:
    void DoPropExchange(CPropExchange* px) override;
    std::vector<CLSID> GetPropPageIDs() const override;
    int OnCreate(CREATESTRUCT* create) override;
    void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid) override;
    void OnLButtonDown(UINT flags, POINT point) override;
    void OnLButtonUp(UINT flags, POINT point) override;
    void OnActivate(UINT state, HWND other, BOOL minimized) override;
    void OnGetMinMaxInfo(MINMAXINFO* info) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    static UINT NotificationThread(void* parameter);
    static LRESULT NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND WaitForNotifyWindow();

    std::int32_t Muted = 0;  // a bit per channel
    bool Pressed = false;
    std::int32_t Presses = 0;

    std::atomic<HWND> NotifyWindow{0};  // written by the notification thread
    std::unique_ptr<CWinThread> Notifier;
    WorkerThread Ticker;
    std::atomic<bool> StopTicking{false};
};

class CSamplePropPage : public COlePropertyPage {
public:
    CSamplePropPage();

protected:
    void DoDataExchange(CDataExchange* dx) override;
};

}  // namespace sample
