#include "FilterGraph.h"

#include <gst/pbutils/pbutils.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/window/text.h"

namespace platform::media::detail {
namespace {

constexpr auto kDiscoveryLimit = std::chrono::seconds(15);
constexpr auto kSettleLimit = std::chrono::seconds(10);
constexpr auto kSettleSlice = std::chrono::milliseconds(20);
constexpr auto kSeekCueLimit = std::chrono::seconds(5);
constexpr const char* kQuitMessage = "platform-media-quit";

std::string LastPathPart(const std::string& uri) {
    const auto slash = uri.find_last_of('/');
    return slash == std::string::npos ? uri : uri.substr(slash + 1);
}

// The enumerator hands out a snapshot taken when it was made.
class FilterEnumerator final : public IEnumFilters {
public:
    explicit FilterEnumerator(std::vector<ComPtr<IBaseFilter>> filters) : Filters(std::move(filters)) {}

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumFilters) {
            *object = static_cast<IEnumFilters*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return Refs.Add(); }
    ULONG Release() override {
        const ULONG left = Refs.Drop();
        if (left == 0) delete this;
        return left;
    }

    HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) override {
        if (!filters || (!fetched && count > 1)) return E_POINTER;
        std::lock_guard guard(Lock);
        ULONG given = 0;
        while (given < count && Cursor < Filters.size()) {
            filters[given] = ComPtr<IBaseFilter>(Filters[Cursor]).Detach();
            ++given;
            ++Cursor;
        }
        if (fetched) *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        std::lock_guard guard(Lock);
        const std::size_t left = Filters.size() - Cursor;
        Cursor += std::min<std::size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        std::lock_guard guard(Lock);
        Cursor = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumFilters** copy) override {
        if (!copy) return E_POINTER;
        std::lock_guard guard(Lock);
        auto* clone = new (std::nothrow) FilterEnumerator(Filters);
        if (!clone) return E_OUTOFMEMORY;
        clone->Cursor = Cursor;
        *copy = clone;
        return S_OK;
    }

private:
    ~FilterEnumerator() = default;

    RefCount Refs;
    std::mutex Lock;
    std::vector<ComPtr<IBaseFilter>> Filters;
    std::size_t Cursor = 0;
};

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
    GError* error = nullptr;
    Discoverer.reset(gst_discoverer_new(
        static_cast<GstClockTime>(std::chrono::nanoseconds(kDiscoveryLimit).count()), &error));
    ErrorPtr ownedError(error);
    if (!Bus || !Discoverer) return false;
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
    try {
        std::lock_guard operation(OperationLock);
        return RenderUri(uri);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT FilterGraph::RenderUri(const std::string& uri) {
    GError* failure = nullptr;
    GObjectPtr<GstDiscovererInfo> info(gst_discoverer_discover_uri(Discoverer.get(), uri.c_str(), &failure));
    ErrorPtr ownedFailure(failure);
    if (!info) return VFW_E_CANNOT_RENDER;
    switch (gst_discoverer_info_get_result(info.get())) {
        case GST_DISCOVERER_OK:
            break;
        case GST_DISCOVERER_URI_INVALID:
            return VFW_E_NOT_FOUND;
        case GST_DISCOVERER_MISSING_PLUGINS:
            return VFW_E_UNSUPPORTED_STREAM;
        case GST_DISCOVERER_TIMEOUT:
            return VFW_E_TIMEOUT;
        default:
            return VFW_E_CANNOT_RENDER;
    }

    auto chain = std::make_unique<FileChain>();
    chain->Graph = this;
    chain->Uri = uri;
    if (HRESULT built = BuildChain(*chain, info.get()); FAILED(built)) return built;

    const bool hadFiles = HasFiles();
    {
        std::lock_guard data(DataLock);
        const GstClockTime duration = gst_discoverer_info_get_duration(info.get());
        if (GST_CLOCK_TIME_IS_VALID(duration)) {
            LongestDiscovered = std::max<REFERENCE_TIME>(LongestDiscovered, duration / 100);
        }
        Files.push_back(std::move(chain));
    }
    FileChain& added = *Files.back();  // only operations under OperationLock change Files

    // Sinks first, so the decoder never pushes into an element that is not running yet.
    {
        std::lock_guard data(DataLock);
        if (!Cued) {
            if (ApplyTargetLocked() != GST_STATE_CHANGE_FAILURE) Cued = true;
        } else {
            for (auto& branch : added.Branches) {
                for (auto it = branch.Filter->Chain().rbegin(); it != branch.Filter->Chain().rend(); ++it) {
                    gst_element_sync_state_with_parent(it->get());
                }
            }
            gst_element_sync_state_with_parent(added.Decoder.get());
        }
    }

    if (!SettleChain(added)) {
        RemoveElements(added);
        std::lock_guard data(DataLock);
        Files.erase(std::find_if(Files.begin(), Files.end(), [&](auto& c) { return c.get() == &added; }));
        return VFW_E_CANNOT_RENDER;
    }
    {
        std::lock_guard data(DataLock);
        Filters.push_back(ComPtr<IBaseFilter>::Share(added.Source.Get()));
        for (auto& branch : added.Branches) {
            Filters.push_back(ComPtr<IBaseFilter>::Share(branch.Filter.Get()));
        }
        added.Registered = true;
    }

    // A file joining a group that has moved starts at its own beginning; a
    // flushing seek to where the group is puts every stream back in step.
    if (hadFiles) {
        bool moved;
        {
            std::lock_guard data(DataLock);
            moved = Target == State_Running;
        }
        const REFERENCE_TIME position = CurrentPosition();
        if (moved || position != 0) SeekTo(position, true, 0, false);
    }
    return S_OK;
}

HRESULT FilterGraph::BuildChain(FileChain& chain, GstDiscovererInfo* info) {
    const unsigned number = NextChainNumber++;
    const std::string decoderName = "source" + std::to_string(number);
    GstElement* decoder = MakeElement("uridecodebin", decoderName.c_str());
    if (!decoder) return VFW_E_CANNOT_RENDER;
    chain.Decoder = Retain(decoder);
    g_object_set(decoder, "uri", chain.Uri.c_str(), nullptr);
    if (!gst_uri_has_protocol(chain.Uri.c_str(), "file")) {
        g_object_set(decoder, "use-buffering", TRUE, nullptr);
    }
    const std::u16string fileName = ToUtf16(LastPathPart(chain.Uri));
    chain.Source = ComPtr<SourceFilter>::Attach(new SourceFilter(u"Source " + fileName));

    GList* videos = gst_discoverer_info_get_video_streams(info);
    GList* audios = gst_discoverer_info_get_audio_streams(info);
    bool ok = true;
    for (GList* item = videos; item && ok; item = item->next) {
        auto* stream = static_cast<GstDiscovererVideoInfo*>(item->data);
        const char* id = gst_discoverer_stream_info_get_stream_id(GST_DISCOVERER_STREAM_INFO(stream));
        auto* renderer = VideoRenderer::Create(u"Video Renderer " + fileName,
                                               static_cast<LONG>(gst_discoverer_video_info_get_width(stream)),
                                               static_cast<LONG>(gst_discoverer_video_info_get_height(stream)));
        if (!renderer) {
            ok = false;
            break;
        }
        chain.Branches.push_back({Kind::Video, id ? id : "", ComPtr<Renderer>::Attach(renderer)});
    }
    const AudioOutput output = EffectiveAudioOutput();
    const std::string customSink = output == AudioOutput::Custom ? CustomAudioSink() : std::string();
    for (GList* item = audios; item && ok; item = item->next) {
        auto* stream = static_cast<GstDiscovererStreamInfo*>(item->data);
        const char* id = gst_discoverer_stream_info_get_stream_id(stream);
        auto* renderer =
            AudioRenderer::Create(u"Audio Renderer " + fileName, output, SystemAudioSinkFactory(), customSink);
        if (!renderer) {
            ok = false;
            break;
        }
        chain.Branches.push_back({Kind::Audio, id ? id : "", ComPtr<Renderer>::Attach(renderer)});
    }
    gst_discoverer_stream_info_list_free(videos);
    gst_discoverer_stream_info_list_free(audios);
    if (!ok) return VFW_E_CANNOT_RENDER;
    if (chain.Branches.empty()) return VFW_E_UNSUPPORTED_STREAM;

    GstBin* bin = GST_BIN(Pipeline.get());
    bool linked = true;
    for (auto& branch : chain.Branches) {
        for (auto& element : branch.Filter->Chain()) gst_bin_add(bin, element.get());
        linked = linked && branch.Filter->LinkChain();
    }
    gst_bin_add(bin, decoder);
    if (!linked) {
        RemoveElements(chain);
        return VFW_E_CANNOT_RENDER;
    }
    // The pad handlers run on streaming threads and take the chain's lock;
    // connecting under it hands them the chain as built.
    std::lock_guard publish(chain.Lock);
    chain.PadAddedId = g_signal_connect(decoder, "pad-added", G_CALLBACK(&FilterGraph::OnPadAdded), &chain);
    chain.NoMorePadsId =
        g_signal_connect(decoder, "no-more-pads", G_CALLBACK(&FilterGraph::OnNoMorePads), &chain);
    return S_OK;
}

void FilterGraph::OnPadAdded(GstElement* /*decoder*/, GstPad* pad, gpointer chain) {
    auto* file = static_cast<FileChain*>(chain);
    FilterGraph* graph;
    {
        std::lock_guard guard(file->Lock);
        graph = file->Graph;
    }
    graph->LinkPad(*file, pad);
}

void FilterGraph::OnNoMorePads(GstElement* /*decoder*/, gpointer chain) {
    auto* file = static_cast<FileChain*>(chain);
    std::lock_guard guard(file->Lock);
    file->NoMorePads = true;
}

void FilterGraph::LinkPad(FileChain& chain, GstPad* pad) {
    CapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    const char* media = caps && gst_caps_get_size(caps.get()) > 0
                            ? gst_structure_get_name(gst_caps_get_structure(caps.get(), 0))
                            : "";
    std::optional<Kind> kind;
    if (g_str_has_prefix(media, "video/")) kind = Kind::Video;
    if (g_str_has_prefix(media, "audio/")) kind = Kind::Audio;
    GCharPtr streamId(gst_pad_get_stream_id(pad));

    std::lock_guard guard(chain.Lock);
    Branch* target = nullptr;
    if (kind) {
        for (auto& branch : chain.Branches) {
            if (!branch.Linked && branch.MediaKind == *kind && streamId && branch.StreamId == streamId.get()) {
                target = &branch;
                break;
            }
        }
        for (auto& branch : chain.Branches) {
            if (target) break;
            if (!branch.Linked && branch.MediaKind == *kind) target = &branch;
        }
    }
    if (target) {
        GstPtr<GstPad> sinkPad(gst_element_get_static_pad(target->Filter->Head(), "sink"));
        if (sinkPad && gst_pad_link(pad, sinkPad.get()) == GST_PAD_LINK_OK) {
            target->Linked = true;
            return;
        }
    }
    // A stream discovery did not report (or that failed to link) still flows,
    // into a sink of its own, so that it neither stalls nor ends the file.
    GstElement* sink = MakeElement("fakesink");
    if (!sink) return;
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    GstPtr<GstElement> held = Retain(sink);
    gst_bin_add(GST_BIN(Pipeline.get()), sink);
    gst_element_sync_state_with_parent(sink);
    GstPtr<GstPad> sinkPad(gst_element_get_static_pad(sink, "sink"));
    gst_pad_link(pad, sinkPad.get());
    chain.ExtraSinks.push_back(std::move(held));
}

bool FilterGraph::SettleChain(FileChain& chain) {
    const auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
    // First the decoder's pads: a stream that never appears would keep the
    // pipeline from ever cueing, so its branch goes.
    for (;;) {
        if (chain.Failed.load(std::memory_order_acquire)) return false;
        bool done;
        {
            std::lock_guard guard(chain.Lock);
            done = chain.NoMorePads ||
                   std::all_of(chain.Branches.begin(), chain.Branches.end(), [](auto& b) { return b.Linked; });
        }
        if (done || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(kSettleSlice);
    }
    PruneUnlinked(chain);
    {
        std::lock_guard guard(chain.Lock);
        if (chain.Branches.empty()) return false;
    }
    for (;;) {
        if (chain.Failed.load(std::memory_order_acquire)) return false;
        const GstStateChangeReturn state = gst_element_get_state(
            Pipeline.get(), nullptr, nullptr,
            static_cast<GstClockTime>(std::chrono::nanoseconds(kSettleSlice).count()));
        if (state != GST_STATE_CHANGE_ASYNC) return !chain.Failed.load(std::memory_order_acquire);
        if (std::chrono::steady_clock::now() >= deadline) return true;  // still cueing; it goes on
    }
}

void FilterGraph::PruneUnlinked(FileChain& chain) {
    std::vector<ComPtr<Renderer>> dropped;
    {
        std::lock_guard guard(chain.Lock);
        if (!chain.NoMorePads) return;
        auto unlinked = std::stable_partition(chain.Branches.begin(), chain.Branches.end(),
                                              [](auto& b) { return b.Linked; });
        for (auto it = unlinked; it != chain.Branches.end(); ++it) dropped.push_back(std::move(it->Filter));
        chain.Branches.erase(unlinked, chain.Branches.end());
    }
    for (auto& renderer : dropped) {
        for (auto& element : renderer->Chain()) {
            gst_element_set_state(element.get(), GST_STATE_NULL);
            gst_bin_remove(GST_BIN(Pipeline.get()), element.get());
        }
    }
}

void FilterGraph::RemoveElements(FileChain& chain) {
    if (chain.PadAddedId) g_signal_handler_disconnect(chain.Decoder.get(), chain.PadAddedId);
    if (chain.NoMorePadsId) g_signal_handler_disconnect(chain.Decoder.get(), chain.NoMorePadsId);
    chain.PadAddedId = chain.NoMorePadsId = 0;
    GstBin* bin = GST_BIN(Pipeline.get());
    gst_element_set_state(chain.Decoder.get(), GST_STATE_NULL);
    gst_bin_remove(bin, chain.Decoder.get());
    std::lock_guard guard(chain.Lock);
    for (auto& branch : chain.Branches) {
        for (auto& element : branch.Filter->Chain()) {
            gst_element_set_state(element.get(), GST_STATE_NULL);
            gst_bin_remove(bin, element.get());
        }
    }
    for (auto& sink : chain.ExtraSinks) {
        gst_element_set_state(sink.get(), GST_STATE_NULL);
        gst_bin_remove(bin, sink.get());
    }
}

bool FilterGraph::ChainOwns(FileChain& chain, GstObject* object) {
    auto within = [object](GstElement* element) {
        return element && (object == GST_OBJECT(element) || gst_object_has_as_ancestor(object, GST_OBJECT(element)));
    };
    if (within(chain.Decoder.get())) return true;
    std::lock_guard guard(chain.Lock);
    for (auto& branch : chain.Branches) {
        for (auto& element : branch.Filter->Chain()) {
            if (within(element.get())) return true;
        }
    }
    for (auto& sink : chain.ExtraSinks) {
        if (within(sink.get())) return true;
    }
    return false;
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
    {
        std::lock_guard data(DataLock);
        Target = target;
        if (target == State_Running) SeekTarget.reset();
        result = ApplyTargetLocked();
        if (result != GST_STATE_CHANGE_FAILURE) Cued = true;
    }
    switch (result) {
        case GST_STATE_CHANGE_FAILURE:
            return E_FAIL;
        case GST_STATE_CHANGE_ASYNC:
            return S_FALSE;
        default:
            return S_OK;
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
    const GstClockTime limit = timeoutMs < 0 ? GST_CLOCK_TIME_NONE
                                             : static_cast<GstClockTime>(timeoutMs) * GST_MSECOND;
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
    return S_OK;
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
    return SeekTo(newCurrent, currentKind != AM_SEEKING_NoPositioning, newStop,
                  stopKind != AM_SEEKING_NoPositioning);
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
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_APPLICATION &&
            gst_message_has_name(message.get(), kQuitMessage)) {
            break;
        }
        OnBusMessage(message.get());
    }
}

void FilterGraph::OnBusMessage(GstMessage* message) {
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            // The pipeline posts one EOS once every sink has ended.
            if (GST_MESSAGE_SRC(message) == GST_OBJECT(Pipeline.get())) Events.Push(EC_COMPLETE, S_OK, 0);
            break;
        case GST_MESSAGE_ERROR: {
            // A file that fails while it is being rendered is refused by
            // RenderFile; later failures are the host's to hear about.
            bool report = true;
            {
                std::lock_guard data(DataLock);
                for (auto& chain : Files) {
                    if (ChainOwns(*chain, GST_MESSAGE_SRC(message))) {
                        chain->Failed.store(true, std::memory_order_release);
                        report = chain->Registered;
                    }
                }
            }
            if (report) Events.Push(EC_ERRORABORT, E_FAIL, 0);
            break;
        }
        case GST_MESSAGE_BUFFERING:
            OnBuffering(message);
            break;
        case GST_MESSAGE_CLOCK_LOST: {
            // The clock's provider went away: a pause and a run pick a new one.
            std::lock_guard data(DataLock);
            if (Target == State_Running && !Buffering) {
                gst_element_set_state(Pipeline.get(), GST_STATE_PAUSED);
                gst_element_set_state(Pipeline.get(), GST_STATE_PLAYING);
            }
            break;
        }
        default:
            break;
    }
}

void FilterGraph::OnBuffering(GstMessage* message) {
    gint percent = 100;
    gst_message_parse_buffering(message, &percent);
    std::lock_guard data(DataLock);
    BufferingLevels[GST_MESSAGE_SRC(message)] = percent;
    const bool anyLow = std::any_of(BufferingLevels.begin(), BufferingLevels.end(),
                                    [](auto& level) { return level.second < 100; });
    if (anyLow == Buffering) return;
    Buffering = anyLow;
    Events.Push(EC_BUFFERING_DATA, anyLow ? 1 : 0, 0);
    if (Target == State_Running) ApplyTargetLocked();
}

}  // namespace platform::media::detail
