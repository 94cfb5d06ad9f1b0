#include "orvalis/SongTimeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "midiframework/midifile.h"

namespace orvalis {
namespace {

// Whole measures in a stretch of ticks; a measure of no length holds none.
std::int64_t Measures(std::int64_t ticks, std::int64_t measureLength) {
    return measureLength > 0 ? ticks / measureLength : 0;
}

std::int32_t Clamp32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

// Microseconds per quarter of a Set Tempo event that can give a tempo; false for
// other events, payloads shorter than 3 bytes and a tempo of 0.
bool UsableSetTempo(const MIDI::Event& event, std::uint32_t& microseconds) {
    return event.kind == MIDI::kMeta && event.aux.data != nullptr && event.aux.data->type == MIDI::kMetaSetTempo &&
           MIDI::ReadTempo(*event.aux.data, microseconds) && microseconds != 0;
}

constexpr std::uint32_t kDefaultMicrosecondsPerQuarter = 500000;  // 120 beats per minute

}  // namespace

std::int64_t SongTimeline::MeasureLength(const TimeSignature& signature, std::int32_t division) {
    if (signature.Denominator == 0) {
        return 0;
    }
    const std::int64_t length = std::int64_t{signature.Numerator} * 4 * division / signature.Denominator;
    return length > 0 ? length : 0;
}

void SongTimeline::Reset() {
    SongEndTick = 0;
    Division = 0;
    FileTempo = kDefaultTempo;
    Tempo = kDefaultTempo;
    Numerator = 4;
    Denominator = 4;
    TimeSignatures.clear();
    TempoMap.clear();
}

void SongTimeline::PrepareSong(const MIDI::File& file) {
    Reset();
    Division = file.GetDivision();
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        const MIDI::Track& track = *file.GetTrack(t);
        const int count = track.GetEventCount();
        for (int i = 0; i < count; ++i) {
            const MIDI::Event& event = *track.GetEvent(i);
            if (event.kind != MIDI::kMeta || event.aux.data == nullptr) {
                continue;
            }
            const MIDI::EventData& data = *event.aux.data;
            std::uint32_t microseconds = 0;
            if (UsableSetTempo(event, microseconds)) {
                FileTempo = static_cast<float>(static_cast<double>(MIDI::TempoQuotient(microseconds)) * 0.00001);
                Tempo = FileTempo;
            } else if (data.type == MIDI::kMetaTimeSignature && data.length >= 2) {
                const std::uint8_t power = data.bytes[1];
                // 2 to the power kept in 8 bits: 256 and above wrap to 0.
                const auto denominator = static_cast<std::uint8_t>(power < 8 ? 1u << power : 0u);
                TimeSignatures.push_back({event.tick, data.bytes[0], denominator});
            }
        }
        if (count > 0) {
            SongEndTick = std::max(SongEndTick, track.GetEvent(count - 1)->tick);
        }
    }
    if (TimeSignatures.empty()) {
        TimeSignatures.push_back({0, 4, 4});
    } else {
        std::stable_sort(TimeSignatures.begin(), TimeSignatures.end(),
                         [](const TimeSignature& a, const TimeSignature& b) { return a.Tick < b.Tick; });
    }
    PrepareTempoMap(file);
}

void SongTimeline::PrepareTempoMap(const MIDI::File& file) {
    // Collected in scan order (track, then event), so a stable sort by tick
    // leaves the Set Tempo that playback sends last on a tick as the last one.
    std::vector<TempoChange> changes;
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        const MIDI::Track& track = *file.GetTrack(t);
        for (int i = 0; i < track.GetEventCount(); ++i) {
            const MIDI::Event& event = *track.GetEvent(i);
            std::uint32_t microseconds = 0;
            if (UsableSetTempo(event, microseconds)) {
                changes.push_back({event.tick, microseconds, 0});
            }
        }
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const TempoChange& a, const TempoChange& b) { return a.Tick < b.Tick; });
    TempoMap.clear();
    TempoMap.reserve(changes.size() + 1);
    TempoMap.push_back({0, kDefaultMicrosecondsPerQuarter, 0});
    for (const TempoChange& change : changes) {
        if (change.Tick == TempoMap.back().Tick) {
            TempoMap.back().MicrosecondsPerQuarter = change.MicrosecondsPerQuarter;
        } else {
            TempoMap.push_back(change);
        }
    }
    // A change to the tempo already in force is no change; dropping it keeps
    // one stretch per tempo.
    std::size_t kept = 1;
    for (std::size_t i = 1; i < TempoMap.size(); ++i) {
        if (TempoMap[i].MicrosecondsPerQuarter != TempoMap[kept - 1].MicrosecondsPerQuarter) {
            TempoMap[kept++] = TempoMap[i];
        }
    }
    TempoMap.resize(kept);
    for (std::size_t i = 1; i < TempoMap.size(); ++i) {
        const TempoChange& previous = TempoMap[i - 1];
        TempoMap[i].StartUnits = previous.StartUnits + std::int64_t{TempoMap[i].Tick - previous.Tick} *
                                                           std::int64_t{previous.MicrosecondsPerQuarter};
    }
}

TempoChange SongTimeline::Segment(std::size_t index) const {
    return TempoMap.empty() ? TempoChange{0, kDefaultMicrosecondsPerQuarter, 0} : TempoMap[index];
}

std::size_t SongTimeline::SegmentOfTick(std::int64_t tick) const {
    // The last stretch starting at or before tick; stretch 0 for ticks before it.
    const auto after = std::upper_bound(TempoMap.begin(), TempoMap.end(), tick,
                                        [](std::int64_t t, const TempoChange& c) { return t < c.Tick; });
    return after == TempoMap.begin() ? 0 : static_cast<std::size_t>(after - TempoMap.begin()) - 1;
}

std::size_t SongTimeline::SegmentOfMicroseconds(double microseconds) const {
    // Stretch starts are the forward conversion of their ticks, so the search
    // agrees with it exactly.
    const auto after =
        std::upper_bound(TempoMap.begin(), TempoMap.end(), microseconds,
                         [this](double us, const TempoChange& c) { return us < SegmentMicroseconds(c, c.Tick); });
    return after == TempoMap.begin() ? 0 : static_cast<std::size_t>(after - TempoMap.begin()) - 1;
}

// Any stretch gives the same whole units for its own ticks and for the first
// tick of the next, so times agree across every boundary.
double SongTimeline::SegmentMicroseconds(const TempoChange& segment, std::int64_t tick) const {
    const std::int64_t units =
        segment.StartUnits + (tick - std::int64_t{segment.Tick}) * std::int64_t{segment.MicrosecondsPerQuarter};
    return static_cast<double>(units) / static_cast<double>(Division);
}

double SongTimeline::TickToMicroseconds(std::int64_t tick) const {
    if (!HasTiming()) {
        return 0.0;
    }
    tick = std::clamp(tick, -kMaxMapTick, kMaxMapTick);
    return SegmentMicroseconds(Segment(SegmentOfTick(tick)), tick);
}

std::int64_t SongTimeline::LastTickAtMicroseconds(double microseconds) const {
    if (!HasTiming()) {
        return 0;
    }
    if (!(microseconds >= 0.0)) {
        return -1;
    }
    TempoChange segment{};
    return LastTickIn(microseconds, segment);
}

std::int64_t SongTimeline::LastTickIn(double microseconds, TempoChange& segment) const {
    const std::size_t index = SegmentOfMicroseconds(microseconds);
    segment = Segment(index);
    const std::int64_t first = segment.Tick;
    const std::int64_t last = index + 1 < TempoMap.size() ? std::int64_t{TempoMap[index + 1].Tick} - 1 : kMaxMapTick;
    // An estimate from the stretch's tempo, then checked against the forward
    // conversion so that the two can never disagree about a tick.
    const double estimate =
        (microseconds * Division - static_cast<double>(segment.StartUnits)) / segment.MicrosecondsPerQuarter;
    std::int64_t tick = first;
    if (estimate > 0.0) {
        tick = estimate >= static_cast<double>(last - first) ? last : first + static_cast<std::int64_t>(estimate);
    }
    while (tick < last && SegmentMicroseconds(segment, tick + 1) <= microseconds) {
        ++tick;
    }
    while (tick > first && SegmentMicroseconds(segment, tick) > microseconds) {
        --tick;
    }
    return tick;
}

double SongTimeline::PositionToMicroseconds(double position) const {
    if (!HasTiming() || std::isnan(position)) {
        return 0.0;
    }
    position = std::clamp(position, static_cast<double>(-kMaxMapTick), static_cast<double>(kMaxMapTick));
    const double whole = std::floor(position);
    const auto tick = static_cast<std::int64_t>(whole);
    const double at = TickToMicroseconds(tick);
    if (position == whole) {
        return at;
    }
    return at + (position - whole) * (TickToMicroseconds(tick + 1) - at);
}

double SongTimeline::MicrosecondsToPosition(double microseconds) const {
    if (!HasTiming() || std::isnan(microseconds)) {
        return 0.0;
    }
    if (microseconds < 0.0) {
        return std::max(microseconds * Division / Segment(0).MicrosecondsPerQuarter, static_cast<double>(-kMaxMapTick));
    }
    TempoChange segment{};
    const std::int64_t tick = LastTickIn(microseconds, segment);
    if (tick >= kMaxMapTick) {
        return static_cast<double>(kMaxMapTick);
    }
    // The tick's own stretch gives the next tick's time too, even across a change.
    const double at = SegmentMicroseconds(segment, tick);
    const double next = SegmentMicroseconds(segment, tick + 1);
    const double fraction = next > at ? (microseconds - at) / (next - at) : 0.0;
    // Never rounds up onto the next tick, which is not due yet.
    return std::min(static_cast<double>(tick) + std::max(fraction, 0.0),
                    std::nextafter(static_cast<double>(tick + 1), 0.0));
}

double SongTimeline::TempoAtTick(std::int64_t tick) const {
    return 60000000.0 / Segment(SegmentOfTick(tick)).MicrosecondsPerQuarter;
}

// The walk starts its first segment at tick 0, whatever the first entry's tick.
std::int64_t SongTimeline::TickToMeasureWide(std::int64_t tick) const {
    std::int64_t segmentStart = 0;
    std::int64_t measure = 0;
    const std::size_t count = TimeSignatures.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t length = MeasureLength(TimeSignatures[i], Division);
        if (i + 1 == count) {
            return measure + Measures(tick - segmentStart, length);
        }
        const std::int64_t next = TimeSignatures[i + 1].Tick;
        if (segmentStart <= tick && tick <= next) {
            return measure + Measures(tick - segmentStart, length);
        }
        measure += Measures(next - segmentStart, length);
        segmentStart = next;
    }
    return 0;
}

std::int32_t SongTimeline::TickToMeasure(std::int32_t tick) const { return Clamp32(TickToMeasureWide(tick)); }

std::int32_t SongTimeline::GetMeasureCount() const { return Clamp32(TickToMeasureWide(SongEndTick)); }

// This walk starts at the first entry's tick and counts whole measures only,
// so it is not the exact inverse of TickToMeasure after a mid-measure change.
std::int32_t SongTimeline::MeasureToTick(std::int32_t measure) const {
    const std::size_t count = TimeSignatures.size();
    if (count == 0) {
        return 0;
    }
    std::int64_t segmentStart = TimeSignatures[0].Tick;
    std::int64_t firstMeasure = 0;
    std::int64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t length = MeasureLength(TimeSignatures[i], Division);
        if (i + 1 == count) {
            return Clamp32(total + (measure - firstMeasure) * length);
        }
        const std::int64_t next = TimeSignatures[i + 1].Tick;
        const std::int64_t measures = Measures(next - segmentStart, length);
        if (firstMeasure <= measure && measure <= firstMeasure + measures) {
            return Clamp32(total + (measure - firstMeasure) * length);
        }
        total += measures * length;
        firstMeasure += measures;
        segmentStart = next;
    }
    return 0;
}

double SongTimeline::GetSongTempo(const MIDI::File* file) {
    double tempo = kDefaultTempo;
    if (file == nullptr || file->GetTrackCount() == 0) {
        return tempo;
    }
    const MIDI::Track& track = *file->GetTrack(0);
    for (int i = 0; i < track.GetEventCount(); ++i) {
        std::uint32_t microseconds = 0;
        if (UsableSetTempo(*track.GetEvent(i), microseconds)) {
            tempo = static_cast<double>(MIDI::TempoQuotient(microseconds)) * static_cast<double>(0.00001f);
        }
    }
    return tempo;
}

}  // namespace orvalis
