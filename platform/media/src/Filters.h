#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "GstUtil.h"
#include "platform/media/media.h"

namespace platform::media::detail {

class VideoWindowHost;

// What every filter of the graph shares: a reference count and a name.
// Concrete filters forward their IUnknown methods here.
class FilterBase : public IBaseFilter {
public:
    HRESULT QueryFilterInfo(FILTER_INFO* info) override;

protected:
    explicit FilterBase(std::u16string name) : Name(std::move(name)) {}
    ~FilterBase() override = default;

    ULONG AddRefImpl() noexcept { return Refs.Add(); }
    ULONG ReleaseImpl() noexcept;
    // Answers IUnknown and IBaseFilter; others return false.
    bool QueryBase(REFIID iid, void** object) noexcept;

private:
    RefCount Refs;
    std::u16string Name;
};

// A file's source (its decoding bin). It renders nothing.
class SourceFilter final : public FilterBase {
public:
    explicit SourceFilter(std::u16string name) : FilterBase(std::move(name)) {}
    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
};

// A renderer owns the chain of elements from its queue to its sink; the graph
// adds them to the pipeline and links the decoder's pad to Head().
class Renderer : public FilterBase {
public:
    GstElement* Head() const noexcept { return Elements.empty() ? nullptr : Elements.front().get(); }
    const std::vector<GstPtr<GstElement>>& Chain() const noexcept { return Elements; }

protected:
    using FilterBase::FilterBase;
    // Takes the elements (floating or not). False, with nothing kept, when one is missing.
    bool Build(std::initializer_list<GstElement*> chain) noexcept;

public:
    // Links the chain in order, once its elements are in the pipeline (adding
    // an element to a bin drops links made before).
    bool LinkChain() noexcept;

    std::vector<GstPtr<GstElement>> Elements;
};

class AudioRenderer final : public Renderer, public IBasicAudio, public IAudioTap {
public:
    // Null when an element is missing. The output is the system's (output
    // Automatic, through sinkFactory), a clock-synchronised null one, or the
    // host's bin description.
    static AudioRenderer* Create(std::u16string name, AudioOutput output, const char* sinkFactory,
                                 const std::string& customSink);

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT put_Volume(LONG volume) override;
    HRESULT get_Volume(LONG* volume) override;
    HRESULT put_Balance(LONG balance) override;
    HRESULT get_Balance(LONG* balance) override;

    HRESULT SetTap(AudioTapCallback callback) override;

private:
    explicit AudioRenderer(std::u16string name) : Renderer(std::move(name)) {}
    ~AudioRenderer() override;
    static GstPadProbeReturn OnProbe(GstPad* pad, GstPadProbeInfo* info, gpointer self);

    GstElement* VolumeElement = nullptr;    // owned through Elements
    GstElement* PanoramaElement = nullptr;  // owned through Elements
    GstPad* TapPad = nullptr;
    gulong ProbeId = 0;

    std::mutex LevelLock;  // any caller thread
    LONG Volume = 0;
    LONG Balance = 0;

    std::mutex TapLock;  // the caller and the streaming thread
    AudioTapCallback Tap;
    GstSegment TapSegment{};
    int TapRate = 0;
};

class VideoRenderer final : public Renderer, public IBasicVideo, public IVideoWindow, public IVideoFrameProbe {
public:
    // Null when an element is missing. The native size is what discovery saw;
    // the first frame corrects it if it differs.
    static VideoRenderer* Create(std::u16string name, LONG width, LONG height);

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    // IBasicVideo
    HRESULT GetVideoSize(LONG* width, LONG* height) override;
    HRESULT SetSourcePosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT GetSourcePosition(LONG* left, LONG* top, LONG* width, LONG* height) override;
    HRESULT SetDefaultSourcePosition() override;
    HRESULT SetDestinationPosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT GetDestinationPosition(LONG* left, LONG* top, LONG* width, LONG* height) override;
    HRESULT SetDefaultDestinationPosition() override;

    // IVideoWindow
    HRESULT put_Visible(LONG visible) override;
    HRESULT get_Visible(LONG* visible) override;
    HRESULT put_Owner(OAHWND owner) override;
    HRESULT get_Owner(OAHWND* owner) override;
    HRESULT put_WindowStyle(LONG style) override;
    HRESULT get_WindowStyle(LONG* style) override;
    HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) override;
    HRESULT put_FullScreenMode(LONG mode) override;
    HRESULT get_FullScreenMode(LONG* mode) override;
    HRESULT SetWindowForeground(LONG focus) override;

    // IVideoFrameProbe
    HRESULT GetCurrentFrame(VideoFrame* frame, BOOL withPixels) override;
    HRESULT GetWindowHandle(OAHWND* window) override;

    // The picture as the window shows it: the latest frame and the rectangles,
    // taken together under the renderer's lock. False before the first frame.
    struct Picture {
        SamplePtr Sample;
        LONG FrameWidth = 0, FrameHeight = 0;
        LONG SourceLeft = 0, SourceTop = 0, SourceWidth = 0, SourceHeight = 0;
        LONG DestLeft = 0, DestTop = 0, DestWidth = 0, DestHeight = 0;
    };
    bool CurrentPicture(Picture& picture, LONG clientWidth, LONG clientHeight);

private:
    VideoRenderer(std::u16string name, LONG width, LONG height);
    ~VideoRenderer() override;
    static GstFlowReturn OnPreroll(GstAppSink* sink, gpointer self);
    static GstFlowReturn OnSample(GstAppSink* sink, gpointer self);
    void TakeSample(SamplePtr sample) noexcept;

    GstAppSink* Sink = nullptr;  // owned through Elements

    // Geometry and the latest frame: written by callers and by streaming
    // threads, read when painting.
    mutable std::mutex Lock;
    LONG NativeWidth, NativeHeight;
    LONG SourceLeft = 0, SourceTop = 0, SourceWidth, SourceHeight;
    bool SourceIsDefault = true;
    LONG DestLeft = 0, DestTop = 0, DestWidth = 0, DestHeight = 0;
    bool DestIsDefault = true;
    SamplePtr Latest;
    std::uint64_t Sequence = 0;
    REFERENCE_TIME LatestStreamTime = -1;
    std::chrono::steady_clock::time_point LatestAt;

    std::unique_ptr<VideoWindowHost> Window;
};

}  // namespace platform::media::detail
