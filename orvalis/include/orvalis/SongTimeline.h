#pragma once

#include <cstddef>
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

// One stretch of the tempo map: from Tick on, a quarter note lasts
// MicrosecondsPerQuarter until the next change.
struct TempoChange {
    std::uint32_t Tick;
    std::uint32_t MicrosecondsPerQuarter;
    // The exact time of Tick in units of 1/Division microseconds: the sum over
    // the stretches before it of their ticks times their microseconds per
    // quarter. Kept whole so that no stretch adds a rounding of its own.
    std::int64_t StartUnits;
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
    // Every valid Set Tempo of every track, merged by tick, one entry per tick
    // at which the tempo changes; the first is at tick 0 (120 beats per minute
    // when the song sets none there). Of several Set Tempo events on one tick
    // the last in track order, then event order, holds: playback sends events
    // of one tick in that order, so that is the one a listener is left with.
    // Empty before a song is prepared, which counts as 120 from tick 0.
    std::vector<TempoChange> TempoMap;

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

    // --- time under the tempo map ---------------------------------------------
    // The song as written: tick 0 at time 0, each stretch of the map at its own
    // tempo. Each conversion integrates the stretches exactly in whole 64-bit
    // units and rounds once, so a time is as exact at the end of an hour-long
    // song with a thousand changes as at its start, and the conversions are
    // monotonic. Ticks before 0 run at the tempo of tick 0. Without timing (a
    // division of 0) every time is 0 and every conversion to ticks gives 0.

    bool HasTiming() const { return Division > 0; }

    // Time of tick in microseconds (milliseconds) from tick 0.
    double TickToMicroseconds(std::int64_t tick) const;
    double TickToMilliseconds(std::int64_t tick) const { return TickToMicroseconds(tick) / 1000.0; }

    // The last tick due by a time: the largest tick whose TickToMicroseconds
    // (TickToMilliseconds) is at most the time, -1 for a time before 0. The
    // exact inverse of the forward conversion: it is checked against it.
    // Results stop at kMaxMapTick.
    std::int64_t LastTickAtMicroseconds(double microseconds) const;
    std::int64_t LastTickAtMilliseconds(double milliseconds) const {
        return LastTickAtMicroseconds(milliseconds * 1000.0);
    }

    // Fractional positions: the time of a position between two ticks lies
    // between theirs in proportion, and the position at a time is the last
    // tick due by it plus that proportion, so whole ticks of either agree with
    // the two conversions above. Positions stop at kMaxMapTick.
    double PositionToMicroseconds(double position) const;
    double MicrosecondsToPosition(double microseconds) const;

    // The song's length in seconds under the map: the time of SongEndTick.
    double GetSongSeconds() const { return TickToMicroseconds(SongEndTick) / 1e6; }

    // Tempo in beats per minute in force at tick (60 000 000 / microseconds per
    // quarter, unrounded): the stretch that holds the tick, the first for ticks
    // before 0.
    double TempoAtTick(std::int64_t tick) const;

    // Beyond any position a player reaches (2^38 ticks), and small enough that
    // a time in units never leaves 64 bits.
    static constexpr std::int64_t kMaxMapTick = std::int64_t{1} << 38;

private:
    std::int64_t TickToMeasureWide(std::int64_t tick) const;
    void PrepareTempoMap(const MIDI::File& file);
    // The stretch that holds tick (the first for ticks before it) and the same
    // stretch's view of a tick's exact time in units.
    std::size_t SegmentOfTick(std::int64_t tick) const;
    std::size_t SegmentOfMicroseconds(double microseconds) const;
    // LastTickAtMicroseconds for a time from 0 on, with the stretch it used.
    std::int64_t LastTickIn(double microseconds, TempoChange& segment) const;
    TempoChange Segment(std::size_t index) const;
    double SegmentMicroseconds(const TempoChange& segment, std::int64_t tick) const;
};

}  // namespace orvalis
