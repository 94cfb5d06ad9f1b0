#pragma once

#include <cstdint>
#include <string>

#include "platform/file/file.h"

namespace platform::midi {

// A 16-bit stereo PCM WAV file written front to back; the sizes in the
// header are filled in on Close, which is when the file takes the place of
// whatever the path named (see platform::AtomicFile). A writer destroyed
// without Close leaves that earlier file as it was.
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter() = default;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // False, with error set, when the file cannot be created (or what the
    // path names must not be replaced).
    bool Open(const std::string& path, int sampleRate, std::string& error);
    // frames interleaved left/right. False once a write has failed.
    bool Append(const std::int16_t* frames, std::size_t frameCount);
    // Completes the header and puts the file in place. False, with error
    // set, if anything failed; the earlier file is then left as it was.
    bool Close(std::string& error);

    std::uint64_t Frames() const noexcept { return FramesWritten; }

private:
    AtomicFile File;
    std::string Path;
    std::uint64_t FramesWritten = 0;
    int Rate = 0;
};

}  // namespace platform::midi
