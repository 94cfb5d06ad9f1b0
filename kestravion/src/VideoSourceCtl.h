#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kestravion/CKestravion.h"
#include "platform/automation/control.h"

namespace kestravion {

using namespace platform;

// The video source control: plays up to 16 media files as one group through
// its engine, shows a strip of three buttons (Play, Pause, Stop) a user can
// click, and reports completion, buffering and the clicks as events. Each
// file's picture shows in the consumer window given to AddFile.
class CVideoSourceCtrl : public COleControl {
public:
    CVideoSourceCtrl();
    ~CVideoSourceCtrl() override;

    static const DispatchTable& DispatchMap();
    static const EventTable& EventMap();
    const DispatchTable& GetDispatchTable() const override { return DispatchMap(); }
    const EventTable& GetEventTable() const override { return EventMap(); }

    // The methods of _DVideoSource. Stream numbers count from 0 in the order
    // AddFile succeeded since the last Reset.
    BOOL AddFile(const std::string& fileName, std::int32_t consumerHandle);
    BOOL Stop();
    BOOL Run();
    BOOL Pause();
    BOOL Reset();
    BOOL Prepare();
    // Whole milliseconds toward zero (saturated to 32 bits), -1 on failure.
    double Peek();
    BOOL Seek(double milliseconds);
    // Fractional milliseconds, -1 on failure (which fires Error).
    double PeekEnd();
    std::string LastError();
    // 1.0 and 0.0 for a stream number that names no stream with audio.
    double GetVolume(std::int32_t stream);
    double GetPan(std::int32_t stream);
    BOOL SetPan(std::int32_t stream, double pan);
    BOOL SetVolume(std::int32_t stream, double volume);
    void ReleaseAllButtons();
    void AboutBox();

protected:
    void DoPropExchange(CPropExchange* px) override;
    std::vector<CLSID> GetPropPageIDs() const override;
    int OnCreate(CREATESTRUCT* create) override;
    void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid) override;
    void OnLButtonDown(UINT flags, POINT point) override;
    void OnLButtonUp(UINT flags, POINT point) override;
    void OnActivate(UINT state, HWND other, BOOL minimized) override;
    void OnSize(UINT type, int width, int height) override;
    void OnGetMinMaxInfo(MINMAXINFO* info) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // The button (0 Play, 1 Pause, 2 Stop) under a point of the strip, or -1.
    static int ButtonAt(POINT point) noexcept;
    BOOL Failed();

    std::unique_ptr<CKestravion> Engine;
    HBITMAP ButtonBitmap = nullptr;
    std::int32_t PlayState = 0;      // the latched button: 0 none, 1 Play, 2 Pause, 3 Stop
    std::int32_t PressedButton = 0;  // the button held down: 0 none, 1 to 3 as above
};

}  // namespace kestravion
