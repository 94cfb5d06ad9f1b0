#include "smf.h"

#include <algorithm>
#include <cstdint>

namespace platform::midi {
namespace {

constexpr std::uint16_t kDivision = 1000;
constexpr std::uint32_t kTempoUsPerQuarter = 500000;
constexpr std::int64_t kNsPerTick = static_cast<std::int64_t>(kTempoUsPerQuarter) * 1000 / kDivision;

void PutVarLen(std::string& out, std::uint64_t value) {
    // Values above 28 bits cannot be written; a delta that large (37 hours)
    // is split with empty escapes by the caller.
    std::uint8_t bytes[4];
    int n = 0;
    do {
        bytes[n++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value && n < 4);
    while (n > 1) {
        out += static_cast<char>(bytes[--n] | 0x80);
    }
    out += static_cast<char>(bytes[0]);
}

void PutBigEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

}  // namespace

std::string BuildCaptureMidiFile(const std::vector<CapturedMessage>& messages) {
    constexpr std::uint64_t kMaxDelta = 0x0FFFFFFF;
    std::string track;
    // Tempo, so that any reader agrees on the length of a tick.
    track += '\0';
    track += "\xFF\x51\x03";
    PutBigEndian(track, kTempoUsPerQuarter, 3);

    std::int64_t lastTick = 0;
    for (const auto& m : messages) {
        if (m.Bytes.empty()) {
            continue;
        }
        std::int64_t tick = (m.TimeNs + kNsPerTick / 2) / kNsPerTick;
        auto delta = static_cast<std::uint64_t>(tick > lastTick ? tick - lastTick : 0);
        while (delta > kMaxDelta) {
            PutVarLen(track, kMaxDelta);
            track += "\xF7";
            track += '\0';
            delta -= kMaxDelta;
        }
        lastTick = std::max(lastTick, tick);
        PutVarLen(track, delta);
        std::uint8_t status = m.Bytes[0];
        if (!m.Long && status < 0xF0) {
            track.append(reinterpret_cast<const char*>(m.Bytes.data()), m.Bytes.size());
        } else if (m.Long && status == 0xF0) {
            track += '\xF0';
            PutVarLen(track, m.Bytes.size() - 1);
            track.append(reinterpret_cast<const char*>(m.Bytes.data()) + 1, m.Bytes.size() - 1);
        } else {
            track += '\xF7';
            PutVarLen(track, m.Bytes.size());
            track.append(reinterpret_cast<const char*>(m.Bytes.data()), m.Bytes.size());
        }
    }
    track += '\0';
    track += "\xFF\x2F";
    track += '\0';

    std::string file = "MThd";
    PutBigEndian(file, 6, 4);
    PutBigEndian(file, 0, 2);
    PutBigEndian(file, 1, 2);
    PutBigEndian(file, kDivision, 2);
    file += "MTrk";
    PutBigEndian(file, static_cast<std::uint32_t>(track.size()), 4);
    file += track;
    return file;
}

}  // namespace platform::midi
