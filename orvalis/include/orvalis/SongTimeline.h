#pragma once

#include <cstdint>
#include <vector>

namespace MIDI {
class File;
}

namespace orvalis {

// A time signature as the timeline uses it: where it starts and its measure.
struct TimeSignature {
    std::uint32_t Tick;        // tick of its meta event within its track
    std::uint8_t Numerator;    // beats per measure
    std::uint8_t Denominator;  // 2 to the power of the file's byte, kept in 8 bits (0 for 8 and up)
};

// The song's length, tempo and measures, derived once from a loaded file and
// read afterwards. Plain state: no clock, no device, no threads. The control
// owns one beside its MIDI::File; the sequencer converts measures with it.
//
// Ticks and measures are counted from 0. A time signature whose measure length
// comes out as 0 ticks (division 0, numerator 0, a denominator byte of 8 or
// more, or a length that truncates to 0) holds no measures: conversions never
// divide by it, and no measure starts after its tick.
class SongTimeline {
public:
    static constexpr float kDefaultTempo = 120.0f;

    // Largest end-of-track tick over all tracks; 0 before a song is prepared.
    std::uint32_t SongEndTick = 0;
    // Ticks per quarter note, copied from the file.
    std::int32_t Division = 0;
    // Beats per minute of the last valid Set Tempo in track order; 120 when none.
    float FileTempo = kDefaultTempo;
    // The tempo playback runs at; PrepareSong sets it to FileTempo.
    float Tempo = kDefaultTempo;
    // What GetTempoInfo reports: always 4 and 4 after PrepareSong.
    std::int32_t Numerator = 4;
    std::int32_t Denominator = 4;
    // Ordered by tick (stable: same-tick entries keep track order); never empty
    // once a song is prepared, empty before.
    std::vector<TimeSignature> TimeSignatures;

    // Builds the timeline of a file that loaded without error: tempo, time
    // signatures (a default 4/4 at tick 0 when the file has none) and the end.
    // Set Tempo events shorter than 3 bytes or of 0 microseconds, and Time
    // Signature events shorter than 2 bytes, are skipped.
    void PrepareSong(const MIDI::File& file);

    // Back to the state before any song: no signatures, end 0, tempo 120.
    void Reset();

    // The measure (from 0) that tick lies in. A tick on a signature change
    // counts in the measure before it. 0 before a song is prepared.
    std::int32_t TickToMeasure(std::int32_t tick) const;

    // The first tick of measure (from 0), counting whole measures only. 0 before
    // a song is prepared. Results beyond the 32-bit range stop at its ends.
    std::int32_t MeasureToTick(std::int32_t measure) const;

    // Song length in ticks (what GetTickCount reports for a loaded song).
    std::uint32_t GetTickCount() const { return SongEndTick; }

    // Whole measures before the song's last tick; 0 before a song is prepared.
    std::int32_t GetMeasureCount() const;

    // Tempo in beats per minute from the first track's last valid Set Tempo,
    // scaled by 1e-5 taken in single precision (so 500000 us gives
    // 119.99999696854502); 120 for no file, no tracks or no such event.
    static double GetSongTempo(const MIDI::File* file);

    // Measure length in ticks of signature at division; 0 when degenerate.
    static std::int64_t MeasureLength(const TimeSignature& signature, std::int32_t division);

private:
    std::int64_t TickToMeasureWide(std::int64_t tick) const;
};

}  // namespace orvalis
