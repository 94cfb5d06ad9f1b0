#include "wav.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

namespace platform::midi {
namespace {

constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;
constexpr int kFrameBytes = kChannels * kBytesPerSample;
constexpr std::uint32_t kHeaderBytes = 44;

void Put32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void Put16(unsigned char* at, std::uint16_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

// A four-character chunk tag; tags carry no terminator.
void PutTag(unsigned char* at, const char (&tag)[5]) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(tag[i]);
    }
}

void FillHeader(unsigned char* h, int sampleRate, std::uint32_t dataBytes) {
    PutTag(h, "RIFF");
    Put32(h + 4, kHeaderBytes - 8 + dataBytes);
    PutTag(h + 8, "WAVE");
    PutTag(h + 12, "fmt ");
    Put32(h + 16, 16);
    Put16(h + 20, 1);  // PCM
    Put16(h + 22, kChannels);
    Put32(h + 24, static_cast<std::uint32_t>(sampleRate));
    Put32(h + 28, static_cast<std::uint32_t>(sampleRate * kChannels * kBytesPerSample));
    Put16(h + 32, kFrameBytes);
    Put16(h + 34, 8 * kBytesPerSample);
    PutTag(h + 36, "data");
    Put32(h + 40, dataBytes);
}

}  // namespace

bool WavWriter::Open(const std::string& path, int sampleRate, std::string& error) {
    Path = path;
    FramesWritten = 0;
    Rate = sampleRate;
    std::string why;
    if (!File.Open(path, &why)) {
        error = "Cannot create the WAV file: " + why;
        return false;
    }
    // The sizes are written again on close, once they are known.
    unsigned char header[kHeaderBytes];
    FillHeader(header, sampleRate, 0);
    File.Write(header, sizeof header);
    return true;
}

bool WavWriter::Append(const std::int16_t* frames, std::size_t frameCount) {
    // Samples are stored little-endian, as is this machine's memory.
    static_assert(std::endian::native == std::endian::little);
    if (!File.Write(frames, frameCount * kFrameBytes)) return false;
    FramesWritten += frameCount;
    return true;
}

bool WavWriter::Close(std::string& error) {
    if (!File.IsOpen()) return true;
    const std::uint64_t dataBytes = FramesWritten * kChannels * kBytesPerSample;
    if (dataBytes > std::numeric_limits<std::uint32_t>::max() - kHeaderBytes) {
        File.Discard();
        error = "Cannot write the WAV file " + Path + ": " + std::strerror(EFBIG);
        return false;
    }
    unsigned char header[kHeaderBytes];
    FillHeader(header, Rate, static_cast<std::uint32_t>(dataBytes));
    File.WriteAt(0, header, sizeof header);
    std::string why;
    if (!File.Commit(&why)) {
        error = "Cannot write the WAV file: " + why;
        return false;
    }
    return true;
}

}  // namespace platform::midi
