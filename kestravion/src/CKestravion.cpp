#include "kestravion/CKestravion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include "platform/notice/notice.h"
#include "platform/window/text.h"

using namespace platform;
using namespace platform::media;

namespace {

constexpr const char* kNotPrepared = "Video(s) not prepared...";
constexpr const char* kNotPlaying = "Video(s) not playing...";
constexpr const char* kCannotRender = "Cannot render the specified media file...";
constexpr const char* kNoEnumerator = "Cannot retrieve the IEnumFilters interface from the graph.";
constexpr const char* kCannotEnumerate = "Cannot enumerate the filters in the graph.";
constexpr const char* kRunFailed = "IMediaControl->Run() failed";
constexpr const char* kPauseFailed = "IMediaControl->Pause() failed";
constexpr const char* kStopFailed = "IMediaControl->Stop() failed";
constexpr const char* kSetPositionsFailed = "IMediaSeeking->SetPositions() failed";
constexpr const char* kGetCurrentFailed = "IMediaSeeking->GetCurrentPositions() failed";
constexpr const char* kGetPositionsFailed = "IMediaSeeking->GetPositions() failed";
// Ours, for what the table of streams cannot hold.
constexpr const char* kTooManyFiles = "Cannot add more than 16 media files...";
constexpr const char* kNameTooLong = "The media file name is too long...";
constexpr const char* kStreamFailed = "A media file failed while playing...";

constexpr LONG kChildStyle = static_cast<LONG>(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);  // 0x46000000
// The read-back scale, held in single precision as the control reports it.
constexpr double kLevelScale = static_cast<double>(0.0001f);

// Takes the interface iid of object, or null when it has none.
template <class T>
ComPtr<T> Query(IUnknown* object, const IID& iid) {
    void* found = nullptr;
    if (FAILED(object->QueryInterface(iid, &found))) return {};
    return ComPtr<T>::Attach(static_cast<T*>(found));
}

// Stores a renderer interface in an entry's field unless an earlier stream
// owns it already, in which case its reference is dropped here.
template <class T>
bool Claim(ComPtr<T> candidate, ComPtr<T> StreamEntry::*field, const StreamEntry* streams, std::uint32_t earlier,
           ComPtr<T>& slot) {
    if (!candidate) return false;
    for (std::uint32_t i = 0; i < earlier; ++i) {
        if ((streams[i].*field).Get() == candidate.Get()) return false;
    }
    slot = std::move(candidate);  // the last filter found wins; the one it replaces is released
    return true;
}

}  // namespace

CKestravion::CKestravion() : State(0), StreamCount(0), Streams{}, ErrorText{}, EventHandle(nullptr), NotifyWindow(0) {
    Reset();
}

CKestravion::~CKestravion() { ReleaseAll(); }

void CKestravion::SetError(const char* text) {
    std::strncpy(ErrorText, text, kErrorTextSize - 1);
    ErrorText[kErrorTextSize - 1] = '\0';
}

void CKestravion::SetNotifyWindow(HWND window) {
    NotifyWindow = window;
    if (Shared) Shared->NotifyWindow.store(window, std::memory_order_release);
}

const char* CKestravion::StreamFailed() {
    SetError(kStreamFailed);
    return ErrorText;
}

void CKestravion::DropGraph() {
    MediaEvent.Reset();
    GraphBuilder.Reset();
    MediaControl.Reset();
    MediaSeeking.Reset();
    EventHandle = nullptr;
}

BOOL CKestravion::Reset() {
    if (State == 1 || State == 2) Stop();
    ReleaseAll();
    // A fresh block per worker: one that was left running keeps its own stop flag set.
    Shared = std::make_shared<WorkerShared>();
    Shared->NotifyWindow.store(NotifyWindow, std::memory_order_release);

    void* graph = nullptr;
    if (FAILED(media::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &graph))) {
        State = 0;
        return FALSE;
    }
    GraphBuilder = ComPtr<IGraphBuilder>::Attach(static_cast<IGraphBuilder*>(graph));
    MediaEvent = Query<IMediaEventEx>(GraphBuilder.Get(), IID_IMediaEventEx);
    MediaControl = Query<IMediaControl>(GraphBuilder.Get(), IID_IMediaControl);
    MediaSeeking = Query<IMediaSeeking>(GraphBuilder.Get(), IID_IMediaSeeking);
    if (!MediaEvent || !MediaControl || !MediaSeeking) {
        // A graph without all three is no graph: nothing may call through it,
        // and no worker is started for it.
        DropGraph();
        State = 0;
        return FALSE;
    }
    MediaEvent->SetNotifyFlags(0);
    MediaEvent->GetEventHandle(&EventHandle);

    // The worker takes a reference of its own on MediaEvent: should it ever
    // be left running, the interface it waits on stays alive until it ends.
    auto worker = std::make_unique<platform::WorkerThread>();
    if (worker->Start("graph-events", [shared = Shared, events = MediaEvent] { GraphEventThread(shared, events); })) {
        WorkerThread = std::move(worker);
    } else {
        ShowNotice("Cannot create the graph event thread: completion and buffering will not be reported.");
    }
    State = 0;
    return TRUE;
}

BOOL CKestravion::ReleaseAll() {
    for (std::uint32_t i = 0; i < StreamCount; ++i) {
        StreamEntry& entry = Streams[i];
        // Detach first, so no consumer ever holds an entry whose interfaces are gone.
        if (entry.ConsumerHandle) SendMessageA(entry.ConsumerHandle, WM_ATTACHSTREAM, i, 0);
        entry.BasicAudio.Reset();
        entry.BasicVideo.Reset();
        entry.VideoWindow.Reset();
    }
    StreamCount = 0;
    State = 0;
    if (Shared) Shared->StopRequested.store(1, std::memory_order_release);
    if (WorkerThread) {
        // On a time-out WorkerThread leaves the thread running and says so;
        // it holds its own MediaEvent reference and its own copy of Shared.
        WorkerThread->JoinFor(kWorkerJoinLimit);
        WorkerThread.reset();
    }
    DropGraph();
    return TRUE;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the worker holds references of its own
void CKestravion::GraphEventThread(std::shared_ptr<WorkerShared> shared, ComPtr<IMediaEventEx> events) {
    OAEVENT handle = nullptr;
    events->GetEventHandle(&handle);
    while (shared->StopRequested.load(std::memory_order_acquire) == 0) {
        const DWORD waited = media::WaitForSingleObject(handle, kWorkerWaitMs);
        if (waited == WAIT_FAILED) {
            // No handle to wait on: keep the 200 ms rhythm rather than spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(kWorkerWaitMs));
            continue;
        }
        if (waited != WAIT_OBJECT_0) continue;
        LONG code = 0;
        LONG_PTR param1 = 0, param2 = 0;
        while (SUCCEEDED(events->GetEvent(&code, &param1, &param2, 0))) {
            // Until the control has a window there is nobody to tell.
            const HWND target = shared->NotifyWindow.load(std::memory_order_acquire);
            if (target && code == EC_COMPLETE) PostMessageA(target, WM_GRAPHNOTIFY, kGraphNotifyComplete, 0);
            if (target && code == EC_BUFFERING_DATA)
                PostMessageA(target, WM_GRAPHNOTIFY, kGraphNotifyBuffering, param1);
            // A stream that fails part-way would otherwise drop out unheard,
            // and the group's completion would read as if every file had played.
            if (target && code == EC_ERRORABORT) PostMessageA(target, WM_GRAPHNOTIFY, kGraphNotifyStreamFailed, param1);
            events->FreeEventParams(code, param1, param2);
        }
    }
}

BOOL CKestravion::AddFile(const char* fileName, HWND consumerHandle) {
    if (!GraphBuilder) {
        SetError(kNotPrepared);
        return FALSE;
    }
    if (StreamCount >= MaxStreams) {
        SetError(kTooManyFiles);
        return FALSE;
    }
    StreamEntry& entry = Streams[StreamCount];
    entry = StreamEntry{};
    if (!fileName) {
        SetError(kCannotRender);
        return FALSE;
    }
    // This platform's ANSI code page is UTF-8; a malformed sequence becomes U+FFFD.
    const std::u16string wide = ToUtf16(fileName);
    if (wide.size() >= std::size(entry.FileName)) {
        SetError(kNameTooLong);
        return FALSE;
    }
    std::copy(wide.begin(), wide.end(), entry.FileName);
    if (FAILED(GraphBuilder->RenderFile(entry.FileName, nullptr))) {
        SetError(kCannotRender);
        return FALSE;
    }
    ComPtr<IEnumFilters> enumerator;
    if (FAILED(GraphBuilder->EnumFilters(enumerator.ReleaseAndGetAddressOf())) || !enumerator) {
        SetError(kNoEnumerator);
        return FALSE;
    }
    IBaseFilter* listedFilters[kMaxFilters] = {};
    ULONG fetched = 0;
    enumerator->Reset();
    const HRESULT listed = enumerator->Next(kMaxFilters, listedFilters, &fetched);
    enumerator.Reset();
    // Each filter handed out comes with a reference, dropped once it is examined.
    ComPtr<IBaseFilter> filters[kMaxFilters];
    const ULONG count = std::min<ULONG>(fetched, kMaxFilters);
    for (ULONG i = 0; i < count; ++i) filters[i] = ComPtr<IBaseFilter>::Attach(listedFilters[i]);
    if (FAILED(listed)) {
        SetError(kCannotEnumerate);
        return FALSE;
    }
    // Every earlier file's renderers are in the graph too; comparing against
    // the earlier streams leaves this stream exactly the renderers its own file added.
    for (ULONG i = 0; i < count; ++i) {
        if (IBaseFilter* filter = filters[i].Get()) {
            Claim(Query<IBasicVideo>(filter, IID_IBasicVideo), &StreamEntry::BasicVideo, Streams, StreamCount,
                  entry.BasicVideo);
            Claim(Query<IBasicAudio>(filter, IID_IBasicAudio), &StreamEntry::BasicAudio, Streams, StreamCount,
                  entry.BasicAudio);
            if (Claim(Query<IVideoWindow>(filter, IID_IVideoWindow), &StreamEntry::VideoWindow, Streams, StreamCount,
                      entry.VideoWindow)) {
                entry.VideoWindow->put_Visible(OAFALSE);
            }
        }
        filters[i].Reset();
    }
    entry.ConsumerHandle = consumerHandle;
    ++StreamCount;
    return TRUE;
}

BOOL CKestravion::Prepare() {
    for (std::uint32_t i = 0; i < StreamCount; ++i) {
        StreamEntry& entry = Streams[i];
        if (entry.Attached) continue;
        if (IsWindow(entry.ConsumerHandle) && entry.VideoWindow) {
            RECT client{};
            GetClientRect(entry.ConsumerHandle, &client);
            entry.VideoWindow->put_Visible(OAFALSE);
            entry.VideoWindow->put_Owner(static_cast<OAHWND>(entry.ConsumerHandle));
            entry.VideoWindow->put_WindowStyle(kChildStyle);
            entry.VideoWindow->SetWindowPosition(0, 0, client.right, client.bottom);
            entry.VideoWindow->put_Visible(OATRUE);
            SendMessageA(entry.ConsumerHandle, WM_ATTACHSTREAM, i, reinterpret_cast<LPARAM>(&entry));
        }
        entry.Attached = 1;
    }
    return TRUE;
}

BOOL CKestravion::Run() {
    if (!GraphBuilder) {
        SetError(kNotPrepared);
        return FALSE;
    }
    if (FAILED(MediaControl->Run())) {
        SetError(kRunFailed);
        return FALSE;
    }
    State = 1;
    return TRUE;
}

BOOL CKestravion::Pause() {
    if (!GraphBuilder) {
        SetError(kNotPrepared);
        return FALSE;
    }
    if (FAILED(MediaControl->Pause())) {
        SetError(kPauseFailed);
        return FALSE;
    }
    State = 2;
    return TRUE;
}

BOOL CKestravion::Stop() {
    if (!GraphBuilder) {
        SetError(kNotPrepared);
        return FALSE;
    }
    if (State != 1 && State != 2) {
        SetError(kNotPlaying);
        return FALSE;
    }
    if (FAILED(MediaControl->Stop())) {
        SetError(kStopFailed);
        return FALSE;
    }
    LONGLONG start = 0;
    if (FAILED(MediaSeeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning))) {
        SetError(kSetPositionsFailed);
        return FALSE;
    }
    if (FAILED(MediaControl->Pause())) {
        SetError(kPauseFailed);
        return FALSE;
    }
    State = 0;
    return TRUE;
}

BOOL CKestravion::Seek(double ms) {
    if (!GraphBuilder) {
        SetError(kNotPrepared);
        return FALSE;
    }
    // A position that no 64-bit count of 100 ns units can hold is refused
    // instead of converted.
    const double units = std::trunc(ms * 10000.0);
    if (!std::isfinite(units) || units < -9.2e18 || units > 9.2e18) {
        SetError(kSetPositionsFailed);
        return FALSE;
    }
    LONGLONG position = static_cast<LONGLONG>(units);
    if (FAILED(
            MediaSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning))) {
        SetError(kSetPositionsFailed);
        return FALSE;
    }
    return TRUE;
}

double CKestravion::Peek() {
    double result = -1.0;
    if (!GraphBuilder) {
        SetError(kNotPrepared);
        return result;
    }
    LONGLONG current = 0;
    if (FAILED(MediaSeeking->GetCurrentPosition(&current))) {
        SetError(kGetCurrentFailed);
    } else {
        result = static_cast<double>(current) * 0.0001;
    }
    return result;
}

double CKestravion::PeekEnd() {
    double result = -1.0;
    if (!GraphBuilder) {
        SetError(kNotPrepared);
        return result;
    }
    LONGLONG current = 0, stop = 0;
    if (FAILED(MediaSeeking->GetPositions(&current, &stop))) {
        SetError(kGetPositionsFailed);
    } else {
        result = static_cast<double>(stop) * 0.0001;
    }
    return result;
}

BOOL CKestravion::SetVolume(std::int32_t stream, double volume) {
    if (stream < 0 || static_cast<std::uint32_t>(stream) >= StreamCount || !Streams[stream].BasicAudio) return FALSE;
    LONG level = 0;
    if (!TruncateToLong(volume * 10000.0 - 10000.0, level)) return FALSE;
    return SUCCEEDED(Streams[stream].BasicAudio->put_Volume(level)) ? TRUE : FALSE;
}

BOOL CKestravion::SetPan(std::int32_t stream, double pan) {
    if (stream < 0 || static_cast<std::uint32_t>(stream) >= StreamCount || !Streams[stream].BasicAudio) return FALSE;
    LONG balance = 0;
    if (!TruncateToLong(pan * 10000.0, balance)) return FALSE;
    return SUCCEEDED(Streams[stream].BasicAudio->put_Balance(balance)) ? TRUE : FALSE;
}

BOOL CKestravion::GetAudioLevels(std::int32_t stream, double* volume, double* pan) {
    LONG level = 0;
    LONG balance = 0;
    if (stream >= 0 && static_cast<std::uint32_t>(stream) < StreamCount && Streams[stream].BasicAudio) {
        Streams[stream].BasicAudio->get_Volume(&level);
        Streams[stream].BasicAudio->get_Balance(&balance);
    }
    if (volume) *volume = 1.0 + level * kLevelScale;
    if (pan) *pan = balance * kLevelScale;
    return TRUE;
}
