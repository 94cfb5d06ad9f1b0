#pragma once

#include <gst/gst.h>

#include <memory>
#include <string>

#include "platform/com/com.h"

// Owning handles for the GStreamer and GLib objects the media layer keeps.
namespace platform::media::detail {

struct GstObjectUnref {
    void operator()(gpointer object) const noexcept {
        if (object) gst_object_unref(object);
    }
};
struct GObjectUnref {
    void operator()(gpointer object) const noexcept {
        if (object) g_object_unref(object);
    }
};
struct CapsUnref {
    void operator()(GstCaps* caps) const noexcept {
        if (caps) gst_caps_unref(caps);
    }
};
struct SampleUnref {
    void operator()(GstSample* sample) const noexcept {
        if (sample) gst_sample_unref(sample);
    }
};
struct MessageUnref {
    void operator()(GstMessage* message) const noexcept {
        if (message) gst_message_unref(message);
    }
};
struct ErrorFree {
    void operator()(GError* error) const noexcept {
        if (error) g_error_free(error);
    }
};
struct GFree {
    void operator()(gpointer memory) const noexcept { g_free(memory); }
};

template <class T>
using GstPtr = std::unique_ptr<T, GstObjectUnref>;
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using CapsPtr = std::unique_ptr<GstCaps, CapsUnref>;
using SamplePtr = std::unique_ptr<GstSample, SampleUnref>;
using MessagePtr = std::unique_ptr<GstMessage, MessageUnref>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using GCharPtr = std::unique_ptr<gchar, GFree>;

// Takes an extra reference (for floating elements: sinks the floating one).
template <class T>
GstPtr<T> Retain(T* object) {
    return GstPtr<T>(static_cast<T*>(gst_object_ref_sink(object)));
}

// Initialises GStreamer once per process. False when it cannot start.
bool EnsureGstreamer() noexcept;

// Makes an element, or null when its plugin is missing.
GstElement* MakeElement(const char* factory, const char* name = nullptr) noexcept;

// The system audio output's element factory, or null when none opens here.
const char* SystemAudioSinkFactory() noexcept;
// The host's own audio output description (AudioOutput::Custom).
std::string CustomAudioSink();

void CopyName(char16_t (&target)[128], std::u16string_view name) noexcept;

// The part of a URI after its last slash: how a file is named to people.
std::string LastPathPart(const std::string& uri);

}  // namespace platform::media::detail
