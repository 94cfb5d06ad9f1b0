#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform::midi {

// A 16-bit stereo PCM WAV file written front to back; the sizes in the
// header are filled in on Close.
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // False, with error set, when the file cannot be created.
    bool Open(const std::string& path, int sampleRate, std::string& error);
    // frames interleaved left/right. False once a write has failed.
    bool Append(const std::int16_t* frames, std::size_t frameCount);
    // Completes the header. False, with error set, if anything failed.
    bool Close(std::string& error);

    std::uint64_t Frames() const noexcept { return FramesWritten; }

private:
    std::FILE* File = nullptr;
    std::string Path;
    std::uint64_t FramesWritten = 0;
    int WriteErrno = 0;
    int Rate = 0;
};

}  // namespace platform::midi
