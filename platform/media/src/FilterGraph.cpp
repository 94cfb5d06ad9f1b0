#include "FilterGraph.h"

#include <gst/pbutils/pbutils.h>

#include <algorithm>
#include <filesystem>

#include "FilterEnumerator.h"
#include "platform/notice/notice.h"
#include "platform/window/text.h"

namespace platform::media::detail {
namespace {

constexpr auto kSeekCueLimit = std::chrono::seconds(5);
// How often a render waiting for another one looks whether it must give up.
constexpr auto kLockSlice = std::chrono::milliseconds(20);
constexpr const char* kQuitMessage = "platform-media-quit";
constexpr const char* kEpochMessage = "platform-media-epoch";

}  // namespace

HRESULT FilterGraph::Create(FilterGraph** graph) noexcept {
    if (!graph) return E_POINTER;
    *graph = nullptr;
    if (!EnsureGstreamer()) return E_FAIL;
    auto* created = new (std::nothrow) FilterGraph();
    if (!created) return E_OUTOFMEMORY;
    if (!created->Start()) {
        created->Release();
        return E_FAIL;
    }
    *graph = created;
    return S_OK;
}

bool FilterGraph::Start() noexcept {
    if (!Events.Valid()) return false;
    GstElement* pipeline = gst_pipeline_new(nullptr);
    if (!pipeline) return false;
    Pipeline = Retain(pipeline);
    Bus.reset(gst_pipeline_get_bus(GST_PIPELINE(pipeline)));
    if (!Bus) return false;
    return BusThread.Start("media-bus", [this] { BusLoop(); });
}

bool FilterGraph::StopBusThread() noexcept {
    // The pipeline's bus drops messages once the pipeline is stopped, so the
    // wake-up message goes out while it still flows.
    QuitBus.store(true, std::memory_order_release);
    if (Bus) {
        gst_bus_post(Bus.get(), gst_message_new_application(nullptr, gst_structure_new_empty(kQuitMessage)));
    }
    return BusThread.JoinFor(kWorkerJoinLimit);
}

FilterGraph::~FilterGraph() {
    if (Pipeline) {
        gst_element_set_state(Pipeline.get(), GST_STATE_NULL);
    }
    for (auto& chain : Files) {
        if (chain->PadAddedId) g_signal_handler_disconnect(chain->Decoder.get(), chain->PadAddedId);
        if (chain->NoMorePadsId) g_signal_handler_disconnect(chain->Decoder.get(), chain->NoMorePadsId);
        // The streaming threads are gone; taking the lock they last held
        // orders their work before the chain is freed.
        std::lock_guard guard(chain->Lock);
    }
    Files.clear();
    Filters.clear();
}

ULONG FilterGraph::Release() {
    const ULONG left = Refs.Drop();
    // Only renders in progress hold the graph now: nobody waits for them.
    if (left != 0 && left <= Rendering.load(std::memory_order_acquire)) Abort();
    // A bus thread that did not end in time still works on this graph
    // (WorkerThread has said so): the graph is then left to it, not freed under it.
    if (left == 0 && StopBusThread()) delete this;
    return left;
}

HRESULT FilterGraph::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IGraphBuilder) {
        *object = static_cast<IGraphBuilder*>(this);
    } else if (iid == IID_IMediaControl) {
        *object = static_cast<IMediaControl*>(this);
    } else if (iid == IID_IMediaSeeking) {
        *object = static_cast<IMediaSeeking*>(this);
    } else if (iid == IID_IMediaEventEx) {
        *object = static_cast<IMediaEventEx*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---------------------------------------------------------------- building

HRESULT FilterGraph::RenderFile(const char16_t* file, const char16_t* playList) {
    if (!file) return E_POINTER;
    if (playList && *playList) return E_INVALIDARG;
    const std::string name = ToUtf8(file);
    if (name.empty()) return VFW_E_NOT_FOUND;

    std::string uri;
    if (gst_uri_is_valid(name.c_str())) {
        uri = name;
        if (gst_uri_has_protocol(uri.c_str(), "file")) {
            GCharPtr local(g_filename_from_uri(uri.c_str(), nullptr, nullptr));
            std::error_code error;
            if (!local || !std::filesystem::is_regular_file(local.get(), error)) return VFW_E_NOT_FOUND;
        }
    } else {
        std::error_code error;
        if (!std::filesystem::is_regular_file(name, error)) return VFW_E_NOT_FOUND;
        const auto absolute = std::filesystem::absolute(name, error);
        if (error) return VFW_E_NOT_FOUND;
        GError* failure = nullptr;
        GCharPtr converted(gst_filename_to_uri(absolute.c_str(), &failure));
        ErrorPtr ownedFailure(failure);
        if (!converted) return VFW_E_NOT_FOUND;
        uri = converted.get();
    }
    // The render holds a reference of its own, so that a release on another
    // thread never frees the graph under it (and cuts it short instead).
    AddRef();
    Rendering.fetch_add(1, std::memory_order_acq_rel);
    const RenderCutoff cutoff{&AbortGeneration, AbortGeneration.load(std::memory_order_acquire),
                              std::chrono::steady_clock::now() + GetRenderFileTimeout()};
    auto render = [&]() -> HRESULT {
        try {
            std::unique_lock operation(OperationLock, std::defer_lock);
            while (!operation.try_lock_for(kLockSlice)) {
                if (const HRESULT status = cutoff.Status(); FAILED(status)) return status;
            }
            return RenderUri(uri, cutoff);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    };
    const HRESULT result = render();
    Rendering.fetch_sub(1, std::memory_order_acq_rel);
    Release();
    return result;
}

HRESULT FilterGraph::Abort() {
    AbortGeneration.fetch_add(1, std::memory_order_acq_rel);
    return S_OK;
}

HRESULT FilterGraph::EnumFilters(IEnumFilters** enumerator) {
    if (!enumerator) return E_POINTER;
    try {
        std::lock_guard data(DataLock);
        *enumerator = new FilterEnumerator(Filters);
        return S_OK;
    } catch (...) {
        *enumerator = nullptr;
        return E_OUTOFMEMORY;
    }
}

bool FilterGraph::HasFiles() {
    std::lock_guard data(DataLock);
    return !Files.empty();
}

// ---------------------------------------------------------------- state

GstStateChangeReturn FilterGraph::ApplyTargetLocked() {
    // While a network stream refills, a running group waits paused; the bus
    // thread lets it go on when every stream has enough.
    const GstState wanted = Target == State_Running && !Buffering ? GST_STATE_PLAYING : GST_STATE_PAUSED;
    return gst_element_set_state(Pipeline.get(), wanted);
}

HRESULT FilterGraph::ChangeTarget(OAFilterState target) {
    std::lock_guard operation(OperationLock);
    GstStateChangeReturn result;
    bool started = false;
    {
        std::lock_guard data(DataLock);
        started = target == State_Running && Target != State_Running;
        Target = target;
        if (target == State_Running) SeekTarget.reset();
        if (target == State_Stopped) NewEpochLocked();
        result = ApplyTargetLocked();
        if (result != GST_STATE_CHANGE_FAILURE) Cued = true;
        // A group with nothing to play ends as soon as it runs, so that a
        // host waiting for its end hears it.
        if (started && Files.empty()) Events.Push(EC_COMPLETE, S_OK, 0);
    }
    // A stream that failed earlier sends nothing more, and a seek or a stop
    // since has flushed the end it was given: it is ended again, so that the
    // group completes after the rest. Files changes only under OperationLock.
    if (started) {
        for (auto& chain : Files) {
            if (chain->Failed.load(std::memory_order_acquire)) EndBranches(*chain);
        }
    }
    switch (result) {
        case GST_STATE_CHANGE_FAILURE: return E_FAIL;
        case GST_STATE_CHANGE_ASYNC: return S_FALSE;
        default: return S_OK;
    }
}

HRESULT FilterGraph::Run() { return ChangeTarget(State_Running); }
HRESULT FilterGraph::Pause() { return ChangeTarget(State_Paused); }
// A stopped group keeps its pictures and its position, and can be sought:
// the pipeline itself stays cued.
HRESULT FilterGraph::Stop() { return ChangeTarget(State_Stopped); }

HRESULT FilterGraph::GetState(LONG timeoutMs, OAFilterState* state) {
    if (!state) return E_POINTER;
    {
        std::lock_guard data(DataLock);
        *state = Target;
    }
    const GstClockTime limit = timeoutMs < 0 ? GST_CLOCK_TIME_NONE : static_cast<GstClockTime>(timeoutMs) * GST_MSECOND;
    const GstStateChangeReturn result = gst_element_get_state(Pipeline.get(), nullptr, nullptr, limit);
    if (result == GST_STATE_CHANGE_FAILURE) return E_FAIL;
    return result == GST_STATE_CHANGE_ASYNC ? VFW_S_STATE_INTERMEDIATE : S_OK;
}

// ---------------------------------------------------------------- seeking

void FilterGraph::WaitForCueing(std::chrono::milliseconds limit) {
    gst_element_get_state(Pipeline.get(), nullptr, nullptr,
                          static_cast<GstClockTime>(std::chrono::nanoseconds(limit).count()));
}

REFERENCE_TIME FilterGraph::CurrentPosition() {
    {
        std::lock_guard data(DataLock);
        if (SeekTarget) return *SeekTarget;
        if (Files.empty()) return 0;
    }
    gint64 position = 0;
    if (gst_element_query_position(Pipeline.get(), GST_FORMAT_TIME, &position) && position >= 0) {
        return position / 100;
    }
    return 0;
}

HRESULT FilterGraph::SeekTo(REFERENCE_TIME current, bool setCurrent, REFERENCE_TIME stop, bool setStop) {
    if (!HasFiles()) {
        std::lock_guard data(DataLock);
        if (setCurrent) SeekTarget = current;
        if (setStop) ExplicitStop = stop;
        NewEpochLocked();
        return S_OK;
    }
    // A seek needs every branch linked; one still cueing is waited for.
    WaitForCueing(kSeekCueLimit);
    const auto flags = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
    const gboolean sent = gst_element_seek(
        Pipeline.get(), 1.0, GST_FORMAT_TIME, flags, setCurrent ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE,
        setCurrent ? static_cast<gint64>(current) * 100 : 0, setStop ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE,
        setStop ? static_cast<gint64>(stop) * 100 : 0);
    if (!sent) return E_FAIL;
    std::lock_guard data(DataLock);
    if (setCurrent && Target != State_Running) SeekTarget = current;
    if (setStop) ExplicitStop = stop;
    NewEpochLocked();
    return S_OK;
}

void FilterGraph::NewEpochLocked() {
    const unsigned epoch = Epoch.fetch_add(1, std::memory_order_acq_rel) + 1;
    Events.Discard(EC_COMPLETE);
    // Everything the bus holds before this marker belongs to the old epoch.
    if (Bus) {
        gst_bus_post(Bus.get(), gst_message_new_application(
                                    nullptr, gst_structure_new(kEpochMessage, "epoch", G_TYPE_UINT, epoch, nullptr)));
    }
}

HRESULT FilterGraph::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) {
    const DWORD currentKind = currentFlags & AM_SEEKING_PositioningBitsMask;
    const DWORD stopKind = stopFlags & AM_SEEKING_PositioningBitsMask;
    if ((currentKind != AM_SEEKING_NoPositioning && !current) || (stopKind != AM_SEEKING_NoPositioning && !stop)) {
        return E_POINTER;
    }
    if (currentKind == 3 || stopKind == 3) return E_INVALIDARG;
    std::lock_guard operation(OperationLock);
    REFERENCE_TIME newCurrent = 0;
    REFERENCE_TIME newStop = 0;
    if (currentKind == AM_SEEKING_AbsolutePositioning) newCurrent = *current;
    if (currentKind == AM_SEEKING_RelativePositioning) newCurrent = CurrentPosition() + *current;
    if (stopKind == AM_SEEKING_AbsolutePositioning) newStop = *stop;
    if (stopKind == AM_SEEKING_RelativePositioning) {
        LONGLONG present = 0;
        GetStopPosition(&present);
        newStop = present + *stop;
    }
    if (newCurrent < 0 || newStop < 0) return E_INVALIDARG;
    if (currentKind == AM_SEEKING_NoPositioning && stopKind == AM_SEEKING_NoPositioning) return S_OK;
    return SeekTo(newCurrent, currentKind != AM_SEEKING_NoPositioning, newStop, stopKind != AM_SEEKING_NoPositioning);
}

HRESULT FilterGraph::GetCurrentPosition(LONGLONG* current) {
    if (!current) return E_POINTER;
    *current = CurrentPosition();
    return S_OK;
}

HRESULT FilterGraph::GetDuration(LONGLONG* duration) {
    if (!duration) return E_POINTER;
    REFERENCE_TIME longest;
    {
        std::lock_guard data(DataLock);
        longest = LongestDiscovered;
        if (Files.empty()) {
            *duration = 0;
            return S_OK;
        }
    }
    gint64 queried = 0;
    if (gst_element_query_duration(Pipeline.get(), GST_FORMAT_TIME, &queried) && queried > 0) {
        longest = std::max<REFERENCE_TIME>(longest, queried / 100);
    }
    *duration = longest;
    return S_OK;
}

HRESULT FilterGraph::GetStopPosition(LONGLONG* stop) {
    if (!stop) return E_POINTER;
    {
        std::lock_guard data(DataLock);
        if (ExplicitStop) {
            *stop = *ExplicitStop;
            return S_OK;
        }
    }
    return GetDuration(stop);
}

HRESULT FilterGraph::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (current) *current = CurrentPosition();
    if (stop) return GetStopPosition(stop);
    return S_OK;
}

// ---------------------------------------------------------------- events

HRESULT FilterGraph::GetEventHandle(OAEVENT* handle) {
    if (!handle) return E_POINTER;
    *handle = &Events;
    return S_OK;
}

HRESULT FilterGraph::GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG timeoutMs) {
    if (!code || !param1 || !param2) return E_POINTER;
    const auto limit = timeoutMs < 0 || static_cast<DWORD>(timeoutMs) == INFINITE
                           ? std::chrono::milliseconds(-1)
                           : std::chrono::milliseconds(timeoutMs);
    if (!Events.Pop(*code, *param1, *param2, limit)) {
        *code = 0;
        *param1 = *param2 = 0;
        return E_ABORT;
    }
    return S_OK;
}

// Our events carry plain numbers; nothing to free.
HRESULT FilterGraph::FreeEventParams(LONG, LONG_PTR, LONG_PTR) { return S_OK; }

HRESULT FilterGraph::SetNotifyFlags(LONG flags) {
    if (flags != 0 && flags != AM_MEDIAEVENT_NONOTIFY) return E_INVALIDARG;
    Events.SetNotify(flags == 0);
    return S_OK;
}

HRESULT FilterGraph::GetNotifyFlags(LONG* flags) {
    if (!flags) return E_POINTER;
    *flags = Events.Notify() ? 0 : AM_MEDIAEVENT_NONOTIFY;
    return S_OK;
}

// ---------------------------------------------------------------- bus thread

void FilterGraph::BusLoop() {
    while (!QuitBus.load(std::memory_order_acquire)) {
        MessagePtr message(gst_bus_timed_pop(Bus.get(), 250 * GST_MSECOND));
        if (!message) continue;
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_APPLICATION) {
            if (gst_message_has_name(message.get(), kQuitMessage)) break;
            if (gst_message_has_name(message.get(), kEpochMessage)) {
                guint epoch = 0;
                gst_structure_get_uint(gst_message_get_structure(message.get()), "epoch", &epoch);
                SeenEpoch = epoch;
            }
            continue;
        }
        OnBusMessage(message.get());
    }
}

void FilterGraph::OnBusMessage(GstMessage* message) {
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            // The pipeline posts one EOS once every sink has ended; one from
            // before the latest stop or seek ended a playback that is over.
            if (GST_MESSAGE_SRC(message) == GST_OBJECT(Pipeline.get()) &&
                SeenEpoch == Epoch.load(std::memory_order_acquire)) {
                Events.Push(EC_COMPLETE, S_OK, 0);
            }
            break;
        case GST_MESSAGE_ERROR: OnStreamError(message); break;
        case GST_MESSAGE_BUFFERING: OnBuffering(message); break;
        case GST_MESSAGE_CLOCK_LOST: {
            // The clock's provider went away: a pause and a run pick a new one.
            std::lock_guard data(DataLock);
            if (Target == State_Running && !Buffering) {
                gst_element_set_state(Pipeline.get(), GST_STATE_PAUSED);
                gst_element_set_state(Pipeline.get(), GST_STATE_PLAYING);
            }
            break;
        }
        default: break;
    }
}

void FilterGraph::OnBuffering(GstMessage* message) {
    gint percent = 100;
    gst_message_parse_buffering(message, &percent);
    std::lock_guard data(DataLock);
    BufferingLevels[GST_MESSAGE_SRC(message)] = percent;
    const bool anyLow =
        std::any_of(BufferingLevels.begin(), BufferingLevels.end(), [](auto& level) { return level.second < 100; });
    if (anyLow == Buffering) return;
    Buffering = anyLow;
    Events.Push(EC_BUFFERING_DATA, anyLow ? 1 : 0, 0);
    if (Target == State_Running) ApplyTargetLocked();
}

void FilterGraph::OnStreamError(GstMessage* message) {
    // A file that fails while it is being rendered is refused by RenderFile.
    // One that fails after that is told to the host (with GStreamer's reason)
    // once per playback; its renderers are ended, so that the group plays on
    // without it and still completes after the rest.
    FileChain* failed = nullptr;
    bool report = true;
    {
        std::lock_guard data(DataLock);
        for (auto& chain : Files) {
            if (ChainOwns(*chain, GST_MESSAGE_SRC(message))) {
                chain->Failed.store(true, std::memory_order_release);
                report = chain->Registered;
                failed = chain.get();
            }
        }
    }
    if (!report) return;
    if (failed) {
        const unsigned epoch = Epoch.load(std::memory_order_acquire);
        if (failed->ReportedEpoch == epoch) return;  // the rest of one failure's messages
        failed->ReportedEpoch = epoch;
        EndBranches(*failed);
    }
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    ErrorPtr ownedError(error);
    GCharPtr ownedDebug(debug);
    std::string reason = error && error->message ? error->message : "no reason given";
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
    ShowNotice((failed ? "The media stream " + LastPathPart(failed->Uri) : std::string("A media stream")) +
               " failed while playing: " + reason + ". The group plays on without it.");
    Events.Push(EC_ERRORABORT, E_FAIL, 0);
}

void FilterGraph::EndBranches(FileChain& chain) {
    // An end of stream waits in a paused sink until the group runs, so it
    // is sent from one of GStreamer's own threads, never from the bus thread;
    // one the failed source has sent already changes nothing.
    std::lock_guard guard(chain.Lock);
    for (auto& branch : chain.Branches) {
        if (GstElement* head = branch.Filter->Head()) {
            gst_element_call_async(
                head, [](GstElement* element, gpointer) { gst_element_send_event(element, gst_event_new_eos()); },
                nullptr, nullptr);
        }
    }
}

}  // namespace platform::media::detail
