#include "midiframework/midifile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <new>
#include <ostream>

#include "dumpformat.h"
#include "notepairing.h"
#include "platform/file/file.h"
#include "platform/notice/notice.h"

namespace MIDI {

// The reader's way into a track: the same stores AddEvent makes, without
// re-checking on every event what the parser already knows.
struct TrackWriter {
    static bool Reserve(Track& track, int count) { return track.Reserve(count); }
    static bool Grow(Track& track) { return track.Reserve(track.Capacity + Track::kGrowthStep); }
    static void Trim(Track& track) { track.Trim(); }
    static Event* Slots(const Track& track) { return track.Events; }
    static int Count(const Track& track) { return track.EventCount; }
    static int Capacity(const Track& track) { return track.Capacity; }
    static void SetCount(Track& track, int count) { track.EventCount = count; }

    static void AddBlock(Track& track, std::uint32_t tick, std::uint8_t status, std::uint32_t type, int leadByte,
                         const std::uint8_t* bytes, std::uint32_t length) {
        Event event{};
        event.tick = tick;
        event.kind = status;
        event.channel = status & 0x0F;
        track.AddEventWithBlock(event, type, leadByte, bytes, length);
    }

    static void SetName(Track& track, const std::uint8_t* text, std::uint32_t length) { track.SetName(text, length); }
};

namespace {

constexpr std::size_t kHeaderSize = 14;
constexpr std::size_t kChunkHeaderSize = 8;

[[noreturn]] void Raise(const char* text) { throw text; }

enum class ParseStatus { EndOfTrack, BadChunkSize, RunningStatusNotDefined };

struct ParseResult {
    ParseStatus status;
    const std::uint8_t* position;  // after the end-of-track event when status is EndOfTrack
};

// Reads a variable-length quantity. Bits shifted out of 32 are lost, as in any
// reader that keeps the value in 32 bits; false when the bytes run into limit.
inline bool ReadVlq(const std::uint8_t*& p, const std::uint8_t* limit, std::uint32_t& value) {
    // Most delta times and lengths fit in one byte.
    if (p != limit && *p < 0x80) {
        value = *p++;
        return true;
    }
    std::uint32_t v = 0;
    while (p != limit) {
        const std::uint8_t b = *p++;
        v = (v << 7) | (b & 0x7Fu);
        if ((b & 0x80u) == 0) {
            value = v;
            return true;
        }
    }
    return false;
}

// Stores the events of one track as they are parsed, and pairs note-offs with
// note-ons on the way, by the rule of Track::ComputeNoteDurations, so no second
// pass over the array is needed. Keeps the next free slot in a local pointer
// instead of going through the track's count for every event.
class StoringSink {
public:
    explicit StoringSink(Track& track) : Target(track) { Reload(); }
    StoringSink(const StoringSink&) = delete;
    StoringSink& operator=(const StoringSink&) = delete;

    void NoteOn(std::uint32_t tick, std::uint8_t channel, std::uint8_t key, std::uint8_t velocity) {
        if (Event* slot = Store(tick, kNoteOn, channel, key, velocity)) {
            Pairing.NoteOn(Base, static_cast<std::uint32_t>(slot - Base));
        }
    }
    void NoteOff(std::uint32_t tick, std::uint8_t channel, std::uint8_t key, std::uint8_t velocity) {
        if (Store(tick, kNoteOff, channel, key, velocity) != nullptr) {
            Pairing.NoteOff(Base, key, tick);
        }
    }
    void Channel(std::uint32_t tick, std::uint8_t kind, std::uint8_t channel, std::uint8_t data1, std::uint8_t data2) {
        Store(tick, kind, channel, data1, data2);
    }
    void Block(std::uint32_t tick, std::uint8_t status, std::uint32_t type, int leadByte, const std::uint8_t* bytes,
               std::uint32_t length) {
        Sync();
        TrackWriter::AddBlock(Target, tick, status, type, leadByte, bytes, length);
        if (status == kMeta && type == kMetaTrackName) {
            TrackWriter::SetName(Target, bytes, length);
        }
        Reload();
    }
    void System(std::uint32_t tick, std::uint8_t status) { Store(tick, status, status & 0x0F, 0, 0); }

    // Writes the count back and gives note-ons still pending a duration of 0.
    void Finish() {
        Sync();
        Pairing.Finish(Base);
    }

private:
    // The stored event, or null when it had to be dropped for lack of memory.
    Event* Store(std::uint32_t tick, std::uint8_t kind, std::uint8_t channel, std::uint8_t data1, std::uint8_t data2) {
        if (Next == End && !Grow()) [[unlikely]] {
            return nullptr;
        }
        *Next = Event{tick, kind, channel, data1, data2, EventAux{.data = nullptr}};
        return Next++;
    }
    void Sync() { TrackWriter::SetCount(Target, static_cast<int>(Next - Base)); }
    void Reload() {
        Base = TrackWriter::Slots(Target);
        Next = Base + TrackWriter::Count(Target);
        End = Base + TrackWriter::Capacity(Target);
    }
    bool Grow() {
        Sync();
        const bool grown = TrackWriter::Grow(Target);
        Reload();
        return grown;
    }

    Track& Target;
    Event* Base = nullptr;
    Event* Next = nullptr;
    Event* End = nullptr;
    detail::NotePairing Pairing;
};

// Walks the events of one chunk, handing each to sink, until the end-of-track
// meta event or the first fault. Never reads at or beyond limit.
ParseResult ParseEvents(const std::uint8_t* p, const std::uint8_t* limit, StoringSink& sink) {
    std::uint32_t tick = 0;
    std::uint8_t runningStatus = 0;  // last channel status, 0 before the first one
    for (;;) {
        std::uint32_t delta;
        if (!ReadVlq(p, limit, delta)) [[unlikely]] {
            return {ParseStatus::BadChunkSize, p};
        }
        // Ticks never decrease within a track; a sum past 32 bits stays at the end.
        tick = (delta > UINT32_MAX - tick) ? UINT32_MAX : tick + delta;

        if (p == limit) [[unlikely]] {
            return {ParseStatus::BadChunkSize, p};
        }
        std::uint8_t status = *p;
        if (status & 0x80u) {
            ++p;
            runningStatus = status < 0xF0 ? status : runningStatus;
        } else if (runningStatus == 0) [[unlikely]] {
            return {ParseStatus::RunningStatusNotDefined, p};
        } else {
            status = runningStatus;
        }

        const std::uint8_t kind = status & 0xF0;
        const std::uint8_t channel = status & 0x0F;
        switch (kind) {
            case kNoteOff:
            case kNoteOn:
            case kKeyPressure:
            case kControlChange:
            case kPitchBend: {
                if (limit - p < 2) [[unlikely]] {
                    return {ParseStatus::BadChunkSize, p};
                }
                const std::uint8_t first = p[0];
                const std::uint8_t second = p[1];
                p += 2;
                if (kind == kNoteOn) {
                    if (second != 0) {
                        sink.NoteOn(tick, channel, first, second);
                    } else {
                        sink.NoteOff(tick, channel, first, 100);
                    }
                } else if (kind == kNoteOff) {
                    sink.NoteOff(tick, channel, first, second);
                } else if (kind == kPitchBend) {
                    sink.Channel(tick, kPitchBend, channel, second, first);
                } else {
                    sink.Channel(tick, kind, channel, first, second);
                }
                break;
            }
            case kProgramChange:
            case kChannelPressure: {
                if (p == limit) {
                    return {ParseStatus::BadChunkSize, p};
                }
                sink.Channel(tick, kind, channel, *p++, 0);
                break;
            }
            default: {
                if (status == kMeta) {
                    if (p == limit) {
                        return {ParseStatus::BadChunkSize, p};
                    }
                    const std::uint8_t type = *p++;
                    std::uint32_t length;
                    if (!ReadVlq(p, limit, length) || length > std::size_t(limit - p)) {
                        return {ParseStatus::BadChunkSize, p};
                    }
                    sink.Block(tick, status, type, -1, p, length);
                    p += length;
                    if (type == kMetaEndOfTrack) {
                        return {ParseStatus::EndOfTrack, p};
                    }
                } else if (status == kSysEx || status == kSysExEscape) {
                    std::uint32_t length;
                    if (!ReadVlq(p, limit, length) || length > std::size_t(limit - p)) {
                        return {ParseStatus::BadChunkSize, p};
                    }
                    if (status == kSysEx) {
                        sink.Block(tick, status, kSysEx, kSysEx, p, length);
                    } else {
                        sink.System(tick, status);
                    }
                    p += length;
                } else {
                    sink.System(tick, status);
                }
                break;
            }
        }
    }
}

}  // namespace

File::File() : Division(kDefaultDivision) {}

File::~File() = default;

std::unique_ptr<std::uint8_t[]> File::LoadFileBytes(const char* path, std::uint32_t& size, std::string* reason) {
    if (reason) reason->clear();
    // Sizes are 32-bit throughout the model, so a file is read whole up to
    // 4 GiB less a byte; what has no size of its own (a pipe, a FIFO,
    // /dev/stdin) is read to its end, up to kMaxStreamBytes.
    platform::FileBytes bytes;
    platform::ReadFailure failure;
    if (path == nullptr) {
        failure.Problem = platform::ReadProblem::Open;
        failure.Reason = std::strerror(EFAULT);
    } else if (platform::ReadFileBytes(path, platform::ReadLimits{UINT32_MAX, kMaxStreamBytes}, bytes, failure)) {
        size = static_cast<std::uint32_t>(bytes.Size);
        return std::move(bytes.Data);
    }
    if (failure.ReportedSize > 0 && failure.ReportedSize <= UINT32_MAX) {
        size = static_cast<std::uint32_t>(failure.ReportedSize);
    }
    if (reason) *reason = failure.Reason;
    switch (failure.Problem) {
        case platform::ReadProblem::Open: platform::ShowNotice(kUnableToOpenFile); break;
        case platform::ReadProblem::OutOfMemory: platform::ShowNotice(kOutOfMemory); break;
        default: platform::ShowNotice(kCannotReadFile); break;
    }
    return nullptr;
}

void File::Load(const char* path) {
    DestroyTracks();
    Division = kDefaultDivision;
    ReadFailure.clear();
    std::uint32_t size = 0;
    const std::unique_ptr<std::uint8_t[]> buffer = LoadFileBytes(path, size, &ReadFailure);
    if (!buffer) {
        return;
    }
    LoadFromMemory(buffer.get(), size);
}

void File::LoadFromMemory(const std::uint8_t* bytes, std::size_t size) {
    DestroyTracks();
    Division = kDefaultDivision;
    if (bytes == nullptr || size <= kHeaderSize) {
        return;
    }
    // The whole 16-bit count: a file announcing more tracks than fit is
    // refused rather than read as a song with tracks missing.
    const int announced = (int{bytes[10]} << 8) | bytes[11];
    if (announced > kMaxReadableTracks) {
        Raise(kTooManyTracks);
    }
    if (announced >= 1) {
        int created = 0;
        try {
            for (; created < announced; ++created) {
                Tracks[created] = new Track();
            }
        } catch (const std::bad_alloc&) {
            for (int i = 0; i < created; ++i) {
                delete Tracks[i];
                Tracks[i] = nullptr;
            }
            return;
        }
        TrackCount = announced;
    }
    Division = (std::int32_t{bytes[12]} << 8) | bytes[13];

    const std::uint8_t* end = bytes + size;
    const std::uint8_t* position = bytes + kHeaderSize;
    for (int i = 0; i < TrackCount; ++i) {
        // ReadTrack pairs the notes as it stores them, so the track needs no
        // separate ComputeNoteDurations pass.
        position = ReadTrack(*Tracks[i], position, end);
    }
}

const std::uint8_t* File::ReadTrackChunkHeader(const std::uint8_t* position, const std::uint8_t* end,
                                               std::uint32_t& length) {
    const std::size_t available = std::size_t(end - position);
    // With fewer than 8 bytes there is no chunk at all, but four bytes that are
    // plainly something else still say what is wrong.
    if (available >= 4 && std::memcmp(position, "MTrk", 4) != 0) {
        Raise(kBadTrackFormat);
    }
    if (available < kChunkHeaderSize) {
        Raise(kBadChunkSize);
    }
    length = (std::uint32_t{position[4]} << 24) | (std::uint32_t{position[5]} << 16) |
             (std::uint32_t{position[6]} << 8) | position[7];
    return position + kChunkHeaderSize;
}

const std::uint8_t* File::ReadTrack(Track& track, const std::uint8_t* position, const std::uint8_t* end) {
    std::uint32_t length = 0;
    const std::uint8_t* data = ReadTrackChunkHeader(position, end, length);
    // A chunk that claims more than the file holds is read up to the file's end
    // and then refused (its end-of-track cannot be at the claimed end).
    const std::size_t available = std::size_t(end - data);
    const std::uint8_t* limit = data + (length < available ? length : available);

    // Every event takes at least two bytes, so a chunk holds at most half its
    // length in events. A large chunk gets room for that many at once (a large
    // calloc gets pages the kernel maps only when they are first written, so
    // the unused part costs no memory) and the array is trimmed to the next
    // multiple of 1024 afterwards: the array a step-by-step growth would leave,
    // without a copy of all events per 1024 of them.
    const std::size_t mostEvents = std::size_t(limit - data) / 2;
    if (mostEvents > std::size_t(track.GetCapacity()) && mostEvents <= std::size_t(INT_MAX)) {
        TrackWriter::Reserve(track, static_cast<int>(mostEvents));
    }
    StoringSink sink(track);
    const ParseResult result = ParseEvents(data, limit, sink);
    sink.Finish();
    TrackWriter::Trim(track);
    switch (result.status) {
        case ParseStatus::RunningStatusNotDefined: Raise(kRunningStatusNotDefined);
        case ParseStatus::BadChunkSize: Raise(kBadChunkSize);
        case ParseStatus::EndOfTrack: break;
    }
    if (std::size_t(result.position - data) != length) {
        Raise(kBadChunkSize);
    }
    return result.position;
}

namespace {

constexpr const char* kPitchNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

void WriteMalformed(std::ostream& stream, std::int32_t length) { stream << "(malformed, length " << length << ")"; }

void WriteText(std::ostream& stream, const char* label, const EventData& data) {
    stream << label;
    const auto length = static_cast<std::int32_t>(data.length);
    if (length > 0) {
        stream.write(reinterpret_cast<const char*>(data.bytes), length);
    }
}

// Note numbers come from signed bytes; below 0 there is no pitch name to give.
void WriteNote(std::ostream& stream, int note) {
    if (note < 0) {
        stream << "invalid (" << note << ")";
        return;
    }
    stream << kPitchNames[note % 12] << (note / 12 - 2) << " (" << note << ")";
}

void WriteTablatureDefinition(std::ostream& stream, const EventData& data) {
    const auto length = static_cast<std::int32_t>(data.length);
    stream << "Tablature definition ";
    if (length < 2) {
        WriteMalformed(stream, length);
        return;
    }
    const auto* bytes = reinterpret_cast<const std::int8_t*>(data.bytes);
    const std::int32_t strings = length - 2;
    stream << "Strings:" << strings << " "
           << "MIDI Track: " << int{bytes[0]} << "Capodastre whatever: " << int{bytes[1]}
           << "Midi notes: " << std::endl;
    for (std::int32_t i = 0; i < strings; ++i) {
        stream << "String: |-----------" << i << ": ";
        WriteNote(stream, bytes[2 + i]);
        stream << std::endl;
    }
}

void WriteTablatureNote(std::ostream& stream, const EventData& data) {
    const auto length = static_cast<std::int32_t>(data.length);
    if (length < 1) {
        stream << "Tablature note ";
        WriteMalformed(stream, length);
        return;
    }
    const auto* bytes = reinterpret_cast<const std::int8_t*>(data.bytes);
    stream << "Next note in tablature on string #" << int{bytes[0]} << std::endl;
    if (length > 1) {
        stream << "(Effect " << int{bytes[1]} << ")" << std::endl;
    }
}

void WriteTempo(std::ostream& stream, const EventData& data) {
    stream << "Tempo: ";
    std::uint32_t microseconds = 0;
    if (!ReadTempo(data, microseconds)) {
        WriteMalformed(stream, static_cast<std::int32_t>(data.length));
        return;
    }
    stream << microseconds << "(ns per quarter) => BPM:";
    if (microseconds == 0) {
        stream << "undefined";
        return;
    }
    stream << static_cast<double>(TempoQuotient(microseconds)) * 0.00001;
}

void WriteTimeSignature(std::ostream& stream, const EventData& data) {
    stream << "Time signature: ";
    const auto length = static_cast<std::int32_t>(data.length);
    if (length < 2) {
        WriteMalformed(stream, length);
        return;
    }
    const int numerator = static_cast<std::int8_t>(data.bytes[0]);  // NOLINT(bugprone-signed-char-misuse): shown signed
    const auto denominator = static_cast<std::int32_t>(1u << (data.bytes[1] % 32));
    stream << numerator << "/" << denominator;
}

void WriteMeta(std::ostream& stream, const EventData* data) {
    stream << "Meta: ";
    if (data == nullptr) {
        stream << "Unknown";
        return;
    }
    switch (data->type) {
        case kMetaCopyright: WriteText(stream, "Copyright: ", *data); break;
        case kMetaTrackName: WriteText(stream, "Track name: ", *data); break;
        case kMetaMarker: WriteText(stream, "Marker: ", *data); break;
        case kMetaCuePoint: WriteText(stream, "Cue point: ", *data); break;
        case kMetaTablatureDefinition: WriteTablatureDefinition(stream, *data); break;
        case kMetaTablatureNote: WriteTablatureNote(stream, *data); break;
        case kMetaTablatureReserved: break;
        case kMetaEndOfTrack: stream << "End of track"; break;
        case kMetaSetTempo: WriteTempo(stream, *data); break;
        case kMetaTimeSignature: WriteTimeSignature(stream, *data); break;
        default: stream << "Unknown"; break;
    }
}

}  // namespace

std::ostream& operator<<(std::ostream& stream, const Event& event) {
    detail::DefaultFormat defaults(stream);
    const unsigned channel = event.channel;
    const unsigned data1 = event.data1;
    const unsigned data2 = event.data2;
    stream << "Tick: " << event.tick << std::endl;
    switch (event.kind) {
        case kNoteOn:
            stream << "Note on " << data1 << " Channel:" << channel << " Velocity:" << data2
                   << " Duration:" << static_cast<std::int32_t>(event.aux.duration);
            break;
        case kNoteOff: stream << "Note off " << data1 << " Channel:" << channel << " Velocity:" << data2; break;
        case kKeyPressure: stream << "Aftertouch Channel:" << channel << " Note:" << data1 << " Value:" << data2; break;
        case kChannelPressure: stream << "Aftertouch Channel:" << channel << " Value:" << data1; break;
        case kControlChange: stream << "Control change CC#" << data1 << " Value:" << data2; break;
        case kProgramChange: stream << "Program change " << data1; break;
        case kPitchBend: stream << "pitch bend MSB:" << data1 << " LSB: " << data2; break;
        case kMeta: WriteMeta(stream, event.aux.data); break;
        default: break;
    }
    stream << std::endl;
    return stream;
}

}  // namespace MIDI
