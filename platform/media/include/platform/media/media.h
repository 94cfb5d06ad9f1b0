#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/com/com.h"

// The media graph: a filter graph in the shape the video controls call it
// (IGraphBuilder, IMediaControl, IMediaSeeking, IMediaEventEx, IEnumFilters,
// IBasicAudio, IBasicVideo, IVideoWindow), played by one GStreamer pipeline.
//
// One graph holds any number of files. Each RenderFile adds a decode branch per
// stream of the file, ending in renderers of its own: a video renderer per video
// stream (drawing into a child window of the window layer) and an audio renderer
// per audio stream (volume and balance of its own). Every renderer of a graph
// runs on the graph's one clock, so the whole group starts, pauses and seeks as
// one. Results are HRESULTs; positions are in 100 ns units.
//
// Threads: every interface may be called from any thread, but the video
// renderer's window belongs to the thread that rendered the file, and that
// thread must pump messages for the picture to be painted.
namespace platform::media {

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using LONG_PTR = std::intptr_t;
using REFERENCE_TIME = LONGLONG;  // 100 ns units
using OAHWND = LONG_PTR;          // a window handle of the window layer, widened
using OAFilterState = LONG;

inline constexpr LONG OATRUE = -1;
inline constexpr LONG OAFALSE = 0;

inline constexpr OAFilterState State_Stopped = 0;
inline constexpr OAFilterState State_Paused = 1;
inline constexpr OAFilterState State_Running = 2;

// IMediaSeeking::SetPositions flags (the positioning kind is the low two bits).
inline constexpr DWORD AM_SEEKING_NoPositioning = 0x0;
inline constexpr DWORD AM_SEEKING_AbsolutePositioning = 0x1;
inline constexpr DWORD AM_SEEKING_RelativePositioning = 0x2;
inline constexpr DWORD AM_SEEKING_PositioningBitsMask = 0x3;

// Event codes delivered through IMediaEventEx.
inline constexpr LONG EC_COMPLETE = 0x01;  // every renderer reached its end; param1 S_OK
inline constexpr LONG EC_USERABORT = 0x02;
inline constexpr LONG EC_ERRORABORT = 0x03;      // a stream failed while playing; param1 the HRESULT
inline constexpr LONG EC_BUFFERING_DATA = 0x11;  // param1 nonzero: buffering began; 0: it ended

// IMediaEventEx::SetNotifyFlags
inline constexpr LONG AM_MEDIAEVENT_NONOTIFY = 0x01;

// Results particular to media.
inline constexpr HRESULT VFW_E_NOT_FOUND = MakeHresult(0x80040216u);
inline constexpr HRESULT VFW_E_CANNOT_RENDER = MakeHresult(0x80040218u);
inline constexpr HRESULT VFW_E_UNSUPPORTED_STREAM = MakeHresult(0x80040265u);
inline constexpr HRESULT VFW_E_WRONG_STATE = MakeHresult(0x80040227u);
inline constexpr HRESULT VFW_E_TIMEOUT = MakeHresult(0x8004022Eu);
inline constexpr HRESULT VFW_E_NO_AUDIO_HARDWARE = MakeHresult(0x80040256u);
inline constexpr HRESULT VFW_S_STATE_INTERMEDIATE = MakeHresult(0x00040237u);

// Class and interface identifiers.
inline constexpr CLSID CLSID_FilterGraph{0xE436EBB3, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IBaseFilter{0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IEnumFilters{0x56A86893, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IGraphBuilder{0x56A868A9, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IMediaControl{0x56A868B1, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IMediaEventEx{0x56A868C0, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IMediaSeeking{0x36B73880, 0xC2C8, 0x11CF, {0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60}};
inline constexpr IID IID_IBasicAudio{0x56A868B3, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IVideoWindow{0x56A868B4, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IBasicVideo{0x56A868B5, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// Ours: read-back of what the renderers render, for hosts, tests and benchmarks.
inline constexpr IID IID_IVideoFrameProbe{0x7C1D5E20, 0x3B8A, 0x4F61, {0x9A, 0x0E, 0x51, 0x6B, 0xC2, 0x44, 0x90, 0x01}};
inline constexpr IID IID_IAudioTap{0x7C1D5E21, 0x3B8A, 0x4F61, {0x9A, 0x0E, 0x51, 0x6B, 0xC2, 0x44, 0x90, 0x01}};

// CoCreateInstance's context argument; only the in-process server exists here.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

// A handle that is signalled while a graph has events queued (level-triggered:
// waiting on it returns at once until the queue is drained). Owned by its graph;
// valid while the graph lives. Its descriptor suits poll() for hosts that run a
// loop of their own.
class WaitHandle {
public:
    virtual int Descriptor() const noexcept = 0;

protected:
    ~WaitHandle() = default;
};
using OAEVENT = WaitHandle*;

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Waits up to milliseconds (INFINITE for no limit) for handle to be signalled.
// WAIT_OBJECT_0 when signalled, WAIT_TIMEOUT, or WAIT_FAILED for a null handle.
DWORD WaitForSingleObject(OAEVENT handle, DWORD milliseconds) noexcept;

struct FILTER_INFO {
    char16_t achName[128] = {};
};

// A filter of the graph: a file's source or one of its renderers. Only
// renderers answer QueryInterface for IBasicAudio, IBasicVideo or IVideoWindow,
// and always with the same pointer.
struct IBaseFilter : IUnknown {
    virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
};

// A snapshot of the graph's filters in the order they were added.
struct IEnumFilters : IUnknown {
    // Hands out up to count filters, each with a reference of the caller's.
    // S_OK when count were fetched, S_FALSE when fewer; E_POINTER for a null
    // array, or a null fetched with count > 1.
    virtual HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumFilters** copy) = 0;
};

struct IGraphBuilder : IUnknown {
    // Adds the whole playback chain of a file (a path or a URI) to the graph
    // and returns when its renderers exist and it has been cued as far as the
    // graph is. VFW_E_NOT_FOUND for a missing file, VFW_E_CANNOT_RENDER or
    // VFW_E_UNSUPPORTED_STREAM for one that cannot be played, VFW_E_TIMEOUT
    // when its streams were not found within the render time-out (see
    // SetRenderFileTimeout), E_ABORT when it was cut short by Abort or by the
    // release of every other reference to the graph; the graph is left as it
    // was. A play list is not supported: E_INVALIDARG unless it is null or empty.
    virtual HRESULT RenderFile(const char16_t* file, const char16_t* playList) = 0;
    // A snapshot enumerator of every filter, the renderers of earlier files included.
    virtual HRESULT EnumFilters(IEnumFilters** enumerator) = 0;
    // From any thread: makes every RenderFile in progress give up soon with
    // E_ABORT. Later calls are not affected. S_OK.
    virtual HRESULT Abort() = 0;
};

struct IMediaControl : IUnknown {
    // Each acts on every stream of the graph at once. S_OK, or S_FALSE while a
    // stream is still cueing; E_FAIL when the pipeline refuses.
    //
    // A group ends with one EC_COMPLETE: after its longest stream, and at
    // once when it has no streams. A stream that fails while playing is
    // told by an EC_ERRORABORT (its reason shown as a notice) and counts as
    // ended: the rest play on and the group still completes.
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    // Stops the flow; the position and the last pictures are kept. An end the
    // group reached before (its EC_COMPLETE still queued or on its way) is
    // dropped, as it is by a seek.
    virtual HRESULT Stop() = 0;
    // The state last asked for; waits up to timeoutMs for the pipeline to get
    // there. VFW_S_STATE_INTERMEDIATE when it has not yet.
    virtual HRESULT GetState(LONG timeoutMs, OAFilterState* state) = 0;
};

struct IMediaSeeking : IUnknown {
    // Positions in 100 ns units. Seeks are accurate and flush, so every stream
    // lands on the same position. AM_SEEKING_NoPositioning leaves that end alone.
    virtual HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) = 0;
    virtual HRESULT GetCurrentPosition(LONGLONG* current) = 0;
    // The stop position is the explicit one if set, else the longest stream's duration.
    virtual HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) = 0;
    virtual HRESULT GetStopPosition(LONGLONG* stop) = 0;
    virtual HRESULT GetDuration(LONGLONG* duration) = 0;
};

struct IMediaEventEx : IUnknown {
    virtual HRESULT GetEventHandle(OAEVENT* handle) = 0;
    // One queued event. Waits up to timeoutMs (INFINITE allowed); E_ABORT when
    // none arrived. Every event fetched must be given to FreeEventParams.
    virtual HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG timeoutMs) = 0;
    virtual HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;
    // 0 queues events and signals the handle (the default);
    // AM_MEDIAEVENT_NONOTIFY discards them. E_INVALIDARG for other flags.
    virtual HRESULT SetNotifyFlags(LONG flags) = 0;
    virtual HRESULT GetNotifyFlags(LONG* flags) = 0;
};

// One audio renderer's level. Volume in hundredths of a decibel, -10000
// (silent) to 0 (full); balance -10000 (left only) to 10000 (right only).
// Values outside these ranges give E_INVALIDARG and change nothing.
struct IBasicAudio : IUnknown {
    virtual HRESULT put_Volume(LONG volume) = 0;
    virtual HRESULT get_Volume(LONG* volume) = 0;
    virtual HRESULT put_Balance(LONG balance) = 0;
    virtual HRESULT get_Balance(LONG* balance) = 0;
};

// One video renderer's picture. The source rectangle (in video pixels) is
// scaled into the destination rectangle (in the video window's client
// coordinates); by default the whole frame fills the whole window.
struct IBasicVideo : IUnknown {
    // The native size in pixels.
    virtual HRESULT GetVideoSize(LONG* width, LONG* height) = 0;
    // E_INVALIDARG for an empty rectangle or one outside the frame.
    virtual HRESULT SetSourcePosition(LONG left, LONG top, LONG width, LONG height) = 0;
    virtual HRESULT GetSourcePosition(LONG* left, LONG* top, LONG* width, LONG* height) = 0;
    virtual HRESULT SetDefaultSourcePosition() = 0;
    // E_INVALIDARG for an empty rectangle. Once set it no longer follows the window's size.
    virtual HRESULT SetDestinationPosition(LONG left, LONG top, LONG width, LONG height) = 0;
    virtual HRESULT GetDestinationPosition(LONG* left, LONG* top, LONG* width, LONG* height) = 0;
    virtual HRESULT SetDefaultDestinationPosition() = 0;
};

// One video renderer's window: a window of the window layer, hidden and
// ownerless until told otherwise.
struct IVideoWindow : IUnknown {
    virtual HRESULT put_Visible(LONG visible) = 0;  // OATRUE or OAFALSE
    virtual HRESULT get_Visible(LONG* visible) = 0;
    // Makes the window a child of owner (0: a top-level window again).
    virtual HRESULT put_Owner(OAHWND owner) = 0;
    virtual HRESULT get_Owner(OAHWND* owner) = 0;
    virtual HRESULT put_WindowStyle(LONG style) = 0;
    virtual HRESULT get_WindowStyle(LONG* style) = 0;
    // In the owner's client coordinates; E_INVALIDARG for a negative size.
    virtual HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) = 0;
    virtual HRESULT GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) = 0;
    // OATRUE covers the whole screen with the picture; OAFALSE puts the window
    // back where it was. The same window does it (SetWindowFullScreen of the
    // window layer): on a display it leaves its owner's native window for the
    // screen and comes back, also when the owner sits in another program's
    // window. HRESULT_FROM_WIN32(ERROR_BUSY) while a change is on its way,
    // HRESULT_FROM_WIN32(ERROR_TIMEOUT) when the display did not confirm it.
    virtual HRESULT put_FullScreenMode(LONG mode) = 0;
    virtual HRESULT get_FullScreenMode(LONG* mode) = 0;
    // Raises the window above its siblings; focus is ours to leave alone.
    virtual HRESULT SetWindowForeground(LONG focus) = 0;
};

// The latest frame a video renderer received, as 0x00RRGGBB pixels.
struct VideoFrame {
    LONG Width = 0;
    LONG Height = 0;
    std::vector<std::uint32_t> Pixels;  // Width * Height, rows top to bottom
    REFERENCE_TIME StreamTime = -1;     // the frame's position in its stream
    std::uint64_t Sequence = 0;         // frames received so far, 1 for the first
    std::chrono::steady_clock::time_point ReceivedAt;
};

// On video renderers: read-back of the picture and of the renderer's window.
struct IVideoFrameProbe : IUnknown {
    // Copies the latest frame (when withPixels, else only its timing).
    // S_FALSE, frame untouched, before the first frame.
    virtual HRESULT GetCurrentFrame(VideoFrame* frame, BOOL withPixels) = 0;
    // The renderer's own window handle (0 while the window layer has none).
    virtual HRESULT GetWindowHandle(OAHWND* window) = 0;
};

// Rendered audio as interleaved 32-bit float samples, after volume and balance.
using AudioTapCallback =
    std::function<void(const float* samples, std::size_t frames, int channels, int rate, REFERENCE_TIME streamTime)>;

// On audio renderers: a tap on exactly what the renderer plays. The callback
// runs on a streaming thread; it must be quick and must not call the graph.
struct IAudioTap : IUnknown {
    // An empty callback removes the tap. Returns once no earlier callback runs.
    virtual HRESULT SetTap(AudioTapCallback callback) = 0;
};

// Creates a graph. Only CLSID_FilterGraph with CLSCTX_INPROC_SERVER and no
// outer object: REGDB_E_CLASSNOTREG, CLASS_E_NOAGGREGATION otherwise;
// E_FAIL when GStreamer cannot start; E_NOINTERFACE for an unknown iid.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) noexcept;

// Where audio renderers play. Automatic: the system's audio output where one
// opens, else a clock-synchronised null output so timing and completion behave
// as real. Null: always the null output. Custom: the GStreamer bin description
// given with it (a sink, or a chain ending in one; for example a particular
// device, or a file writer). Applies to files rendered afterwards. False, with
// the setting unchanged, for a Custom description that does not parse.
enum class AudioOutput { Automatic, Null, Custom };
bool SetAudioOutput(AudioOutput output, const std::string& customSink = {}) noexcept;
// What audio renderers would use now (Null when Automatic finds no device).
AudioOutput EffectiveAudioOutput() noexcept;

// The longest a RenderFile waits for a file's streams to be found and linked
// (a slow network source): then it gives up with VFW_E_TIMEOUT. Applies to
// renders started afterwards; any thread.
inline constexpr std::chrono::milliseconds kDefaultRenderFileTimeout{15000};
void SetRenderFileTimeout(std::chrono::milliseconds limit) noexcept;
std::chrono::milliseconds GetRenderFileTimeout() noexcept;

}  // namespace platform::media
