#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Assembles Standard MIDI Files byte by byte, for tests, the example song and
// the benchmark inputs. Nothing is validated: a test that wants a broken file
// writes the broken bytes on purpose (Raw, a wrong announced track count, a
// declared chunk length of its own).
namespace smf {

using Bytes = std::vector<std::uint8_t>;

// The variable-length quantity of value, most significant group first.
inline void AppendVlq(Bytes& out, std::uint32_t value) {
    std::uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1) {
        out.push_back(static_cast<std::uint8_t>(groups[--count] | 0x80));
    }
    out.push_back(groups[0]);
}

inline Bytes Vlq(std::uint32_t value) {
    Bytes out;
    AppendVlq(out, value);
    return out;
}

// One track chunk's events. Every method takes the delta time in ticks first and
// writes a full status byte; Running() writes data bytes without one.
class TrackBuilder {
public:
    TrackBuilder& NoteOn(std::uint32_t delta, int channel, int key, int velocity) {
        return Channel(delta, 0x90, channel, {key, velocity});
    }
    TrackBuilder& NoteOff(std::uint32_t delta, int channel, int key, int velocity = 64) {
        return Channel(delta, 0x80, channel, {key, velocity});
    }
    TrackBuilder& KeyPressure(std::uint32_t delta, int channel, int key, int pressure) {
        return Channel(delta, 0xA0, channel, {key, pressure});
    }
    TrackBuilder& Control(std::uint32_t delta, int channel, int controller, int value) {
        return Channel(delta, 0xB0, channel, {controller, value});
    }
    TrackBuilder& Program(std::uint32_t delta, int channel, int program) {
        return Channel(delta, 0xC0, channel, {program});
    }
    TrackBuilder& ChannelPressure(std::uint32_t delta, int channel, int pressure) {
        return Channel(delta, 0xD0, channel, {pressure});
    }
    // value 0..16383, 8192 is the centre; written LSB first as in the file format.
    TrackBuilder& PitchBend(std::uint32_t delta, int channel, int value) {
        return Channel(delta, 0xE0, channel, {value & 0x7F, (value >> 7) & 0x7F});
    }
    // Data bytes under the running status, after a delta time.
    TrackBuilder& Running(std::uint32_t delta, std::initializer_list<int> data) {
        AppendVlq(Data, delta);
        for (int byte : data) {
            Data.push_back(static_cast<std::uint8_t>(byte));
        }
        return *this;
    }
    TrackBuilder& Channel(std::uint32_t delta, int kind, int channel, std::initializer_list<int> data) {
        AppendVlq(Data, delta);
        Data.push_back(static_cast<std::uint8_t>((kind & 0xF0) | (channel & 0x0F)));
        for (int byte : data) {
            Data.push_back(static_cast<std::uint8_t>(byte));
        }
        return *this;
    }

    TrackBuilder& Meta(std::uint32_t delta, int type, const Bytes& payload) {
        AppendVlq(Data, delta);
        Data.push_back(0xFF);
        Data.push_back(static_cast<std::uint8_t>(type));
        AppendVlq(Data, static_cast<std::uint32_t>(payload.size()));
        Data.insert(Data.end(), payload.begin(), payload.end());
        return *this;
    }
    TrackBuilder& MetaText(std::uint32_t delta, int type, std::string_view text) {
        return Meta(delta, type, Bytes(text.begin(), text.end()));
    }
    TrackBuilder& Name(std::uint32_t delta, std::string_view name) { return MetaText(delta, 0x03, name); }
    TrackBuilder& Tempo(std::uint32_t delta, std::uint32_t microsecondsPerQuarter) {
        return Meta(delta, 0x51,
                    {static_cast<std::uint8_t>(microsecondsPerQuarter >> 16),
                     static_cast<std::uint8_t>(microsecondsPerQuarter >> 8),
                     static_cast<std::uint8_t>(microsecondsPerQuarter)});
    }
    // denominatorPower: 2 for quarters, 3 for eighths.
    TrackBuilder& TimeSignature(std::uint32_t delta, int numerator, int denominatorPower) {
        return Meta(delta, 0x58,
                    {static_cast<std::uint8_t>(numerator), static_cast<std::uint8_t>(denominatorPower), 24, 8});
    }
    // Tablature definition: track, capo, then the open-string notes.
    TrackBuilder& TablatureDefinition(std::uint32_t delta, int track, int capo,
                                      std::initializer_list<int> openStrings) {
        Bytes payload{static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(capo)};
        for (int note : openStrings) {
            payload.push_back(static_cast<std::uint8_t>(note));
        }
        return Meta(delta, 0x10, payload);
    }
    TrackBuilder& TablatureNote(std::uint32_t delta, int string, std::optional<int> effect = std::nullopt) {
        Bytes payload{static_cast<std::uint8_t>(string)};
        if (effect) {
            payload.push_back(static_cast<std::uint8_t>(*effect));
        }
        return Meta(delta, 0x11, payload);
    }
    // F0, the length, then body (which should end with F7 for a complete message).
    TrackBuilder& SysEx(std::uint32_t delta, const Bytes& body) {
        AppendVlq(Data, delta);
        Data.push_back(0xF0);
        AppendVlq(Data, static_cast<std::uint32_t>(body.size()));
        Data.insert(Data.end(), body.begin(), body.end());
        return *this;
    }
    TrackBuilder& SysExEscape(std::uint32_t delta, const Bytes& body) {
        AppendVlq(Data, delta);
        Data.push_back(0xF7);
        AppendVlq(Data, static_cast<std::uint32_t>(body.size()));
        Data.insert(Data.end(), body.begin(), body.end());
        return *this;
    }
    TrackBuilder& EndOfTrack(std::uint32_t delta = 0) { return Meta(delta, 0x2F, {}); }
    TrackBuilder& Raw(const Bytes& bytes) {
        Data.insert(Data.end(), bytes.begin(), bytes.end());
        return *this;
    }

    const Bytes& Events() const { return Data; }
    std::size_t Size() const { return Data.size(); }

private:
    Bytes Data;
};

// A track written at absolute ticks: B.NoteOn(At(480), ...) puts the event at
// tick 480 (ticks must not go back).
struct TimedTrack {
    TrackBuilder B;
    std::uint32_t Now = 0;
    std::uint32_t At(std::uint32_t tick) {
        const std::uint32_t delta = tick - Now;
        Now = tick;
        return delta;
    }
};

// A whole file: the 14-byte header, then chunks in the order they are added.
// The announced track count is the number of AddTrack calls unless set.
class SmfBuilder {
public:
    explicit SmfBuilder(int format = 1, int division = 480) : Format(format), Division(division) {}

    SmfBuilder& AnnounceTracks(int count) {
        Announced = count;
        return *this;
    }
    SmfBuilder& AddTrack(const TrackBuilder& track) { return AddChunk("MTrk", track.Events()); }
    // declaredLength replaces the true length in the chunk header when given.
    SmfBuilder& AddChunk(std::string_view type, const Bytes& data,
                         std::optional<std::uint32_t> declaredLength = std::nullopt) {
        if (type.size() != 4) {
            throw std::invalid_argument("chunk type must have four characters");
        }
        Chunks.insert(Chunks.end(), type.begin(), type.end());
        AppendBigEndian(Chunks, declaredLength.value_or(static_cast<std::uint32_t>(data.size())), 4);
        Chunks.insert(Chunks.end(), data.begin(), data.end());
        ++ChunkCount;
        return *this;
    }
    SmfBuilder& AppendRaw(const Bytes& bytes) {
        Chunks.insert(Chunks.end(), bytes.begin(), bytes.end());
        return *this;
    }

    Bytes Build() const {
        Bytes out{'M', 'T', 'h', 'd', 0, 0, 0, 6};
        AppendBigEndian(out, static_cast<std::uint32_t>(Format), 2);
        AppendBigEndian(out, static_cast<std::uint32_t>(Announced.value_or(ChunkCount)), 2);
        AppendBigEndian(out, static_cast<std::uint32_t>(Division), 2);
        out.insert(out.end(), Chunks.begin(), Chunks.end());
        return out;
    }

    void WriteTo(const std::string& path) const { WriteFile(path, Build()); }

    static void WriteFile(const std::string& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
    }

private:
    static void AppendBigEndian(Bytes& out, std::uint32_t value, int width) {
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
            out.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }

    int Format;
    int Division;
    std::optional<int> Announced;
    int ChunkCount = 0;
    Bytes Chunks;
};

}  // namespace smf
