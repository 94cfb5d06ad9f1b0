#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

// Reading back the synthesizer's WAV files and the two measurements the
// sound tests make on them: where sound starts and which note it is.
namespace wavtest {

struct Wav {
    int Rate = 0;
    int Channels = 0;
    std::vector<std::int16_t> Left;  // the first channel
    std::vector<char> Bytes;         // the whole file
};

inline std::uint32_t Le32(const char* p) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(p[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(p[3])) << 24;
}

// An empty Wav (Rate 0) when the file is missing or not the 16-bit PCM
// layout the synthesizer writes.
inline Wav ReadWav(const std::string& path) {
    Wav wav;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return wav;
    }
    wav.Bytes.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(wav.Bytes.data(), static_cast<std::streamsize>(wav.Bytes.size()));
    const std::vector<char>& b = wav.Bytes;
    if (b.size() < 44 || std::string(b.data(), 4) != "RIFF" || std::string(b.data() + 8, 8) != "WAVEfmt " ||
        std::string(b.data() + 36, 4) != "data") {
        return wav;
    }
    std::uint32_t dataBytes = Le32(b.data() + 40);
    if (Le32(b.data() + 4) != 36 + dataBytes || b.size() != 44 + dataBytes) {
        return wav;
    }
    wav.Channels = static_cast<unsigned char>(b[22]);
    int frameBytes = 2 * wav.Channels;
    for (std::size_t at = 44; at + frameBytes <= b.size(); at += frameBytes) {
        wav.Left.push_back(
            static_cast<std::int16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8));
    }
    wav.Rate = static_cast<int>(Le32(b.data() + 24));
    return wav;
}

// Index of the first sample louder than threshold, or -1.
inline long FirstSound(const std::vector<std::int16_t>& samples, int threshold, std::size_t from = 0) {
    for (std::size_t i = from; i < samples.size(); ++i) {
        if (std::abs(samples[i]) > threshold) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Root mean square of [begin, end).
inline double Rms(const std::vector<std::int16_t>& s, std::size_t begin, std::size_t end) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = begin; i < end && i < s.size(); ++i, ++n) {
        sum += static_cast<double>(s[i]) * s[i];
    }
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

inline double NoteFrequency(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// Power of one frequency over [begin, end) (Goertzel).
inline double PowerAt(const std::vector<std::int16_t>& s, std::size_t begin, std::size_t end, double hz, int rate) {
    double k = 2.0 * std::cos(2.0 * std::numbers::pi * hz / rate);
    double s1 = 0, s2 = 0;
    for (std::size_t i = begin; i < end && i < s.size(); ++i) {
        double s0 = s[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// The note, within six semitones of around, whose fundamental is strongest in
// [begin, end). Harmonics lie an octave or more away and cannot win.
inline int StrongestNote(const std::vector<std::int16_t>& s, std::size_t begin, std::size_t end, int rate, int around) {
    int best = -1;
    double bestPower = -1;
    for (int note = around - 6; note <= around + 6; ++note) {
        double power = PowerAt(s, begin, end, NoteFrequency(note), rate);
        if (power > bestPower) {
            bestPower = power;
            best = note;
        }
    }
    return best;
}

}  // namespace wavtest
