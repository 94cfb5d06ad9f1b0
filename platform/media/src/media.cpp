#include <algorithm>
#include <atomic>
#include <mutex>

#include "FilterGraph.h"
#include "GstUtil.h"
#include "platform/media/media.h"

namespace platform::media {
namespace {
std::mutex OutputLock;  // callers on any thread
AudioOutput RequestedOutput = AudioOutput::Automatic;
std::string CustomSink;
}  // namespace

bool SetAudioOutput(AudioOutput output, const std::string& customSink) noexcept {
    try {
        if (output == AudioOutput::Custom) {
            if (!detail::EnsureGstreamer()) return false;
            GError* error = nullptr;
            GstElement* trial = gst_parse_bin_from_description(customSink.c_str(), TRUE, &error);
            detail::ErrorPtr ownedError(error);
            if (!trial) return false;
            gst_object_unref(gst_object_ref_sink(trial));
            if (error) return false;
        }
        std::lock_guard guard(OutputLock);
        RequestedOutput = output;
        CustomSink = output == AudioOutput::Custom ? customSink : std::string();
        return true;
    } catch (...) {
        return false;
    }
}

AudioOutput EffectiveAudioOutput() noexcept {
    {
        std::lock_guard guard(OutputLock);
        if (RequestedOutput != AudioOutput::Automatic) return RequestedOutput;
    }
    return detail::SystemAudioSinkFactory() ? AudioOutput::Automatic : AudioOutput::Null;
}

namespace {
// Written by any thread that sets it, read by each RenderFile as it starts.
std::atomic<std::int64_t> RenderTimeoutMs{kDefaultRenderFileTimeout.count()};
}  // namespace

void SetRenderFileTimeout(std::chrono::milliseconds limit) noexcept {
    RenderTimeoutMs.store(std::max<std::int64_t>(limit.count(), 0), std::memory_order_relaxed);
}

std::chrono::milliseconds GetRenderFileTimeout() noexcept {
    return std::chrono::milliseconds(RenderTimeoutMs.load(std::memory_order_relaxed));
}

namespace detail {
std::string CustomAudioSink() {
    std::lock_guard guard(OutputLock);
    return CustomSink;
}
}  // namespace detail

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_FilterGraph || !(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    if (outer) return CLASS_E_NOAGGREGATION;
    detail::FilterGraph* graph = nullptr;
    if (HRESULT created = detail::FilterGraph::Create(&graph); FAILED(created)) return created;
    const HRESULT result = graph->QueryInterface(iid, object);
    graph->Release();
    return result;
}

}  // namespace platform::media

namespace platform::media::detail {

// Probed once per process: the first output that opens wins. Opening is what
// fails on a machine without a sound server or card, so a sink that merely
// exists does not count.
const char* SystemAudioSinkFactory() noexcept {
    static std::once_flag once;
    static const char* chosen = nullptr;
    std::call_once(once, [] {
        if (!EnsureGstreamer()) return;
        for (const char* factory : {"pulsesink", "alsasink", "osssink"}) {
            GstElement* sink = MakeElement(factory);
            if (!sink) continue;
            GstPtr<GstElement> held = Retain(sink);
            const bool opens = gst_element_set_state(sink, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS;
            gst_element_set_state(sink, GST_STATE_NULL);
            if (opens) {
                chosen = factory;
                return;
            }
        }
    });
    return chosen;
}

}  // namespace platform::media::detail
