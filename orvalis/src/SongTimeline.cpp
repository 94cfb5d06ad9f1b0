#include "orvalis/SongTimeline.h"

#include <algorithm>
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
