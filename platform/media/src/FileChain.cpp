#include "FilterGraph.h"

#include <gst/pbutils/pbutils.h>

#include <algorithm>
#include <thread>

#include "platform/window/text.h"

// Building the chain one file renders into: discovery, the decoder and a
// renderer branch per stream, linking the decoder's pads as they appear, and
// waiting until the new chain has settled into the running pipeline.
namespace platform::media::detail {
namespace {

constexpr auto kSettleLimit = std::chrono::seconds(10);
constexpr auto kSettleSlice = std::chrono::milliseconds(20);

}  // namespace

HRESULT FilterGraph::RenderUri(const std::string& uri, const RenderCutoff& cutoff) {
    GObjectPtr<GstDiscovererInfo> info;
    if (const HRESULT found = Discover(uri, cutoff, info); FAILED(found)) return found;

    auto chain = std::make_unique<FileChain>();
    chain->Graph = this;
    chain->Uri = uri;
    if (HRESULT built = BuildChain(*chain, info.get()); FAILED(built)) return built;

    const bool hadFiles = HasFiles();
    {
        std::lock_guard data(DataLock);
        const GstClockTime duration = gst_discoverer_info_get_duration(info.get());
        if (GST_CLOCK_TIME_IS_VALID(duration)) {
            LongestDiscovered = std::max(LongestDiscovered, static_cast<REFERENCE_TIME>(duration / 100));
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

    if (const HRESULT settled = SettleChain(added, cutoff); FAILED(settled)) {
        RemoveElements(added);
        std::lock_guard data(DataLock);
        Files.erase(std::find_if(Files.begin(), Files.end(), [&](auto& c) { return c.get() == &added; }));
        return settled;
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
    chain.NoMorePadsId = g_signal_connect(decoder, "no-more-pads", G_CALLBACK(&FilterGraph::OnNoMorePads), &chain);
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
    const char* media =
        caps && gst_caps_get_size(caps.get()) > 0 ? gst_structure_get_name(gst_caps_get_structure(caps.get(), 0)) : "";
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

HRESULT FilterGraph::SettleChain(FileChain& chain, const RenderCutoff& cutoff) {
    const auto padsDeadline = std::min(std::chrono::steady_clock::now() + kSettleLimit, cutoff.Deadline);
    // First the decoder's pads: a stream that never appears would keep the
    // pipeline from ever cueing, so its branch goes.
    for (;;) {
        if (chain.Failed.load(std::memory_order_acquire)) return VFW_E_CANNOT_RENDER;
        if (cutoff.Aborted()) return E_ABORT;
        bool done;
        {
            std::lock_guard guard(chain.Lock);
            done = chain.NoMorePads ||
                   std::all_of(chain.Branches.begin(), chain.Branches.end(), [](auto& b) { return b.Linked; });
        }
        if (done || std::chrono::steady_clock::now() >= padsDeadline) break;
        std::this_thread::sleep_for(kSettleSlice);
    }
    PruneUnlinked(chain);
    {
        std::lock_guard guard(chain.Lock);
        if (chain.Branches.empty()) return VFW_E_CANNOT_RENDER;
    }
    for (;;) {
        if (chain.Failed.load(std::memory_order_acquire)) return VFW_E_CANNOT_RENDER;
        if (cutoff.Aborted()) return E_ABORT;
        const GstStateChangeReturn state =
            gst_element_get_state(Pipeline.get(), nullptr, nullptr,
                                  static_cast<GstClockTime>(std::chrono::nanoseconds(kSettleSlice).count()));
        if (state != GST_STATE_CHANGE_ASYNC) {
            return chain.Failed.load(std::memory_order_acquire) ? VFW_E_CANNOT_RENDER : S_OK;
        }
        if (std::chrono::steady_clock::now() >= cutoff.Deadline) return S_OK;  // still cueing; it goes on
    }
}

void FilterGraph::PruneUnlinked(FileChain& chain) {
    std::vector<ComPtr<Renderer>> dropped;
    {
        std::lock_guard guard(chain.Lock);
        if (!chain.NoMorePads) return;
        auto unlinked =
            std::stable_partition(chain.Branches.begin(), chain.Branches.end(), [](auto& b) { return b.Linked; });
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

}  // namespace platform::media::detail
