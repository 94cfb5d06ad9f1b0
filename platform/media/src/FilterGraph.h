#pragma once

#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Discovery.h"
#include "EventQueue.h"
#include "Filters.h"
#include "GstUtil.h"
#include "platform/media/media.h"
#include "platform/thread/thread.h"

namespace platform::media::detail {

// One graph: one pipeline, one clock, one bus thread that turns the pipeline's
// messages into graph events, and the files rendered into it.
class FilterGraph final : public IGraphBuilder, public IMediaControl, public IMediaSeeking, public IMediaEventEx {
public:
    // S_OK with one reference for the caller, or a failure code.
    static HRESULT Create(FilterGraph** graph) noexcept;

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override { return Refs.Add(); }
    ULONG Release() override;

    // IGraphBuilder
    HRESULT RenderFile(const char16_t* file, const char16_t* playList) override;
    HRESULT EnumFilters(IEnumFilters** enumerator) override;
    HRESULT Abort() override;

    // IMediaControl
    HRESULT Run() override;
    HRESULT Pause() override;
    HRESULT Stop() override;
    HRESULT GetState(LONG timeoutMs, OAFilterState* state) override;

    // IMediaSeeking
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    HRESULT GetDuration(LONGLONG* duration) override;

    // IMediaEventEx
    HRESULT GetEventHandle(OAEVENT* handle) override;
    HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG timeoutMs) override;
    HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) override;
    HRESULT SetNotifyFlags(LONG flags) override;
    HRESULT GetNotifyFlags(LONG* flags) override;

private:
    enum class Kind { Video, Audio };
    struct Branch {
        Kind MediaKind;
        std::string StreamId;
        ComPtr<Renderer> Filter;
        bool Linked = false;
    };
    // Everything one RenderFile added. Its lock guards the branches' link
    // state and the extra sinks, which the decoder's pad-added handler touches
    // on a streaming thread.
    struct FileChain {
        FilterGraph* Graph = nullptr;
        std::string Uri;
        GstPtr<GstElement> Decoder;
        ComPtr<SourceFilter> Source;
        std::mutex Lock;
        std::vector<Branch> Branches;
        std::vector<GstPtr<GstElement>> ExtraSinks;  // for streams nobody renders
        bool NoMorePads = false;
        std::atomic<bool> Failed{false};  // written by the bus thread
        unsigned ReportedEpoch = ~0u;     // the epoch its failure was told in; the bus thread's own
        bool Registered = false;          // its filters are listed; guarded by DataLock
        gulong PadAddedId = 0;
        gulong NoMorePadsId = 0;
    };

    FilterGraph() = default;
    ~FilterGraph() override;
    bool Start() noexcept;
    // Ends the bus thread; false when it did not end in time.
    bool StopBusThread() noexcept;

    HRESULT RenderUri(const std::string& uri, const RenderCutoff& cutoff);
    HRESULT BuildChain(FileChain& chain, GstDiscovererInfo* info);
    static void OnPadAdded(GstElement* decoder, GstPad* pad, gpointer chain);
    static void OnNoMorePads(GstElement* decoder, gpointer chain);
    void LinkPad(FileChain& chain, GstPad* pad);
    // Waits for the chain's pads and the pipeline's cueing: S_OK (also when
    // the cutoff's deadline comes while it still cues), VFW_E_CANNOT_RENDER
    // for a failed chain, the cutoff's failure when it came first.
    HRESULT SettleChain(FileChain& chain, const RenderCutoff& cutoff);
    void PruneUnlinked(FileChain& chain);
    void RemoveElements(FileChain& chain);
    static bool ChainOwns(FileChain& chain, GstObject* object);

    // Puts the pipeline in the state Target asks for, with DataLock held.
    GstStateChangeReturn ApplyTargetLocked();
    HRESULT ChangeTarget(OAFilterState target);
    bool HasFiles();
    REFERENCE_TIME CurrentPosition();
    HRESULT SeekTo(REFERENCE_TIME current, bool setCurrent, REFERENCE_TIME stop, bool setStop);
    void WaitForCueing(std::chrono::milliseconds limit);

    // Starts a new playback epoch (a stop or a flushing seek), with DataLock
    // held: an end the group reached before it no longer counts.
    void NewEpochLocked();

    void BusLoop();
    void OnBusMessage(GstMessage* message);
    void OnBuffering(GstMessage* message);
    void OnStreamError(GstMessage* message);
    // Sends an end of stream into each of the chain's renderers.
    void EndBranches(FileChain& chain);

    RefCount Refs;
    GstPtr<GstElement> Pipeline;
    GstPtr<GstBus> Bus;
    EventQueue Events;
    WorkerThread BusThread;
    std::atomic<bool> QuitBus{false};  // written by the destructor, read by the bus thread

    // Moved on by Abort (any thread); a render gives up once it differs from
    // the value it started with.
    std::atomic<unsigned> AbortGeneration{0};
    // RenderFile calls in progress, each holding a reference of its own:
    // written by them, read by Release to tell when nobody else holds the graph.
    std::atomic<ULONG> Rendering{0};
    // The playback epoch: written by callers under DataLock, read by the bus
    // thread, which takes an end-of-stream only once it has seen the marker
    // of the current epoch (SeenEpoch, the bus thread's own).
    std::atomic<unsigned> Epoch{0};
    unsigned SeenEpoch = 0;

    // Serialises the operations that change the pipeline (render, state, seek).
    // Timed, so that a render waiting for another one can still give up.
    std::timed_mutex OperationLock;

    // Guards what the callers and the bus thread share.
    std::mutex DataLock;
    std::vector<std::unique_ptr<FileChain>> Files;
    std::vector<ComPtr<IBaseFilter>> Filters;  // in the order they were added
    OAFilterState Target = State_Stopped;
    bool Cued = false;                         // the pipeline has been brought up to PAUSED at least once
    std::optional<REFERENCE_TIME> SeekTarget;  // where a seek put the graph, until it runs
    std::optional<REFERENCE_TIME> ExplicitStop;
    REFERENCE_TIME LongestDiscovered = 0;
    std::map<const GstObject*, int> BufferingLevels;
    bool Buffering = false;
    unsigned NextChainNumber = 0;
};

}  // namespace platform::media::detail
