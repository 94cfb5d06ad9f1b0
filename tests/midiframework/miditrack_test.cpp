#include "midiframework/miditrack.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "SongInvariants.h"

namespace {

MIDI::Event Note(std::uint8_t kind, std::uint32_t tick, std::uint8_t key, std::uint8_t channel = 0) {
    MIDI::Event event{};
    event.tick = tick;
    event.kind = kind;
    event.channel = channel;
    event.data1 = key;
    event.data2 = kind == MIDI::kNoteOn ? 100 : 64;
    return event;
}

std::vector<std::uint32_t> Durations(const MIDI::Track& track) {
    std::vector<std::uint32_t> durations;
    for (int i = 0; i < track.GetEventCount(); ++i) {
        if (track.GetEvent(i)->kind == MIDI::kNoteOn) {
            durations.push_back(track.GetEvent(i)->aux.duration);
        }
    }
    return durations;
}

TEST(MidiTrackStorage, The1025thEventGrowsTheArrayTo2048ZeroedSlots) {
    MIDI::Track track;
    EXPECT_EQ(track.GetCapacity(), 1024);
    for (std::uint32_t i = 0; i < 1025; ++i) {
        track.AddEvent(Note(MIDI::kControlChange, i, static_cast<std::uint8_t>(i)));
    }
    EXPECT_EQ(track.GetEventCount(), 1025);
    EXPECT_EQ(track.GetCapacity(), 2048);
    for (int i = 0; i < 1025; ++i) {
        ASSERT_EQ(track.GetEvent(i)->tick, static_cast<std::uint32_t>(i));
        ASSERT_EQ(track.GetEvent(i)->data1, static_cast<std::uint8_t>(i));
    }
    for (int i = 1025; i < 2048; ++i) {
        ASSERT_TRUE(smf::IsZeroFilled(*track.GetEvent(i))) << "slot " << i;
    }
}

TEST(MidiTrackStorage, StoredEventsOwnACopyOfTheirDataBlock) {
    std::uint8_t bytes[] = {'P', 'i', 'a', 'n', 'o'};
    MIDI::EventData block{MIDI::kMetaTrackName, sizeof bytes, bytes};
    MIDI::Event meta{};
    meta.kind = MIDI::kMeta;
    meta.aux.data = &block;

    MIDI::Track track;
    track.AddEvent(meta);
    track.AddEvent(meta);
    bytes[0] = 'X';

    const MIDI::EventData* first = track.GetEvent(0)->aux.data;
    const MIDI::EventData* second = track.GetEvent(1)->aux.data;
    ASSERT_NE(first, &block);
    ASSERT_NE(first, second);
    EXPECT_NE(first->bytes, bytes);
    EXPECT_EQ(first->type, MIDI::kMetaTrackName);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first->bytes), first->length), "Piano");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(second->bytes), second->length), "Piano");
}

TEST(MidiTrackStorage, BlockEventsWithoutABlockAreDropped) {
    MIDI::Event sysEx{};
    sysEx.kind = MIDI::kSysEx;
    MIDI::Track track;
    track.AddEvent(sysEx);
    EXPECT_EQ(track.GetEventCount(), 0);
}

struct DurationCase {
    const char* name;
    std::vector<MIDI::Event> events;
    std::vector<std::uint32_t> durations;  // of the note-ons, in order
};

void PrintTo(const DurationCase& c, std::ostream* out) { *out << c.name; }

class MidiTrackNoteDurations : public ::testing::TestWithParam<DurationCase> {};

TEST_P(MidiTrackNoteDurations, PairEachNoteOffWithTheOldestPendingNoteOnOfItsKey) {
    MIDI::Track track;
    for (const MIDI::Event& event : GetParam().events) {
        track.AddEvent(event);
    }
    track.ComputeNoteDurations();
    EXPECT_EQ(Durations(track), GetParam().durations);
}

using MIDI::kNoteOff;
using MIDI::kNoteOn;

INSTANTIATE_TEST_SUITE_P(
    Cases, MidiTrackNoteDurations,
    ::testing::Values(
        DurationCase{"FirstInFirstOut",
                     {Note(kNoteOn, 0, 60), Note(kNoteOn, 10, 60), Note(kNoteOff, 20, 60), Note(kNoteOff, 30, 60)},
                     {20, 20}},
        DurationCase{"ChannelIsNotCompared", {Note(kNoteOn, 0, 60, 1), Note(kNoteOff, 50, 60, 2)}, {50}},
        DurationCase{"UnmatchedNoteOffChangesNothing",
                     {Note(kNoteOff, 5, 61), Note(kNoteOn, 10, 60), Note(kNoteOff, 15, 61), Note(kNoteOff, 40, 60)},
                     {30}},
        DurationCase{"NeverReleasedOrReleasedAtOnceIsZero",
                     {Note(kNoteOn, 0, 60), Note(kNoteOn, 5, 62), Note(kNoteOff, 5, 62)},
                     {0, 0}},
        DurationCase{"KeysAreIndependent",
                     {Note(kNoteOn, 0, 60), Note(kNoteOn, 0, 64), Note(kNoteOn, 0, 67), Note(kNoteOff, 10, 67),
                      Note(kNoteOff, 20, 60), Note(kNoteOff, 30, 64)},
                     {20, 30, 10}},
        DurationCase{"AKeyCanBeReusedAfterItsChainEmpties",
                     {Note(kNoteOn, 0, 60), Note(kNoteOff, 10, 60), Note(kNoteOn, 20, 60), Note(kNoteOff, 25, 60),
                      Note(kNoteOn, 30, 60)},
                     {10, 5, 0}},
        DurationCase{
            "KeysAbove127AreKeysToo", {Note(kNoteOn, 0, 200), Note(kNoteOn, 0, 72), Note(kNoteOff, 9, 200)}, {9, 0}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// The pairing chains pending note-ons through their own aux fields; compare it
// with the plain list search on random note streams.
TEST(MidiTrackNoteDurationsProperty, AgreesWithAPlainFirstInFirstOutSearch) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 50; ++round) {
        MIDI::Track track;
        std::vector<MIDI::Event> events;
        std::uint32_t tick = 0;
        const int count = 50 + static_cast<int>(random() % 3000);
        for (int i = 0; i < count; ++i) {
            tick += random() % 4;
            const auto key = static_cast<std::uint8_t>(60 + random() % 5);
            events.push_back(Note(random() % 2 ? kNoteOn : kNoteOff, tick, key));
            track.AddEvent(events.back());
        }
        track.ComputeNoteDurations();

        std::deque<std::size_t> pending;
        std::vector<std::uint32_t> expected(events.size(), 0);
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].kind == kNoteOn) {
                pending.push_back(i);
                continue;
            }
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (events[*it].data1 == events[i].data1) {
                    expected[*it] = events[i].tick - events[*it].tick;
                    pending.erase(it);
                    break;
                }
            }
        }
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].kind == kNoteOn) {
                ASSERT_EQ(track.GetEvent(static_cast<int>(i))->aux.duration, expected[i])
                    << "round " << round << " event " << i;
            }
        }
    }
}

}  // namespace
