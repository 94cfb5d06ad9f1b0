#include "platform/media/testkit/TestMedia.h"

#include <gst/gst.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace platform::media::testkit {
namespace {

std::string Describe(const MediaSpec& media) {
    std::ostringstream name;
    switch (media.Kind) {
        case Content::Video: name << "video"; break;
        case Content::Audio: name << "audio"; break;
        case Content::AudioVideo: name << "av"; break;
    }
    name << '-' << static_cast<long>(std::lround(media.Seconds * 1000)) << "ms";
    if (media.Kind != Content::Audio) {
        name << '-' << media.Width << 'x' << media.Height << '-' << media.FramesPerSecond << "fps-" << media.Pattern;
        if (media.Bitrate) name << '-' << media.Bitrate << "bps";
    }
    if (media.Kind != Content::Video) {
        name << '-' << static_cast<long>(std::lround(media.Frequency)) << "hz";
        if (media.SampleRate != 48000) name << '-' << media.SampleRate << "sps";
    }
    name << (media.Kind == Content::Audio ? ".wav" : ".webm");
    return name.str();
}

std::string VideoBranch(const MediaSpec& media) {
    const long frames = std::lround(media.Seconds * media.FramesPerSecond);
    std::ostringstream text;
    text << "videotestsrc num-buffers=" << frames << " pattern=" << media.Pattern
         << " ! video/x-raw,format=I420,width=" << media.Width << ",height=" << media.Height
         << ",framerate=" << media.FramesPerSecond
         << "/1 ! vp8enc deadline=1 keyframe-max-dist=" << media.FramesPerSecond;
    if (media.Bitrate) text << " target-bitrate=" << media.Bitrate;
    return text.str();
}

std::string AudioSource(const MediaSpec& media) {
    // 960 samples per buffer: 50 buffers a second at 48 kHz.
    const long buffers = std::lround(media.Seconds * media.SampleRate / 960.0);
    std::ostringstream text;
    text << "audiotestsrc num-buffers=" << buffers
         << " samplesperbuffer=960 wave=sine volume=0.5 freq=" << media.Frequency
         << " ! audio/x-raw,format=S16LE,rate=" << media.SampleRate << ",channels=2";
    return text.str();
}

std::string Pipeline(const MediaSpec& media, const std::string& target) {
    const std::string sink = "filesink location=\"" + target + "\"";
    switch (media.Kind) {
        case Content::Video: return VideoBranch(media) + " ! webmmux ! " + sink;
        case Content::Audio: return AudioSource(media) + " ! wavenc ! " + sink;
        case Content::AudioVideo:
            return "webmmux name=mux ! " + sink + " " + VideoBranch(media) + " ! mux. " + AudioSource(media) +
                   " ! audioconvert ! vorbisenc ! mux.";
    }
    return {};
}

struct Unref {
    void operator()(GstElement* element) const { gst_object_unref(element); }
};

void Run(const std::string& description) {
    GError* error = nullptr;
    std::unique_ptr<GstElement, Unref> pipeline(gst_parse_launch(description.c_str(), &error));
    if (error) {
        std::string text = error->message;
        g_error_free(error);
        throw std::runtime_error("cannot build the media pipeline: " + text);
    }
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        throw std::runtime_error("the media pipeline does not start: " + description);
    }
    GstBus* bus = gst_element_get_bus(pipeline.get());
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND,
                                                     static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    std::string failure;
    if (!message) {
        failure = "the media pipeline did not finish in 60 s";
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* reason = nullptr;
        gst_message_parse_error(message, &reason, nullptr);
        failure = std::string("the media pipeline failed: ") + (reason ? reason->message : "?");
        if (reason) g_error_free(reason);
    }
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    if (!failure.empty()) throw std::runtime_error(failure);
}

}  // namespace

std::filesystem::path MakeMedia(const std::filesystem::path& folder, const MediaSpec& media) {
    if (!gst_init_check(nullptr, nullptr, nullptr)) throw std::runtime_error("GStreamer does not start");
    std::filesystem::create_directories(folder);
    auto target = folder / Describe(media);
    std::error_code error;
    if (std::filesystem::is_regular_file(target, error) && std::filesystem::file_size(target, error) > 0) {
        return target;
    }
    // Written under a name of this process's own, then renamed into place in
    // one step, so a concurrent test process never reads a partial file.
    auto partial = target;
    partial += ".part" + std::to_string(getpid());
    try {
        Run(Pipeline(media, partial.string()));
    } catch (...) {
        std::filesystem::remove(partial, error);
        throw;
    }
    std::filesystem::rename(partial, target);
    return target;
}

bool ColourNear(unsigned actual, unsigned expected, int tolerance) {
    for (int shift : {16, 8, 0}) {
        const int a = static_cast<int>((actual >> shift) & 0xFF);
        const int e = static_cast<int>((expected >> shift) & 0xFF);
        if (std::abs(a - e) > tolerance) return false;
    }
    return true;
}

}  // namespace platform::media::testkit
