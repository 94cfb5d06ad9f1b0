#include "kestravion/CKestravion.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/notice/notice.h"

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

constexpr LONG kChildStyle = static_cast<LONG>(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);  // 0x46000000
// The read-back scale, held in single precision as the control reports it.
constexpr double kLevelScale = static_cast<double>(0.0001f);

// UTF-8 (this platform's ANSI code page) to UTF-16, zero-terminated, as the
// platform's conversion without flags does it: a malformed byte becomes
// U+FFFD. False when the result does not fit capacity units with the terminator.
bool ToWide(const char* text, char16_t* out, std::size_t capacity) {
    std::size_t used = 0;
    auto put = [&](char16_t unit) {
        if (used + 1 >= capacity) return false;
        out[used++] = unit;
        return true;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        char32_t c = 0xFFFD;
        int length = 1;
        if (*p < 0x80) {
            c = *p;
        } else {
            const int expected = (*p & 0xE0) == 0xC0 ? 2 : (*p & 0xF0) == 0xE0 ? 3 : (*p & 0xF8) == 0xF0 ? 4 : 0;
            char32_t value = expected == 2 ? (*p & 0x1F) : expected == 3 ? (*p & 0x0F) : (*p & 0x07);
            int i = 1;
            for (; i < expected && (p[i] & 0xC0) == 0x80; ++i) value = (value << 6) | (p[i] & 0x3F);
            static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
            if (expected && i == expected && value >= kSmallest[expected] && value <= 0x10FFFF &&
                (value < 0xD800 || value > 0xDFFF)) {
                c = value;
                length = expected;
            } else {
                length = expected ? std::max(i, 1) : 1;
            }
        }
        p += length;
        if (c >= 0x10000) {
            if (!put(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10))) ||
                !put(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)))) {
                return false;
            }
        } else if (!put(static_cast<char16_t>(c))) {
            return false;
        }
    }
    out[used] = u'\0';
    return true;
}

// trunc(value) as a 32-bit result, or false when it cannot be one (NaN,
// infinities, out of range): such a value is refused rather than converted.
bool TruncateToLong(double value, LONG& result) {
    if (!std::isfinite(value)) return false;
    const double truncated = std::trunc(value);
    if (truncated < std::numeric_limits<LONG>::min() || truncated > std::numeric_limits<LONG>::max()) return false;
    result = static_cast<LONG>(truncated);
    return true;
}

template <class T>
void ReleaseAndNull(T*& pointer) {
    if (pointer) {
        pointer->Release();
        pointer = nullptr;
    }
}

// Stores a renderer interface in an entry's field unless an earlier stream
// owns it already; either way the reference is used up.
template <class T>
bool Claim(T* candidate, T* StreamEntry::*field, StreamEntry* streams, std::uint32_t earlier, T*& slot) {
    for (std::uint32_t i = 0; i < earlier; ++i) {
        if (streams[i].*field == candidate) {
            candidate->Release();
            return false;
        }
    }
    if (slot) slot->Release();  // the last filter found wins
    slot = candidate;
    return true;
}

}  // namespace

CKestravion::CKestravion()
    : State(0),
      GraphBuilder(nullptr),
      MediaEvent(nullptr),
      MediaControl(nullptr),
      MediaSeeking(nullptr),
      StreamCount(0),
      Streams{},
      ErrorText{},
      EventHandle(nullptr),
      NotifyWindow(0) {
    Reset();
}

CKestravion::~CKestravion() { ReleaseAll(); }

void CKestravion::SetError(const char* text) {
    std::strncpy(ErrorText, text, ErrorTextSize - 1);
    ErrorText[ErrorTextSize - 1] = '\0';
}

void CKestravion::SetNotifyWindow(HWND window) {
    NotifyWindow = window;
    if (Shared) Shared->NotifyWindow.store(window, std::memory_order_release);
}

void CKestravion::DropGraph() {
    ReleaseAndNull(MediaEvent);
    ReleaseAndNull(GraphBuilder);
    ReleaseAndNull(MediaControl);
    ReleaseAndNull(MediaSeeking);
    EventHandle = nullptr;
}

BOOL CKestravion::Reset() {
    if (State == 1 || State == 2) Stop();
    ReleaseAll();
    // A fresh block per worker: one that was left running keeps its own stop flag set.
    Shared = std::make_shared<WorkerShared>();
    Shared->NotifyWindow.store(NotifyWindow, std::memory_order_release);

    void* graph = nullptr;
    if (FAILED(media::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                       &graph))) {
        State = 0;
        return FALSE;
    }
    GraphBuilder = static_cast<IGraphBuilder*>(graph);
    void* events = nullptr;
    void* control = nullptr;
    void* seeking = nullptr;
    const bool haveEvents = SUCCEEDED(GraphBuilder->QueryInterface(IID_IMediaEventEx, &events));
    const bool haveControl = SUCCEEDED(GraphBuilder->QueryInterface(IID_IMediaControl, &control));
    const bool haveSeeking = SUCCEEDED(GraphBuilder->QueryInterface(IID_IMediaSeeking, &seeking));
    MediaEvent = haveEvents ? static_cast<IMediaEventEx*>(events) : nullptr;
    MediaControl = haveControl ? static_cast<IMediaControl*>(control) : nullptr;
    MediaSeeking = haveSeeking ? static_cast<IMediaSeeking*>(seeking) : nullptr;
    if (!haveEvents || !haveControl || !haveSeeking) {
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
    if (worker->Start("graph-events", [shared = Shared, events = ComPtr<IMediaEventEx>::Share(MediaEvent)] {
            GraphEventThread(shared, events);
        })) {
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
        ReleaseAndNull(entry.BasicAudio);
        ReleaseAndNull(entry.BasicVideo);
        ReleaseAndNull(entry.VideoWindow);
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

void CKestravion::GraphEventThread(std::shared_ptr<WorkerShared> shared, ComPtr<IMediaEventEx> events) {
    OAEVENT handle = nullptr;
    events->GetEventHandle(&handle);
    while (shared->StopRequested.load(std::memory_order_acquire) == 0) {
        const DWORD waited = media::WaitForSingleObject(handle, WorkerWaitMs);
        if (waited == WAIT_FAILED) {
            // No handle to wait on: keep the 200 ms rhythm rather than spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(WorkerWaitMs));
            continue;
        }
        if (waited != WAIT_OBJECT_0) continue;
        LONG code = 0;
        LONG_PTR param1 = 0, param2 = 0;
        while (SUCCEEDED(events->GetEvent(&code, &param1, &param2, 0))) {
            // Until the control has a window there is nobody to tell.
            const HWND target = shared->NotifyWindow.load(std::memory_order_acquire);
            if (target && code == EC_COMPLETE) PostMessageA(target, WM_GRAPHNOTIFY, 0, 0);
            if (target && code == EC_BUFFERING_DATA) PostMessageA(target, WM_GRAPHNOTIFY, 1, param1);
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
    if (!ToWide(fileName, entry.FileName, std::size(entry.FileName))) {
        entry = StreamEntry{};
        SetError(kNameTooLong);
        return FALSE;
    }
    if (FAILED(GraphBuilder->RenderFile(entry.FileName, nullptr))) {
        SetError(kCannotRender);
        return FALSE;
    }
    IEnumFilters* enumerator = nullptr;
    if (FAILED(GraphBuilder->EnumFilters(&enumerator)) || !enumerator) {
        SetError(kNoEnumerator);
        return FALSE;
    }
    IBaseFilter* filters[MaxFilters] = {};
    ULONG fetched = 0;
    enumerator->Reset();
    const HRESULT listed = enumerator->Next(MaxFilters, filters, &fetched);
    enumerator->Release();
    if (FAILED(listed)) {
        SetError(kCannotEnumerate);
        return FALSE;
    }
    // Every earlier file's renderers are in the graph too; comparing against
    // the earlier streams leaves this stream exactly the renderers its own file added.
    for (ULONG i = 0; i < fetched && i < MaxFilters; ++i) {
        IBaseFilter* filter = filters[i];
        void* found = nullptr;
        if (SUCCEEDED(filter->QueryInterface(IID_IBasicVideo, &found))) {
            Claim(static_cast<IBasicVideo*>(found), &StreamEntry::BasicVideo, Streams, StreamCount, entry.BasicVideo);
        }
        if (SUCCEEDED(filter->QueryInterface(IID_IBasicAudio, &found))) {
            Claim(static_cast<IBasicAudio*>(found), &StreamEntry::BasicAudio, Streams, StreamCount, entry.BasicAudio);
        }
        if (SUCCEEDED(filter->QueryInterface(IID_IVideoWindow, &found)) &&
            Claim(static_cast<IVideoWindow*>(found), &StreamEntry::VideoWindow, Streams, StreamCount,
                  entry.VideoWindow)) {
            entry.VideoWindow->put_Visible(OAFALSE);
        }
        filter->Release();
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
    if (FAILED(MediaSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                          AM_SEEKING_NoPositioning))) {
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
