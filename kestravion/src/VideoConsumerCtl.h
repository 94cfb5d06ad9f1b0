#pragma once

#include <cstdint>

#include "kestravion/CKestravion.h"
#include "platform/automation/control.h"

namespace kestravion {

using namespace platform;

// The video consumer control: a display surface for one stream of a source
// control. The host hands its window (GetHandle) to the source's AddFile; the
// engine then makes the stream's video window a child of it and sends
// WM_ATTACHSTREAM. From then on the consumer keeps the video fitted to its
// window, sizes itself to the video (Zoom), switches full screen and maps its
// Volume and Pan onto the stream's audio. Behind the video it paints a
// vertical gradient from BackgroundColor to BackgroundColor2.
class CVideoConsumerCtrl : public COleControl {
public:
    CVideoConsumerCtrl();
    ~CVideoConsumerCtrl() override;

    static const DispatchTable& DispatchMap();
    static const EventTable& EventMap();
    const DispatchTable& GetDispatchTable() const override { return DispatchMap(); }
    const EventTable& GetEventTable() const override { return EventMap(); }

    // Properties, kept as the host sets them (no range check).
    OLE_COLOR BackgroundColor = 0;   // the gradient's top; the high byte is ignored
    OLE_COLOR BackgroundColor2 = 0;  // its bottom
    double Pan = 0.0;                // -1.0 left to 1.0 right
    double Volume = 0.75;            // 0.0 silent to 1.0 full, linear in decibels
    void OnBackgroundColorChanged();
    void OnPanChanged();
    void OnVolumeChanged();

    // Methods.
    std::int32_t GetHandle();  // 0 while the control has no window
    void Zoom(double scaling);
    void SetOptimalSize();
    BOOL SetFullscreen(BOOL fullScreen);
    // The video's native size in twips (the client size when detached); FALSE
    // when no stream with video is attached.
    BOOL GetOptimalSize(std::int32_t* x, std::int32_t* y);
    // The video's native size in pixels; FALSE, outputs untouched, when no
    // stream with video is attached.
    BOOL GetOptimalSizePixel(std::int32_t* x, std::int32_t* y);
    void AboutBox();

protected:
    void DoPropExchange(CPropExchange* px) override;
    std::vector<CLSID> GetPropPageIDs() const override;
    void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid) override;
    void OnSize(UINT type, int width, int height) override;
    void OnDestroy() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    platform::media::IVideoWindow* VideoWindow() const noexcept;
    platform::media::IBasicAudio* BasicAudio() const noexcept;
    platform::media::IBasicVideo* BasicVideo() const noexcept;

    // Borrowed from the engine between the attach and detach messages; the
    // consumer never adds or drops a reference on what it holds.
    const StreamEntry* AttachedStream = nullptr;
};

}  // namespace kestravion
