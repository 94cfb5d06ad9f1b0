#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <type_traits>

// The song model: one flat array of small event records per track. The reader
// (MIDI::File) is the only writer; the timeline, the sequencer and the dump only
// read, so after loading a track may be read from several threads without locks.
namespace MIDI {

// Message kinds as stored in Event::kind: the high nibble of a channel status,
// or the whole status byte of a system message.
inline constexpr std::uint8_t kNoteOff = 0x80;
inline constexpr std::uint8_t kNoteOn = 0x90;
inline constexpr std::uint8_t kKeyPressure = 0xA0;
inline constexpr std::uint8_t kControlChange = 0xB0;
inline constexpr std::uint8_t kProgramChange = 0xC0;
inline constexpr std::uint8_t kChannelPressure = 0xD0;
inline constexpr std::uint8_t kPitchBend = 0xE0;
inline constexpr std::uint8_t kSysEx = 0xF0;
inline constexpr std::uint8_t kSysExEscape = 0xF7;
inline constexpr std::uint8_t kMeta = 0xFF;

// Meta types the model, the timeline and the dump give a meaning to.
inline constexpr std::uint32_t kMetaCopyright = 0x02;
inline constexpr std::uint32_t kMetaTrackName = 0x03;
inline constexpr std::uint32_t kMetaMarker = 0x06;
inline constexpr std::uint32_t kMetaCuePoint = 0x07;
inline constexpr std::uint32_t kMetaTablatureDefinition = 0x10;
inline constexpr std::uint32_t kMetaTablatureNote = 0x11;
inline constexpr std::uint32_t kMetaTablatureReserved = 0x12;
inline constexpr std::uint32_t kMetaEndOfTrack = 0x2F;
inline constexpr std::uint32_t kMetaSetTempo = 0x51;
inline constexpr std::uint32_t kMetaTimeSignature = 0x58;
inline constexpr std::uint32_t kMetaSequencerSpecific = 0x7F;

// The data block of a meta or system-exclusive event. A system-exclusive block
// starts with the F0 byte itself, so it can be sent as it stands.
struct EventData {
    std::uint32_t type;    // meta type 0..255, or 0xF0 for system exclusive
    std::uint32_t length;  // number of bytes in `bytes` (may be 0)
    std::uint8_t* bytes;   // exactly `length` bytes, not terminated
};

// Note-ons keep their duration here, meta and system-exclusive events their
// data block; for every other kind the field means nothing.
union EventAux {
    std::uint32_t duration;  // kind 90: ticks to the matching note-off, 0 when none
    EventData* data;         // kinds FF and F0: owned by the event that holds it
};

struct Event {
    std::uint32_t tick;    // absolute ticks from the start of the track
    std::uint8_t kind;     // 80..E0 for channel messages, the status byte for Fx
    std::uint8_t channel;  // low nibble of the status byte
    std::uint8_t data1;    // key, controller, program, pressure, pitch-bend MSB
    std::uint8_t data2;    // velocity, value, pitch-bend LSB
    EventAux aux;
};

// The array is zero-filled and grown with memcpy, so the record must stay plain.
static_assert(std::is_trivially_copyable_v<Event>);
static_assert(std::is_standard_layout_v<Event>);

// Microseconds per quarter note of a Set Tempo payload (three bytes, most
// significant first). False when the payload is shorter than three bytes.
inline bool ReadTempo(const EventData& data, std::uint32_t& microsecondsPerQuarter) {
    if (data.length < 3 || data.bytes == nullptr) {
        return false;
    }
    microsecondsPerQuarter = (std::uint32_t{data.bytes[0]} << 16) | (std::uint32_t{data.bytes[1]} << 8) | data.bytes[2];
    return true;
}

// The whole-microsecond quotient that every tempo in beats per minute derives
// from: 6e12 / t, so that 500000 gives 12000000 (120.00000 once scaled by 1e-5).
// t must not be 0.
inline std::uint64_t TempoQuotient(std::uint32_t microsecondsPerQuarter) {
    return 6000000000000ULL / microsecondsPerQuarter;
}

struct TrackWriter;
namespace detail {
struct BlockAllocation;
}

// One track: its name and its events in file order. Capacity grows 1024 slots
// at a time and every slot past the event count stays zero.
class Track {
public:
    static constexpr int kNameSize = 128;  // 127 characters and the terminator
    static constexpr int kGrowthStep = 1024;

    // An empty track with 1024 zeroed slots. Throws std::bad_alloc when even
    // those cannot be had (the reader then creates no tracks at all).
    Track();
    virtual ~Track();
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;

    // Appends a copy of event. Kinds FF and F0 get their own copy of the data
    // block; the caller keeps its block. When the array cannot grow, or an FF/F0
    // event comes without a block, the event is dropped and nothing is reported.
    void AddEvent(const Event& event);

    // Pairs each note-off (kind 80) with the oldest pending note-on (kind 90) of
    // the same key, whatever the channel, and stores the distance in ticks in the
    // note-on's aux.duration; note-ons left unpaired get 0. Linear in the events.
    void ComputeNoteDurations();

    int GetEventCount() const { return EventCount; }
    // index 0..count-1, not checked. The pointer stays valid until the next AddEvent.
    const Event* GetEvent(int index) const { return &Events[index]; }
    // NUL-terminated, at most 127 characters; "" until a name meta event sets it.
    const char* GetName() const { return Name; }
    // Slots allocated: a multiple of 1024, at least 1024.
    int GetCapacity() const { return Capacity; }

private:
    // The reader fills tracks through TrackWriter (midifile.cpp), which skips
    // the public AddEvent's checks on its hot path.
    friend struct TrackWriter;

    // Grows the array to newCapacity zeroed slots (a multiple of 1024) in one
    // step. False, with the array unchanged, when memory is short.
    bool Reserve(int newCapacity);
    // Gives back the slots beyond the next multiple of 1024 above the count
    // (keeping at least 1024) after a generous Reserve.
    void Trim();
    // Stores event with a fresh data block holding type, an optional leading byte
    // and then length bytes. False (nothing stored) when memory is short.
    bool AddEventWithBlock(const Event& event, std::uint32_t type, int leadByte, const std::uint8_t* bytes,
                           std::uint32_t length);
    // Takes the name from a name meta event: stops at a zero byte, keeps 127.
    void SetName(const std::uint8_t* text, std::uint32_t length);
    bool HasRoom() { return EventCount < Capacity || Reserve(Capacity + kGrowthStep); }

    char Name[kNameSize];
    int EventCount;
    Event* Events;
    int Capacity;
    // The data blocks of this track's events, newest first.
    detail::BlockAllocation* NewestBlock;
};

// Writes the track as text: "Dumping track NAME", the event count, then every
// event as `operator<<(std::ostream&, const Event&)` writes it.
std::ostream& operator<<(std::ostream& stream, const Track& track);

}  // namespace MIDI
