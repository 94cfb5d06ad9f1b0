#include "orvalis/SongTimeline.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "SmfBuilder.h"
#include "midiframework/midifile.h"

namespace {

using orvalis::SongTimeline;

std::unique_ptr<MIDI::File> Load(const smf::SmfBuilder& builder) {
    auto file = std::make_unique<MIDI::File>();
    const smf::Bytes bytes = builder.Build();
    file->LoadFromMemory(bytes.data(), bytes.size());
    return file;
}

// A conductor track with the given signatures (tick, numerator, power of two)
// and an end of track at endTick.
struct Signature {
    std::uint32_t tick;
    int numerator;
    int power;
};

smf::TrackBuilder Conductor(const std::vector<Signature>& signatures, std::uint32_t endTick) {
    smf::TrackBuilder track;
    std::uint32_t now = 0;
    for (const Signature& s : signatures) {
        track.TimeSignature(s.tick - now, s.numerator, s.power);
        now = s.tick;
    }
    track.EndOfTrack(endTick - now);
    return track;
}

SongTimeline Prepared(const std::vector<Signature>& signatures, std::uint32_t endTick = 7680, int division = 480) {
    SongTimeline timeline;
    timeline.PrepareSong(*Load(smf::SmfBuilder(1, division).AddTrack(Conductor(signatures, endTick))));
    return timeline;
}

// --- measures ---------------------------------------------------------------

TEST(TimelineMeasures, WithoutATimeSignatureTheSongIsInFourFour) {
    const SongTimeline timeline = Prepared({});
    ASSERT_EQ(timeline.TimeSignatures.size(), 1u);
    EXPECT_EQ(timeline.TimeSignatures[0].Tick, 0u);
    EXPECT_EQ(timeline.TimeSignatures[0].Numerator, 4);
    EXPECT_EQ(timeline.TimeSignatures[0].Denominator, 4);
    EXPECT_EQ(timeline.TickToMeasure(1919), 0);
    EXPECT_EQ(timeline.TickToMeasure(1920), 1);
    EXPECT_EQ(timeline.MeasureToTick(3), 5760);
}

TEST(TimelineMeasures, ChangeOnABarLine) {
    const SongTimeline timeline = Prepared({{0, 3, 2}, {2880, 4, 2}});
    EXPECT_EQ(timeline.TickToMeasure(2880), 2);
    EXPECT_EQ(timeline.TickToMeasure(3000), 2);
    EXPECT_EQ(timeline.TickToMeasure(4800), 3);
    EXPECT_EQ(timeline.MeasureToTick(2), 2880);
    EXPECT_EQ(timeline.MeasureToTick(3), 4800);
}

TEST(TimelineMeasures, ChangeInTheMiddleOfAMeasureCountsWholeMeasuresOnly) {
    const SongTimeline timeline = Prepared({{0, 4, 2}, {2400, 3, 2}});
    EXPECT_EQ(timeline.TickToMeasure(2400), 1);
    EXPECT_EQ(timeline.TickToMeasure(2500), 1);
    EXPECT_EQ(timeline.MeasureToTick(2), 3360);
    // The two walks measure the new segment from different places.
    EXPECT_EQ(timeline.TickToMeasure(3360), 1);
}

TEST(TimelineMeasures, MeasureLengthsFollowNumeratorDenominatorAndDivision) {
    EXPECT_EQ(SongTimeline::MeasureLength({0, 4, 4}, 480), 1920);
    EXPECT_EQ(SongTimeline::MeasureLength({0, 6, 8}, 480), 1440);
    EXPECT_EQ(SongTimeline::MeasureLength({0, 7, 16}, 96), 168);
    const SongTimeline timeline = Prepared({{0, 6, 3}});
    EXPECT_EQ(timeline.TimeSignatures[0].Denominator, 8);
    EXPECT_EQ(timeline.MeasureToTick(1), 1440);
}

TEST(TimelineMeasures, SignaturesAreSortedByTickKeepingTrackOrderOnTies) {
    smf::SmfBuilder builder;
    builder.AddTrack(Conductor({{0, 3, 2}, {3840, 5, 2}}, 7680))
        .AddTrack(Conductor({{1920, 2, 2}}, 7680))
        .AddTrack(Conductor({{0, 4, 2}}, 7680));
    SongTimeline timeline;
    timeline.PrepareSong(*Load(builder));
    std::vector<int> numerators;
    for (const auto& signature : timeline.TimeSignatures) {
        numerators.push_back(signature.Numerator);
    }
    EXPECT_EQ(numerators, (std::vector<int>{3, 4, 2, 5}));
    // The 3/4 entry's segment holds no measures; the 4/4 one governs from 0.
    EXPECT_EQ(timeline.MeasureToTick(1), 1920);
}

TEST(TimelineMeasures, TheCountIsTheWholeMeasuresBeforeTheLastTick) {
    smf::SmfBuilder builder;
    builder.AddTrack(smf::TrackBuilder().EndOfTrack(1000))
        .AddTrack(smf::TrackBuilder().EndOfTrack(7680))
        .AddTrack(smf::TrackBuilder().EndOfTrack(0));
    SongTimeline timeline;
    timeline.PrepareSong(*Load(builder));
    EXPECT_EQ(timeline.SongEndTick, 7680u);
    EXPECT_EQ(timeline.GetTickCount(), 7680u);
    EXPECT_EQ(timeline.GetMeasureCount(), 4);
    EXPECT_EQ(Prepared({}, 7679).GetMeasureCount(), 3);
}

// Where every change falls on a bar line the two conversions are inverse.
TEST(TimelineMeasuresProperty, ConversionsAreInverseWhenChangesFallOnBarLines) {
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<Signature> signatures;
        std::uint32_t tick = 0;
        const int division = 24 * (1 + static_cast<int>(random() % 40));
        for (int i = 0; i < 1 + static_cast<int>(random() % 5); ++i) {
            const Signature s{tick, 1 + static_cast<int>(random() % 12), static_cast<int>(random() % 4)};
            signatures.push_back(s);
            const std::uint32_t length = s.numerator * 4 * division / (1u << s.power);
            tick += length * (1 + random() % 6);
        }
        const SongTimeline timeline = Prepared(signatures, tick + 5000, division);
        for (int measure = 0; measure < 40; ++measure) {
            const std::int32_t start = timeline.MeasureToTick(measure);
            ASSERT_EQ(timeline.TickToMeasure(start), measure) << "round " << round;
            const std::int32_t next = timeline.MeasureToTick(measure + 1);
            ASSERT_GT(next, start);
            ASSERT_EQ(timeline.TickToMeasure(next - 1), measure) << "round " << round;
        }
    }
}

// --- tempo ------------------------------------------------------------------

TEST(TimelineTempo, TheLastSetTempoInScanOrderIsTheFileTempo) {
    smf::SmfBuilder builder;
    builder.AddTrack(smf::TrackBuilder().Tempo(0, 500000).EndOfTrack())
        .AddTrack(smf::TrackBuilder().Tempo(0, 400000).EndOfTrack());
    const auto file = Load(builder);
    SongTimeline timeline;
    timeline.PrepareSong(*file);
    EXPECT_EQ(timeline.FileTempo, 150.0f);
    EXPECT_EQ(timeline.Tempo, 150.0f);
    EXPECT_EQ(timeline.Numerator, 4);
    EXPECT_EQ(timeline.Denominator, 4);
    // Only the first track counts here, with a single-precision factor.
    EXPECT_DOUBLE_EQ(SongTimeline::GetSongTempo(file.get()), 119.99999696854502);
}

TEST(TimelineTempo, ASetTempoOnlyInALaterTrackLeavesTheSongTempoAt120) {
    smf::SmfBuilder builder;
    builder.AddTrack(smf::TrackBuilder().EndOfTrack())
        .AddTrack(smf::TrackBuilder().Meta(0, 0x51, {0x09, 0x27, 0xC0}).EndOfTrack());
    const auto file = Load(builder);
    SongTimeline timeline;
    timeline.PrepareSong(*file);
    EXPECT_EQ(timeline.FileTempo, 100.0f);
    EXPECT_EQ(SongTimeline::GetSongTempo(file.get()), 120.0);
}

TEST(TimelineTempo, WithoutSetTempoEverythingIs120) {
    SongTimeline timeline;
    const auto none = Load(smf::SmfBuilder().AddTrack(smf::TrackBuilder().EndOfTrack()));
    timeline.PrepareSong(*none);
    EXPECT_EQ(timeline.FileTempo, 120.0f);
    EXPECT_EQ(SongTimeline::GetSongTempo(none.get()), 120.0);
    EXPECT_EQ(SongTimeline::GetSongTempo(nullptr), 120.0);
}

// --- the tempo map and time ---------------------------------------------------

// A conductor track with Set Tempo events at absolute ticks.
smf::TrackBuilder Tempos(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& changes, std::uint32_t endTick) {
    smf::TrackBuilder track;
    std::uint32_t now = 0;
    for (auto [tick, microseconds] : changes) {
        track.Tempo(tick - now, microseconds);
        now = tick;
    }
    track.EndOfTrack(endTick - now);
    return track;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> MapOf(const SongTimeline& timeline) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> map;
    for (const auto& change : timeline.TempoMap) {
        map.emplace_back(change.Tick, change.MicrosecondsPerQuarter);
    }
    return map;
}

TEST(TimelineTempoMap, EveryTracksChangesAreMergedByTickFromA120AtTickZero) {
    smf::SmfBuilder builder;
    builder.AddTrack(Tempos({{960, 400000}, {3840, 600000}}, 7680))
        .AddTrack(Tempos({{1920, 300000}}, 7680))
        // The same tempo again is no change.
        .AddTrack(Tempos({{5000, 600000}}, 7680));
    SongTimeline timeline;
    timeline.PrepareSong(*Load(builder));
    using Map = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    EXPECT_EQ(MapOf(timeline), (Map{{0, 500000}, {960, 400000}, {1920, 300000}, {3840, 600000}}));
    EXPECT_DOUBLE_EQ(timeline.TempoAtTick(0), 120.0);
    EXPECT_DOUBLE_EQ(timeline.TempoAtTick(959), 120.0);
    EXPECT_DOUBLE_EQ(timeline.TempoAtTick(960), 150.0);
    EXPECT_DOUBLE_EQ(timeline.TempoAtTick(-5), 120.0);
    EXPECT_DOUBLE_EQ(timeline.TempoAtTick(1 << 30), 100.0);

    const SongTimeline empty;
    EXPECT_TRUE(empty.TempoMap.empty());
    EXPECT_DOUBLE_EQ(empty.TempoAtTick(0), 120.0) << "before a song: 120";
}

TEST(TimelineTempoMap, OfSetTempoEventsOnOneTickTheLastInTrackThenEventOrderHolds) {
    smf::SmfBuilder builder;
    builder.AddTrack(smf::TrackBuilder().Tempo(0, 400000).Tempo(0, 300000).Tempo(480, 600000).EndOfTrack(480))
        .AddTrack(Tempos({{480, 250000}}, 960))
        .AddTrack(smf::TrackBuilder().Tempo(0, 0).Meta(0, 0x51, {0x07}).EndOfTrack(960));
    SongTimeline timeline;
    timeline.PrepareSong(*Load(builder));
    using Map = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    EXPECT_EQ(MapOf(timeline), (Map{{0, 300000}, {480, 250000}})) << "a tempo of 0 or short data does not count";
}

TEST(TimelineTime, TicksAndTimesConvertExactlyAcrossChanges) {
    smf::SmfBuilder builder(1, 480);
    builder.AddTrack(Tempos({{960, 250000}, {1440, 1000000}}, 4800));
    SongTimeline timeline;
    timeline.PrepareSong(*Load(builder));
    // Two beats at 120, one at 240, then one beat a second.
    EXPECT_DOUBLE_EQ(timeline.TickToMilliseconds(960), 1000.0);
    EXPECT_DOUBLE_EQ(timeline.TickToMilliseconds(1440), 1250.0);
    EXPECT_DOUBLE_EQ(timeline.TickToMilliseconds(1920), 2250.0);
    EXPECT_DOUBLE_EQ(timeline.TickToMicroseconds(1), 500000.0 / 480);
    EXPECT_DOUBLE_EQ(timeline.TickToMilliseconds(-480), -500.0) << "before 0 at the first tempo";
    EXPECT_DOUBLE_EQ(timeline.GetSongSeconds(), 1.25 + 3360 / 480.0);

    EXPECT_EQ(timeline.LastTickAtMilliseconds(1250.0), 1440);
    EXPECT_EQ(timeline.LastTickAtMilliseconds(1249.9999), 1439);
    EXPECT_EQ(timeline.LastTickAtMilliseconds(0.0), 0);
    EXPECT_EQ(timeline.LastTickAtMilliseconds(-0.001), -1);
    EXPECT_EQ(timeline.LastTickAtMicroseconds(1e300), SongTimeline::kMaxMapTick);
    EXPECT_DOUBLE_EQ(timeline.MicrosecondsToPosition(1375000.0), 1440 + 60) << "half a tick of 1/480 s";
    EXPECT_DOUBLE_EQ(timeline.PositionToMicroseconds(1440.5), 1250000.0 + 1000000.0 / 960);
}

// The forward conversion against sums of whole units computed here; the
// inverse against the forward one; positions against both.
TEST(TimelineTimeProperty, AnHourWithAThousandChangesKeepsEveryTickExactAndTheConversionsInverse) {
    std::mt19937 random(15);
    for (const int division : {96, 480, 960}) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> changes;
        std::uint32_t tick = 0;
        for (int i = 0; i < 1000; ++i) {
            // About 3.6 s per stretch at tempos from 30 to 300 beats per minute.
            const std::uint32_t microseconds = 200000 + static_cast<std::uint32_t>(random() % 1800001);
            changes.emplace_back(tick, microseconds);
            tick += static_cast<std::uint32_t>(3600000000.0 / 1000 / microseconds * division);
        }
        SongTimeline timeline;
        timeline.PrepareSong(*Load(smf::SmfBuilder(1, division).AddTrack(Tempos(changes, tick))));
        ASSERT_EQ(timeline.TempoMap.size(), 1000u);
        EXPECT_NEAR(timeline.GetSongSeconds(), 3600.0, 60.0);

        // Whole units (1/division microseconds) up to each probe.
        auto exactMicroseconds = [&](std::uint32_t t) {
            std::int64_t units = 0;
            for (std::size_t i = 0; i < changes.size(); ++i) {
                const std::uint32_t from = changes[i].first;
                const std::uint32_t to = i + 1 < changes.size() ? changes[i + 1].first : UINT32_MAX;
                if (t <= from) break;
                units += std::int64_t{std::min(t, to) - from} * changes[i].second;
            }
            return static_cast<long double>(units) / division;
        };
        for (int probe = 0; probe < 400; ++probe) {
            const std::uint32_t t = probe == 0 ? tick : static_cast<std::uint32_t>(random() % tick);
            const double us = timeline.TickToMicroseconds(t);
            ASSERT_LE(std::abs(static_cast<long double>(us) - exactMicroseconds(t)), 1e-6L) << "tick " << t;
            ASSERT_EQ(timeline.LastTickAtMicroseconds(us), t);
            if (t > 0) {
                ASSERT_EQ(timeline.LastTickAtMicroseconds(std::nextafter(us, 0.0)), std::int64_t{t} - 1);
            }
            const double inBetween = us + (timeline.TickToMicroseconds(t + 1) - us) * 0.25;
            ASSERT_EQ(timeline.LastTickAtMicroseconds(inBetween), t);
            ASSERT_NEAR(timeline.MicrosecondsToPosition(inBetween), t + 0.25, 1e-6);
            ASSERT_NEAR(timeline.PositionToMicroseconds(t + 0.25), inBetween, 1e-6);
            ASSERT_EQ(std::floor(timeline.MicrosecondsToPosition(us)), t);
        }
        // Monotonic through every change, tick by tick around each.
        for (const auto& change : timeline.TempoMap) {
            double last = timeline.TickToMicroseconds(std::int64_t{change.Tick} - 3);
            for (std::int64_t t = std::int64_t{change.Tick} - 2; t < std::int64_t{change.Tick} + 3; ++t) {
                const double now = timeline.TickToMicroseconds(t);
                ASSERT_GT(now, last) << "tick " << t;
                last = now;
            }
        }
    }
}

TEST(TimelineDegenerate, WithoutADivisionEveryTimeIsZero) {
    const SongTimeline timeline = Prepared({{0, 4, 2}}, 7680, 0);
    EXPECT_FALSE(timeline.HasTiming());
    EXPECT_EQ(timeline.TickToMilliseconds(5000), 0.0);
    EXPECT_EQ(timeline.LastTickAtMilliseconds(5000), 0);
    EXPECT_EQ(timeline.MicrosecondsToPosition(1e6), 0.0);
    EXPECT_EQ(timeline.GetSongSeconds(), 0.0);
    const SongTimeline none;
    EXPECT_EQ(none.TickToMilliseconds(5000), 0.0);
}

// --- degenerate input ---------------------------------------------------------

TEST(TimelineDegenerate, SetTempoOfZeroOrTooShortIsSkipped) {
    smf::TrackBuilder track;
    track.Tempo(0, 600000).Meta(0, 0x51, {0, 0, 0}).Meta(0, 0x51, {0x07, 0xA1}).Meta(0, 0x51, {});
    const auto file = Load(smf::SmfBuilder().AddTrack(track.EndOfTrack()));
    SongTimeline timeline;
    timeline.PrepareSong(*file);
    EXPECT_EQ(timeline.FileTempo, 100.0f);
    EXPECT_NEAR(SongTimeline::GetSongTempo(file.get()), 100.0, 1e-4);
}

TEST(TimelineDegenerate, TimeSignaturesShorterThanTwoBytesAreSkipped) {
    smf::TrackBuilder track;
    track.Meta(0, 0x58, {3}).Meta(0, 0x58, {}).EndOfTrack(7680);
    SongTimeline timeline;
    timeline.PrepareSong(*Load(smf::SmfBuilder().AddTrack(track)));
    ASSERT_EQ(timeline.TimeSignatures.size(), 1u);
    EXPECT_EQ(timeline.TimeSignatures[0].Numerator, 4);
    EXPECT_EQ(timeline.GetMeasureCount(), 4);
}

// A signature whose measure has no length holds no measures: before it the
// song counts as usual, from it on the measure number stays where it was.
struct ZeroLength {
    const char* name;
    int numerator;
    int power;
    int division;
};

void PrintTo(const ZeroLength& c, std::ostream* out) { *out << c.name; }

class TimelineZeroLengthMeasure : public ::testing::TestWithParam<ZeroLength> {};

TEST_P(TimelineZeroLengthMeasure, HoldsNoMeasuresAndNeverDivides) {
    const ZeroLength& c = GetParam();
    const SongTimeline timeline = Prepared({{0, 4, 2}, {3840, c.numerator, c.power}}, 9600, c.division);
    // The 4/4 stretch before the change counts as usual (unless the division
    // makes it empty too); from the change on the measure number stands still.
    const std::int32_t measuresBefore = c.division == 0 ? 0 : 3840 / (4 * c.division);
    const std::int32_t changeTick = c.division == 0 ? 0 : 3840;
    EXPECT_EQ(timeline.TickToMeasure(3840), measuresBefore);
    EXPECT_EQ(timeline.TickToMeasure(9000), measuresBefore);
    EXPECT_EQ(timeline.TickToMeasure(INT_MAX), measuresBefore);
    EXPECT_EQ(timeline.GetMeasureCount(), measuresBefore);
    EXPECT_EQ(timeline.MeasureToTick(measuresBefore), changeTick);
    EXPECT_EQ(timeline.MeasureToTick(measuresBefore + 5), changeTick);
    EXPECT_EQ(timeline.MeasureToTick(INT_MIN), changeTick);
}

INSTANTIATE_TEST_SUITE_P(Cases, TimelineZeroLengthMeasure,
                         ::testing::Values(ZeroLength{"DivisionZero", 3, 2, 0}, ZeroLength{"NumeratorZero", 0, 2, 480},
                                           ZeroLength{"DenominatorByte8", 4, 8, 480},
                                           ZeroLength{"DenominatorByte200", 4, 200, 480},
                                           ZeroLength{"TruncatesToZero", 1, 7, 24}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(TimelineDegenerate, DenominatorBytesOf8AndAboveWrapToZero) {
    const SongTimeline timeline = Prepared({{0, 4, 8}, {1920, 4, 40}});
    EXPECT_EQ(timeline.TimeSignatures[0].Denominator, 0);
    EXPECT_EQ(timeline.TimeSignatures[1].Denominator, 0);
    EXPECT_EQ(timeline.GetMeasureCount(), 0);
}

TEST(TimelineDegenerate, NothingPreparedAnswersZero) {
    const SongTimeline timeline;
    EXPECT_EQ(timeline.TickToMeasure(5000), 0);
    EXPECT_EQ(timeline.MeasureToTick(5), 0);
    EXPECT_EQ(timeline.GetMeasureCount(), 0);
    EXPECT_EQ(timeline.GetTickCount(), 0u);

    SongTimeline reset = Prepared({{0, 3, 2}});
    reset.Reset();
    EXPECT_TRUE(reset.TimeSignatures.empty());
    EXPECT_EQ(reset.MeasureToTick(5), 0);
}

TEST(TimelineDegenerate, AFileThatReadNoHeaderStillHasMeasures) {
    MIDI::File empty;
    empty.LoadFromMemory(nullptr, 0);
    SongTimeline timeline;
    timeline.PrepareSong(empty);
    EXPECT_EQ(timeline.Division, MIDI::File::kDefaultDivision);
    EXPECT_EQ(timeline.MeasureToTick(2), 2 * 4 * MIDI::File::kDefaultDivision);
    EXPECT_EQ(timeline.GetMeasureCount(), 0);
}

TEST(TimelineDegenerate, ExtremeTicksAndMeasuresStayInRange) {
    const SongTimeline timeline = Prepared({{0, 4, 2}, {1920, 3, 2}});
    EXPECT_EQ(timeline.MeasureToTick(INT_MAX), INT_MAX);
    EXPECT_EQ(timeline.MeasureToTick(INT_MIN), INT_MIN);
    EXPECT_EQ(timeline.TickToMeasure(INT_MAX), 1 + (INT_MAX - 1920) / 1440);
    EXPECT_EQ(timeline.TickToMeasure(INT_MIN), 1 + (INT_MIN - 1920LL) / 1440);

    // Ticks saturate at the top of 32 bits; the count stays positive.
    smf::TrackBuilder longTrack;
    for (int i = 0; i < 17; ++i) {
        longTrack.NoteOn(0x0FFFFFFF, 0, 60, 1);
    }
    SongTimeline huge;
    huge.PrepareSong(*Load(smf::SmfBuilder().AddTrack(longTrack.EndOfTrack())));
    EXPECT_EQ(huge.SongEndTick, UINT32_MAX);
    EXPECT_EQ(huge.GetMeasureCount(), static_cast<std::int32_t>(UINT32_MAX / 1920));
}

}  // namespace
