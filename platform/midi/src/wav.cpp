#include "wav.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

namespace platform::midi {
namespace {

constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;
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

void FillHeader(unsigned char* h, int sampleRate, std::uint32_t dataBytes) {
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, kHeaderBytes - 8 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);  // PCM
    Put16(h + 22, kChannels);
    Put32(h + 24, static_cast<std::uint32_t>(sampleRate));
    Put32(h + 28, static_cast<std::uint32_t>(sampleRate * kChannels * kBytesPerSample));
    Put16(h + 32, kChannels * kBytesPerSample);
    Put16(h + 34, 8 * kBytesPerSample);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, dataBytes);
}

}  // namespace

WavWriter::~WavWriter() {
    if (File) {
        std::fclose(File);
    }
}

bool WavWriter::Open(const std::string& path, int sampleRate, std::string& error) {
    Path = path;
    File = std::fopen(path.c_str(), "wb");
    if (!File) {
        error = "Cannot create the WAV file " + path + ": " + std::strerror(errno);
        return false;
    }
    unsigned char header[kHeaderBytes];
    FillHeader(header, sampleRate, 0);
    if (std::fwrite(header, 1, sizeof header, File) != sizeof header) {
        WriteErrno = errno ? errno : EIO;
    }
    // The rate is written again on close together with the sizes.
    FramesWritten = 0;
    Rate = sampleRate;
    return true;
}

bool WavWriter::Append(const std::int16_t* frames, std::size_t frameCount) {
    if (!File || WriteErrno) {
        return false;
    }
    // Samples are stored little-endian, as is this machine's memory.
    static_assert(std::endian::native == std::endian::little);
    if (std::fwrite(frames, kChannels * kBytesPerSample, frameCount, File) != frameCount) {
        WriteErrno = errno ? errno : EIO;
        return false;
    }
    FramesWritten += frameCount;
    return true;
}

bool WavWriter::Close(std::string& error) {
    if (!File) {
        return true;
    }
    std::uint64_t dataBytes = FramesWritten * kChannels * kBytesPerSample;
    if (dataBytes > std::numeric_limits<std::uint32_t>::max() - kHeaderBytes) {
        if (!WriteErrno) {
            WriteErrno = EFBIG;
        }
    } else {
        unsigned char header[kHeaderBytes];
        FillHeader(header, Rate, static_cast<std::uint32_t>(dataBytes));
        if (std::fseek(File, 0, SEEK_SET) != 0 || std::fwrite(header, 1, sizeof header, File) != sizeof header) {
            if (!WriteErrno) {
                WriteErrno = errno ? errno : EIO;
            }
        }
    }
    if (std::fclose(File) != 0 && !WriteErrno) {
        WriteErrno = errno ? errno : EIO;
    }
    File = nullptr;
    if (WriteErrno) {
        error = "Cannot write the WAV file " + Path + ": " + std::strerror(WriteErrno);
        return false;
    }
    return true;
}

}  // namespace platform::midi
