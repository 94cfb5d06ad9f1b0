#include <atomic>
#include <mutex>

#include "FilterGraph.h"
#include "GstUtil.h"
#include "platform/media/media.h"

namespace platform::media {
namespace {
std::atomic<AudioOutput> RequestedOutput{AudioOutput::Automatic};  // any thread
}

void SetAudioOutput(AudioOutput output) noexcept { RequestedOutput.store(output, std::memory_order_relaxed); }

AudioOutput EffectiveAudioOutput() noexcept {
    if (RequestedOutput.load(std::memory_order_relaxed) == AudioOutput::Null) return AudioOutput::Null;
    return detail::SystemAudioSinkFactory() ? AudioOutput::Automatic : AudioOutput::Null;
}

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
