#include "Filters.h"

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "VideoWindowHost.h"

namespace platform::media::detail {

HRESULT FilterBase::QueryFilterInfo(FILTER_INFO* info) {
    if (!info) return E_POINTER;
    CopyName(info->achName, Name);
    return S_OK;
}

ULONG FilterBase::ReleaseImpl() noexcept {
    const ULONG left = Refs.Drop();
    if (left == 0) delete this;
    return left;
}

bool FilterBase::QueryBase(REFIID iid, void** object) noexcept {
    if (iid == IID_IUnknown || iid == IID_IBaseFilter) {
        *object = static_cast<IBaseFilter*>(this);
        AddRefImpl();
        return true;
    }
    return false;
}

HRESULT SourceFilter::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    return QueryBase(iid, object) ? S_OK : E_NOINTERFACE;
}

bool Renderer::Build(std::initializer_list<GstElement*> chain) noexcept {
    std::vector<GstPtr<GstElement>> held;
    bool complete = true;
    for (GstElement* element : chain) {
        if (element) {
            held.push_back(Retain(element));
        } else {
            complete = false;
        }
    }
    if (!complete) return false;
    Elements = std::move(held);
    return true;
}

bool Renderer::LinkChain() noexcept {
    for (std::size_t i = 1; i < Elements.size(); ++i) {
        if (!gst_element_link(Elements[i - 1].get(), Elements[i].get())) return false;
    }
    return true;
}

// ---------------------------------------------------------------- audio

AudioRenderer* AudioRenderer::Create(std::u16string name, AudioOutput output, const char* sinkFactory,
                                     const std::string& customSink) {
    const bool nullOutput = output == AudioOutput::Null || (output == AudioOutput::Automatic && !sinkFactory);
    auto* renderer = new AudioRenderer(std::move(name));
    gst_segment_init(&renderer->TapSegment, GST_FORMAT_TIME);
    GstElement* queue = MakeElement("queue");
    GstElement* convertIn = MakeElement("audioconvert");
    GstElement* resample = MakeElement("audioresample");
    GstElement* volume = MakeElement("volume");
    GstElement* convertOut = MakeElement("audioconvert");
    GstElement* format = MakeElement("capsfilter");
    GstElement* panorama = MakeElement("audiopanorama");
    GstElement* sink = nullptr;
    if (output == AudioOutput::Custom) {
        sink = gst_parse_bin_from_description(customSink.c_str(), TRUE, nullptr);
    } else {
        sink = MakeElement(nullOutput ? "fakesink" : sinkFactory);
    }
    if (!renderer->Build({queue, convertIn, resample, volume, convertOut, format, panorama, sink})) {
        renderer->Release();
        return nullptr;
    }
    {
        // Volume and balance act on a stereo float signal, which is also what
        // the tap sees: exactly the samples handed to the output.
        CapsPtr caps(gst_caps_from_string("audio/x-raw,format=F32LE,channels=2,layout=interleaved"));
        g_object_set(format, "caps", caps.get(), nullptr);
        // The simple method only attenuates the far channel, like a balance control.
        gst_util_set_object_arg(G_OBJECT(panorama), "method", "simple");
        g_object_set(queue, "max-size-time", static_cast<guint64>(2 * GST_SECOND), "max-size-bytes", 0u,
                     "max-size-buffers", 0u, nullptr);
        if (nullOutput) {
            g_object_set(sink, "sync", TRUE, nullptr);
        }
    }
    // Everything the streaming threads read is set under the lock they take,
    // which hands it over to them (GStreamer's own hand-over is invisible to
    // the thread sanitizer).
    std::lock_guard publish(renderer->TapLock);
    renderer->VolumeElement = volume;
    renderer->PanoramaElement = panorama;
    renderer->TapPad = gst_element_get_static_pad(sink, "sink");
    renderer->ProbeId =
        gst_pad_add_probe(renderer->TapPad,
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                       GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                          &AudioRenderer::OnProbe, renderer, nullptr);
    return renderer;
}

AudioRenderer::~AudioRenderer() {
    std::lock_guard guard(TapLock);  // orders the last probe before the end
    if (TapPad) {
        if (ProbeId) gst_pad_remove_probe(TapPad, ProbeId);
        gst_object_unref(TapPad);
    }
}

HRESULT AudioRenderer::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (QueryBase(iid, object)) return S_OK;
    if (iid == IID_IBasicAudio) {
        *object = static_cast<IBasicAudio*>(this);
    } else if (iid == IID_IAudioTap) {
        *object = static_cast<IAudioTap*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRefImpl();
    return S_OK;
}

HRESULT AudioRenderer::put_Volume(LONG volume) {
    if (volume < -10000 || volume > 0) return E_INVALIDARG;
    std::lock_guard guard(LevelLock);
    // Hundredths of a decibel to a linear gain; the bottom of the scale is silence.
    const double gain = volume <= -10000 ? 0.0 : std::pow(10.0, volume / 2000.0);
    g_object_set(VolumeElement, "volume", gain, nullptr);
    Volume = volume;
    return S_OK;
}

HRESULT AudioRenderer::get_Volume(LONG* volume) {
    if (!volume) return E_POINTER;
    std::lock_guard guard(LevelLock);
    *volume = Volume;
    return S_OK;
}

HRESULT AudioRenderer::put_Balance(LONG balance) {
    if (balance < -10000 || balance > 10000) return E_INVALIDARG;
    std::lock_guard guard(LevelLock);
    g_object_set(PanoramaElement, "panorama", static_cast<gfloat>(balance / 10000.0), nullptr);
    Balance = balance;
    return S_OK;
}

HRESULT AudioRenderer::get_Balance(LONG* balance) {
    if (!balance) return E_POINTER;
    std::lock_guard guard(LevelLock);
    *balance = Balance;
    return S_OK;
}

HRESULT AudioRenderer::SetTap(AudioTapCallback callback) {
    std::lock_guard guard(TapLock);
    Tap = std::move(callback);
    return S_OK;
}

GstPadProbeReturn AudioRenderer::OnProbe(GstPad* pad, GstPadProbeInfo* info, gpointer self) {
    auto* renderer = static_cast<AudioRenderer*>(self);
    std::lock_guard guard(renderer->TapLock);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_BOTH) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            const GstSegment* segment = nullptr;
            gst_event_parse_segment(event, &segment);
            gst_segment_copy_into(segment, &renderer->TapSegment);
        } else if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            GstAudioInfo audioInfo;
            if (gst_audio_info_from_caps(&audioInfo, caps)) {
                renderer->TapRate = GST_AUDIO_INFO_RATE(&audioInfo);
            }
        }
        return GST_PAD_PROBE_OK;
    }
    (void)pad;
    if (!renderer->Tap || renderer->TapRate <= 0) return GST_PAD_PROBE_OK;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstMapInfo map;
    if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
    REFERENCE_TIME streamTime = -1;
    if (GST_BUFFER_PTS_IS_VALID(buffer)) {
        const guint64 position =
            gst_segment_to_stream_time(&renderer->TapSegment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
        if (position != GST_CLOCK_TIME_NONE) streamTime = static_cast<REFERENCE_TIME>(position / 100);
    }
    const std::size_t frames = map.size / (2 * sizeof(float));
    try {
        renderer->Tap(reinterpret_cast<const float*>(map.data), frames, 2, renderer->TapRate, streamTime);
    } catch (...) {
    }
    gst_buffer_unmap(buffer, &map);
    return GST_PAD_PROBE_OK;
}

// ---------------------------------------------------------------- video

VideoRenderer* VideoRenderer::Create(std::u16string name, LONG width, LONG height) {
    auto* renderer = new VideoRenderer(std::move(name), width, height);
    GstElement* queue = MakeElement("queue");
    GstElement* convert = MakeElement("videoconvert");
    GstElement* sink = MakeElement("appsink");
    if (!renderer->Build({queue, convert, sink})) {
        renderer->Release();
        return nullptr;
    }
    {
        // BGRx is the window layer's native 32-bit pixel (Cairo RGB24 on little endian).
        CapsPtr caps(gst_caps_from_string("video/x-raw,format=BGRx"));
        g_object_set(sink, "caps", caps.get(), "sync", TRUE, "max-lateness", static_cast<gint64>(20 * GST_MSECOND),
                     "qos", TRUE, "enable-last-sample", FALSE, "max-buffers", 2u, nullptr);
        g_object_set(queue, "max-size-buffers", 5u, "max-size-bytes", 0u, "max-size-time", static_cast<guint64>(0),
                     nullptr);
    }
    std::lock_guard publish(renderer->Lock);  // hands the renderer over to the streaming threads
    renderer->Sink = GST_APP_SINK(sink);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_preroll = &VideoRenderer::OnPreroll;
    callbacks.new_sample = &VideoRenderer::OnSample;
    gst_app_sink_set_callbacks(renderer->Sink, &callbacks, renderer, nullptr);
    return renderer;
}

VideoRenderer::VideoRenderer(std::u16string name, LONG width, LONG height)
    : Renderer(std::move(name)), NativeWidth(width), NativeHeight(height), SourceWidth(width), SourceHeight(height) {
    Window = std::make_unique<VideoWindowHost>(*this, width, height);
}

VideoRenderer::~VideoRenderer() {
    // The graph stops the pipeline before it lets go of its renderers, so no
    // streaming thread is in a callback by now.
    std::unique_ptr<VideoWindowHost> window;
    {
        std::lock_guard guard(Lock);  // orders the last frame before the end
        if (Sink) {
            GstAppSinkCallbacks none{};
            gst_app_sink_set_callbacks(Sink, &none, nullptr, nullptr);
        }
        window = std::move(Window);
    }
}

HRESULT VideoRenderer::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (QueryBase(iid, object)) return S_OK;
    if (iid == IID_IBasicVideo) {
        *object = static_cast<IBasicVideo*>(this);
    } else if (iid == IID_IVideoWindow) {
        *object = static_cast<IVideoWindow*>(this);
    } else if (iid == IID_IVideoFrameProbe) {
        *object = static_cast<IVideoFrameProbe*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRefImpl();
    return S_OK;
}

GstFlowReturn VideoRenderer::OnPreroll(GstAppSink* sink, gpointer self) {
    static_cast<VideoRenderer*>(self)->TakeSample(SamplePtr(gst_app_sink_pull_preroll(sink)));
    return GST_FLOW_OK;
}

GstFlowReturn VideoRenderer::OnSample(GstAppSink* sink, gpointer self) {
    static_cast<VideoRenderer*>(self)->TakeSample(SamplePtr(gst_app_sink_pull_sample(sink)));
    return GST_FLOW_OK;
}

void VideoRenderer::TakeSample(SamplePtr sample) noexcept {
    if (!sample) return;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstVideoInfo info;
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps)) return;
    REFERENCE_TIME streamTime = -1;
    VideoWindowHost* window = nullptr;
    if (GST_BUFFER_PTS_IS_VALID(buffer)) {
        const GstSegment* segment = gst_sample_get_segment(sample.get());
        const guint64 position = segment ? gst_segment_to_stream_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer))
                                         : GST_BUFFER_PTS(buffer);
        if (position != GST_CLOCK_TIME_NONE) streamTime = static_cast<REFERENCE_TIME>(position / 100);
    }
    {
        std::lock_guard guard(Lock);
        const LONG width = GST_VIDEO_INFO_WIDTH(&info);
        const LONG height = GST_VIDEO_INFO_HEIGHT(&info);
        if (width != NativeWidth || height != NativeHeight) {
            NativeWidth = width;
            NativeHeight = height;
            if (SourceIsDefault || SourceLeft + SourceWidth > width || SourceTop + SourceHeight > height) {
                SourceLeft = SourceTop = 0;
                SourceWidth = width;
                SourceHeight = height;
                SourceIsDefault = true;
            }
        }
        Latest = std::move(sample);
        ++Sequence;
        LatestStreamTime = streamTime;
        LatestAt = std::chrono::steady_clock::now();
        window = Window.get();
    }
    window->Invalidate();
}

HRESULT VideoRenderer::GetVideoSize(LONG* width, LONG* height) {
    if (!width || !height) return E_POINTER;
    std::lock_guard guard(Lock);
    *width = NativeWidth;
    *height = NativeHeight;
    return S_OK;
}

HRESULT VideoRenderer::SetSourcePosition(LONG left, LONG top, LONG width, LONG height) {
    {
        std::lock_guard guard(Lock);
        if (left < 0 || top < 0 || width <= 0 || height <= 0 || static_cast<std::int64_t>(left) + width > NativeWidth ||
            static_cast<std::int64_t>(top) + height > NativeHeight) {
            return E_INVALIDARG;
        }
        SourceLeft = left;
        SourceTop = top;
        SourceWidth = width;
        SourceHeight = height;
        SourceIsDefault = false;
    }
    Window->Invalidate();
    return S_OK;
}

HRESULT VideoRenderer::GetSourcePosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left || !top || !width || !height) return E_POINTER;
    std::lock_guard guard(Lock);
    *left = SourceLeft;
    *top = SourceTop;
    *width = SourceWidth;
    *height = SourceHeight;
    return S_OK;
}

HRESULT VideoRenderer::SetDefaultSourcePosition() {
    {
        std::lock_guard guard(Lock);
        SourceLeft = SourceTop = 0;
        SourceWidth = NativeWidth;
        SourceHeight = NativeHeight;
        SourceIsDefault = true;
    }
    Window->Invalidate();
    return S_OK;
}

HRESULT VideoRenderer::SetDestinationPosition(LONG left, LONG top, LONG width, LONG height) {
    if (width <= 0 || height <= 0) return E_INVALIDARG;
    {
        std::lock_guard guard(Lock);
        DestLeft = left;
        DestTop = top;
        DestWidth = width;
        DestHeight = height;
        DestIsDefault = false;
    }
    Window->Invalidate();
    return S_OK;
}

HRESULT VideoRenderer::GetDestinationPosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left || !top || !width || !height) return E_POINTER;
    LONG clientWidth, clientHeight;
    Window->ClientSize(clientWidth, clientHeight);
    std::lock_guard guard(Lock);
    if (DestIsDefault) {
        *left = *top = 0;
        *width = clientWidth;
        *height = clientHeight;
    } else {
        *left = DestLeft;
        *top = DestTop;
        *width = DestWidth;
        *height = DestHeight;
    }
    return S_OK;
}

HRESULT VideoRenderer::SetDefaultDestinationPosition() {
    {
        std::lock_guard guard(Lock);
        DestIsDefault = true;
    }
    Window->Invalidate();
    return S_OK;
}

bool VideoRenderer::CurrentPicture(Picture& picture, LONG clientWidth, LONG clientHeight) {
    std::lock_guard guard(Lock);
    if (!Latest) return false;
    picture.Sample = SamplePtr(gst_sample_ref(Latest.get()));
    picture.FrameWidth = NativeWidth;
    picture.FrameHeight = NativeHeight;
    picture.SourceLeft = SourceLeft;
    picture.SourceTop = SourceTop;
    picture.SourceWidth = SourceWidth;
    picture.SourceHeight = SourceHeight;
    if (DestIsDefault) {
        picture.DestLeft = picture.DestTop = 0;
        picture.DestWidth = clientWidth;
        picture.DestHeight = clientHeight;
    } else {
        picture.DestLeft = DestLeft;
        picture.DestTop = DestTop;
        picture.DestWidth = DestWidth;
        picture.DestHeight = DestHeight;
    }
    return true;
}

HRESULT VideoRenderer::put_Visible(LONG visible) { return Window->SetVisible(visible != OAFALSE); }

HRESULT VideoRenderer::get_Visible(LONG* visible) {
    if (!visible) return E_POINTER;
    *visible = Window->Visible() ? OATRUE : OAFALSE;
    return S_OK;
}

HRESULT VideoRenderer::put_Owner(OAHWND owner) { return Window->SetOwner(owner); }

HRESULT VideoRenderer::get_Owner(OAHWND* owner) {
    if (!owner) return E_POINTER;
    *owner = Window->Owner();
    return S_OK;
}

HRESULT VideoRenderer::put_WindowStyle(LONG style) { return Window->SetStyle(style); }

HRESULT VideoRenderer::get_WindowStyle(LONG* style) {
    if (!style) return E_POINTER;
    *style = Window->Style();
    return S_OK;
}

HRESULT VideoRenderer::SetWindowPosition(LONG left, LONG top, LONG width, LONG height) {
    return Window->SetPosition(left, top, width, height);
}

HRESULT VideoRenderer::GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left || !top || !width || !height) return E_POINTER;
    Window->Position(*left, *top, *width, *height);
    return S_OK;
}

HRESULT VideoRenderer::put_FullScreenMode(LONG mode) { return Window->SetFullScreen(mode != OAFALSE); }

HRESULT VideoRenderer::get_FullScreenMode(LONG* mode) {
    if (!mode) return E_POINTER;
    *mode = Window->FullScreen() ? OATRUE : OAFALSE;
    return S_OK;
}

HRESULT VideoRenderer::SetWindowForeground(LONG /*focus*/) { return Window->Foreground(); }

HRESULT VideoRenderer::GetCurrentFrame(VideoFrame* frame, BOOL withPixels) {
    if (!frame) return E_POINTER;
    SamplePtr sample;
    {
        std::lock_guard guard(Lock);
        if (!Latest) return S_FALSE;
        sample.reset(gst_sample_ref(Latest.get()));
        frame->StreamTime = LatestStreamTime;
        frame->Sequence = Sequence;
        frame->ReceivedAt = LatestAt;
    }
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get()))) return E_FAIL;
    frame->Width = GST_VIDEO_INFO_WIDTH(&info);
    frame->Height = GST_VIDEO_INFO_HEIGHT(&info);
    if (!withPixels) {
        frame->Pixels.clear();
        return S_OK;
    }
    GstVideoFrame mapped;
    if (!gst_video_frame_map(&mapped, &info, gst_sample_get_buffer(sample.get()), GST_MAP_READ)) {
        return E_FAIL;
    }
    const auto* data = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, 0));
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, 0);
    try {
        frame->Pixels.resize(static_cast<std::size_t>(frame->Width) * frame->Height);
    } catch (...) {
        gst_video_frame_unmap(&mapped);
        return E_OUTOFMEMORY;
    }
    for (LONG y = 0; y < frame->Height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        std::uint32_t* out = frame->Pixels.data() + static_cast<std::size_t>(y) * frame->Width;
        for (LONG x = 0; x < frame->Width; ++x) out[x] = row[x] & 0x00FFFFFFu;
    }
    gst_video_frame_unmap(&mapped);
    return S_OK;
}

HRESULT VideoRenderer::GetWindowHandle(OAHWND* window) {
    if (!window) return E_POINTER;
    *window = Window->Handle();
    return S_OK;
}

}  // namespace platform::media::detail
