#include "Discovery.h"

#include <thread>

// Discovery runs asynchronously on a main context of the calling thread's
// own, which this thread iterates: unlike the blocking call, the wait can
// then end the moment the render is cut short.
namespace platform::media::detail {
namespace {

constexpr auto kWakeSlice = std::chrono::milliseconds(20);

struct Outcome {
    GObjectPtr<GstDiscovererInfo> Info;
    ErrorPtr Error;
    bool Finished = false;
};

void OnDiscovered(GstDiscoverer*, GstDiscovererInfo* info, GError* error, gpointer data) {
    auto* outcome = static_cast<Outcome*>(data);
    if (info) outcome->Info.reset(static_cast<GstDiscovererInfo*>(g_object_ref(info)));
    if (error) outcome->Error.reset(g_error_copy(error));
}

void OnFinished(GstDiscoverer*, gpointer data) { static_cast<Outcome*>(data)->Finished = true; }

struct ContextUnref {
    void operator()(GMainContext* context) const noexcept {
        if (context) g_main_context_unref(context);
    }
};

// The context is the calling thread's default while it lives, so that the
// discoverer attaches its work there.
class OwnContext {
public:
    OwnContext() : Context(g_main_context_new()) {
        if (Context) g_main_context_push_thread_default(Context.get());
    }
    ~OwnContext() {
        if (Context) g_main_context_pop_thread_default(Context.get());
    }
    OwnContext(const OwnContext&) = delete;
    OwnContext& operator=(const OwnContext&) = delete;
    GMainContext* Get() const noexcept { return Context.get(); }

private:
    std::unique_ptr<GMainContext, ContextUnref> Context;
};

}  // namespace

bool RenderCutoff::Aborted() const noexcept {
    return Generation && Generation->load(std::memory_order_acquire) != StartedAt;
}

HRESULT RenderCutoff::Status() const noexcept {
    if (Aborted()) return E_ABORT;
    if (std::chrono::steady_clock::now() >= Deadline) return VFW_E_TIMEOUT;
    return S_OK;
}

HRESULT Discover(const std::string& uri, const RenderCutoff& cutoff, GObjectPtr<GstDiscovererInfo>& info) {
    if (HRESULT status = cutoff.Status(); FAILED(status)) return status;
    OwnContext context;
    if (!context.Get()) return E_OUTOFMEMORY;
    const auto left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(cutoff.Deadline - std::chrono::steady_clock::now());
    GError* failure = nullptr;
    GObjectPtr<GstDiscoverer> discoverer(
        gst_discoverer_new(static_cast<GstClockTime>(std::max<std::int64_t>(left.count(), 1)), &failure));
    ErrorPtr ownedFailure(failure);
    if (!discoverer) return VFW_E_CANNOT_RENDER;

    Outcome outcome;
    const gulong discovered = g_signal_connect(discoverer.get(), "discovered", G_CALLBACK(&OnDiscovered), &outcome);
    const gulong finished = g_signal_connect(discoverer.get(), "finished", G_CALLBACK(&OnFinished), &outcome);
    // A tick of its own wakes the wait below to look at the cutoff.
    GSource* tick = g_timeout_source_new(static_cast<guint>(kWakeSlice.count()));
    g_source_set_callback(
        tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(tick, context.Get());

    gst_discoverer_start(discoverer.get());
    HRESULT status = S_OK;
    if (!gst_discoverer_discover_uri_async(discoverer.get(), uri.c_str())) {
        status = VFW_E_CANNOT_RENDER;
    }
    while (SUCCEEDED(status) && !outcome.Finished) {
        g_main_context_iteration(context.Get(), TRUE);
        status = cutoff.Status();
    }
    gst_discoverer_stop(discoverer.get());
    g_source_destroy(tick);
    g_source_unref(tick);
    // What stopping left queued for this context runs before it goes.
    while (g_main_context_iteration(context.Get(), FALSE)) {
    }
    g_signal_handler_disconnect(discoverer.get(), discovered);
    g_signal_handler_disconnect(discoverer.get(), finished);
    if (FAILED(status)) return status;
    if (!outcome.Info) return VFW_E_CANNOT_RENDER;
    switch (gst_discoverer_info_get_result(outcome.Info.get())) {
        case GST_DISCOVERER_OK: break;
        case GST_DISCOVERER_URI_INVALID: return VFW_E_NOT_FOUND;
        case GST_DISCOVERER_MISSING_PLUGINS: return VFW_E_UNSUPPORTED_STREAM;
        case GST_DISCOVERER_TIMEOUT: return VFW_E_TIMEOUT;
        default: return VFW_E_CANNOT_RENDER;
    }
    info = std::move(outcome.Info);
    return S_OK;
}

}  // namespace platform::media::detail
