#pragma once

#include <filesystem>
#include <string>

// Media files made on the spot with GStreamer's test sources, for the tests
// and benchmarks of the media layer and the engine above it.
namespace platform::media::testkit {

enum class Content { Video, Audio, AudioVideo };

struct MediaSpec {
    Content Kind = Content::AudioVideo;
    double Seconds = 2.0;
    int Width = 320;  // video only
    int Height = 240;
    int FramesPerSecond = 30;
    // A videotestsrc pattern name; "smpte" gives seven known colour bars on top.
    std::string Pattern = "smpte";
    double Frequency = 440.0;  // audio: a sine at half of full scale
    // Audio samples per second. Audio comes in buffers of 960 samples, so
    // at rates other than 48000 a file's length need not be whole milliseconds.
    int SampleRate = 48000;
    // Video: the encoder's target bitrate in bits per second (0: its default).
    int Bitrate = 0;
};

// Makes the file described by media in folder (created if needed) and returns
// its path: VP8 in WebM for video, with Vorbis audio for AudioVideo; WAV for
// audio only. A file made earlier from the same description is reused, and
// concurrent callers never see a half-written file. Throws std::runtime_error
// with GStreamer's message when the file cannot be made.
std::filesystem::path MakeMedia(const std::filesystem::path& folder, const MediaSpec& media);

// The seven bars across the top two thirds of the "smpte" pattern, left to
// right, as 0xRRGGBB (white, yellow, cyan, green, magenta, red, blue at full
// intensity, as this GStreamer draws them).
inline constexpr unsigned kSmpteBars[7] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF};

// True when each of red, green and blue differs by at most tolerance.
bool ColourNear(unsigned actual, unsigned expected, int tolerance);

}  // namespace platform::media::testkit
