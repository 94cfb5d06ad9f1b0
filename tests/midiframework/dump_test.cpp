#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "SongTestSupport.h"
#include "midiframework/midifile.h"

namespace {

using namespace std::string_literals;

MIDI::Event Channel(std::uint32_t tick, std::uint8_t kind, std::uint8_t channel, std::uint8_t data1, std::uint8_t data2,
                    std::uint32_t duration = 0) {
    MIDI::Event event{};
    event.tick = tick;
    event.kind = kind;
    event.channel = channel;
    event.data1 = data1;
    event.data2 = data2;
    event.aux.duration = duration;
    return event;
}

struct RenderCase {
    const char* name;
    MIDI::Event event;
    std::vector<std::uint8_t> payload;  // meta and system-exclusive events only
    std::uint32_t type;
    std::string text;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const RenderCase& c, std::ostream* out) { *out << c.name; }

std::string Render(const RenderCase& c) {
    std::vector<std::uint8_t> bytes = c.payload;
    MIDI::EventData block{c.type, static_cast<std::uint32_t>(bytes.size()), bytes.data()};
    MIDI::Event event = c.event;
    if (event.kind == MIDI::kMeta || event.kind == MIDI::kSysEx) {
        event.aux.data = &block;
    }
    std::ostringstream out;
    out << event;
    return out.str();
}

RenderCase Meta(const char* name, std::uint32_t type, std::vector<std::uint8_t> payload, std::string text) {
    MIDI::Event event{};
    event.kind = MIDI::kMeta;
    event.channel = 0x0F;
    return {name, event, std::move(payload), type, std::move(text)};
}

class EventDump : public ::testing::TestWithParam<RenderCase> {};

TEST_P(EventDump, IsWrittenCharacterForCharacter) { EXPECT_EQ(Render(GetParam()), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    ChannelMessages, EventDump,
    ::testing::Values(
        RenderCase{"NoteOn",
                   Channel(480, 0x90, 0, 60, 100, 240),
                   {},
                   0,
                   "Tick: 480\nNote on 60 Channel:0 Velocity:100 Duration:240\n"},
        RenderCase{"NoteOff", Channel(7, 0x80, 3, 64, 100), {}, 0, "Tick: 7\nNote off 64 Channel:3 Velocity:100\n"},
        RenderCase{
            "KeyPressure", Channel(0, 0xA0, 15, 61, 5), {}, 0, "Tick: 0\nAftertouch Channel:15 Note:61 Value:5\n"},
        RenderCase{"ChannelPressure", Channel(0, 0xD0, 2, 77, 0), {}, 0, "Tick: 0\nAftertouch Channel:2 Value:77\n"},
        RenderCase{"Control", Channel(0, 0xB0, 1, 64, 127), {}, 0, "Tick: 0\nControl change CC#64 Value:127\n"},
        RenderCase{"Program", Channel(0, 0xC0, 1, 25, 0), {}, 0, "Tick: 0\nProgram change 25\n"},
        RenderCase{"PitchBend", Channel(0, 0xE0, 0, 0x40, 0), {}, 0, "Tick: 0\npitch bend MSB:64 LSB: 0\n"},
        // Data bytes are taken as they come, so values above 127 print as such.
        RenderCase{"HighDataBytes",
                   Channel(4294967295u, 0x90, 0, 200, 255, 0xFFFFFFFF),
                   {},
                   0,
                   "Tick: 4294967295\nNote on 200 Channel:0 Velocity:255 Duration:-1\n"},
        RenderCase{"SysExIsAnEmptyLine", Channel(3, 0xF0, 0, 0, 0), {0xF0, 0x7E, 0xF7}, 0xF0, "Tick: 3\n\n"},
        RenderCase{"SystemByteIsAnEmptyLine", Channel(3, 0xF8, 8, 0, 0), {}, 0, "Tick: 3\n\n"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

INSTANTIATE_TEST_SUITE_P(
    MetaEvents, EventDump,
    ::testing::Values(
        Meta("Copyright", 0x02, {'(', 'c', ')', 0, 'x'}, "Tick: 0\nMeta: Copyright: (c)\0x\n"s),
        Meta("TrackName", 0x03, {'P', 'i', 'a', 'n', 'o'}, "Tick: 0\nMeta: Track name: Piano\n"),
        Meta("Marker", 0x06, {'A'}, "Tick: 0\nMeta: Marker: A\n"),
        Meta("CuePoint", 0x07, {}, "Tick: 0\nMeta: Cue point: \n"),
        Meta("Reserved12", 0x12, {1, 2, 3}, "Tick: 0\nMeta: \n"),
        Meta("EndOfTrack", 0x2F, {}, "Tick: 0\nMeta: End of track\n"),
        Meta("Text", 0x01, {'h', 'i'}, "Tick: 0\nMeta: Unknown\n"),
        Meta("SequencerSpecific", 0x7F, {0, 0x20}, "Tick: 0\nMeta: Unknown\n"),
        Meta("Tempo", 0x51, {0x07, 0xA1, 0x20}, "Tick: 0\nMeta: Tempo: 500000(ns per quarter) => BPM:120\n"),
        Meta("TempoRoundsToSixDigits", 0x51, {0x07, 0xA1, 0x21},
             "Tick: 0\nMeta: Tempo: 500001(ns per quarter) => BPM:120\n"),
        Meta("TempoFraction", 0x51, {0x09, 0x27, 0xC0}, "Tick: 0\nMeta: Tempo: 600000(ns per quarter) => BPM:100\n"),
        Meta("SlowTempo", 0x51, {0x0F, 0x42, 0x41}, "Tick: 0\nMeta: Tempo: 1000001(ns per quarter) => BPM:59.9999\n"),
        Meta("TimeSignature", 0x58, {6, 3, 24, 8}, "Tick: 0\nMeta: Time signature: 6/8\n"),
        Meta("TimeSignatureSigned", 0x58, {0xFF, 33}, "Tick: 0\nMeta: Time signature: -1/2\n"),
        Meta("TimeSignatureWideDenominator", 0x58, {4, 31}, "Tick: 0\nMeta: Time signature: 4/-2147483648\n"),
        Meta("TablatureDefinition", 0x10, {1, 0, 40, 45, 50, 55, 59, 64},
             "Tick: 0\nMeta: Tablature definition Strings:6 MIDI Track: 1Capodastre whatever: "
             "0Midi notes: \n"
             "String: |-----------0: E1 (40)\nString: |-----------1: A1 (45)\n"
             "String: |-----------2: D2 (50)\nString: |-----------3: G2 (55)\n"
             "String: |-----------4: B2 (59)\nString: |-----------5: E3 (64)\n\n"),
        Meta("TablatureDefinitionWithoutStrings", 0x10, {2, 0xFF},
             "Tick: 0\nMeta: Tablature definition Strings:0 MIDI Track: 2Capodastre whatever: "
             "-1Midi notes: \n\n"),
        Meta("TablatureNoteNames", 0x10, {0, 0, 0, 60, 127},
             "Tick: 0\nMeta: Tablature definition Strings:3 MIDI Track: 0Capodastre whatever: "
             "0Midi notes: \n"
             "String: |-----------0: C-2 (0)\nString: |-----------1: C3 (60)\n"
             "String: |-----------2: G8 (127)\n\n"),
        Meta("TablatureNote", 0x11, {3, 2}, "Tick: 0\nMeta: Next note in tablature on string #3\n(Effect 2)\n\n"),
        Meta("TablatureNoteWithoutEffect", 0x11, {3}, "Tick: 0\nMeta: Next note in tablature on string #3\n\n"),
        Meta("TablatureNoteSigned", 0x11, {0xFF, 0x80},
             "Tick: 0\nMeta: Next note in tablature on string #-1\n(Effect -128)\n\n")),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// Payloads too short for their layout are named as such; the bytes they lack
// are never read (AddressSanitizer watches the exact-size payloads).
INSTANTIATE_TEST_SUITE_P(
    MalformedMetaEvents, EventDump,
    ::testing::Values(Meta("ShortTempo", 0x51, {0x07, 0xA1}, "Tick: 0\nMeta: Tempo: (malformed, length 2)\n"),
                      Meta("ZeroTempo", 0x51, {0, 0, 0}, "Tick: 0\nMeta: Tempo: 0(ns per quarter) => BPM:undefined\n"),
                      Meta("EmptyTimeSignature", 0x58, {}, "Tick: 0\nMeta: Time signature: (malformed, length 0)\n"),
                      Meta("ShortTimeSignature", 0x58, {4}, "Tick: 0\nMeta: Time signature: (malformed, length 1)\n"),
                      Meta("ShortTablatureDefinition", 0x10, {1},
                           "Tick: 0\nMeta: Tablature definition (malformed, length 1)\n"),
                      Meta("EmptyTablatureNote", 0x11, {}, "Tick: 0\nMeta: Tablature note (malformed, length 0)\n"),
                      Meta("NegativeOpenString", 0x10, {0, 0, 0x80, 0xFF, 11},
                           "Tick: 0\nMeta: Tablature definition Strings:3 MIDI Track: 0Capodastre whatever: "
                           "0Midi notes: \n"
                           "String: |-----------0: invalid (-128)\nString: |-----------1: invalid (-1)\n"
                           "String: |-----------2: B-2 (11)\n\n")),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(TrackDump, StartsWithTheNameAndTheCountThenEveryEvent) {
    smf::TrackBuilder track;
    track.Name(0, "Piano").EndOfTrack();
    MIDI::File file;
    ASSERT_EQ(songtest::LoadBytes(file, smf::SmfBuilder().AddTrack(track).Build()), "");
    std::ostringstream out;
    out << *file.GetTrack(0);
    EXPECT_EQ(out.str(),
              "Dumping track Piano\n"
              "Number of events: 2Tick: 0\n"
              "Meta: Track name: Piano\n"
              "Tick: 0\n"
              "Meta: End of track\n");
}

TEST(TrackDump, UsesDefaultFormattingAndLeavesTheCallersFormattingAlone) {
    smf::TrackBuilder track;
    track.Tempo(0, 400000).NoteOn(0x20, 0, 0x3C, 0x64).NoteOff(0x10, 0, 0x3C).EndOfTrack();
    MIDI::File file;
    ASSERT_EQ(songtest::LoadBytes(file, smf::SmfBuilder().AddTrack(track).Build()), "");
    std::ostringstream out;
    out << std::hex << std::fixed;
    out.precision(2);
    out << *file.GetTrack(0);
    EXPECT_EQ(out.str(),
              "Dumping track \n"
              "Number of events: 4Tick: 0\n"
              "Meta: Tempo: 400000(ns per quarter) => BPM:150\n"
              "Tick: 32\n"
              "Note on 60 Channel:0 Velocity:100 Duration:16\n"
              "Tick: 48\n"
              "Note off 60 Channel:0 Velocity:64\n"
              "Tick: 48\n"
              "Meta: End of track\n");
    out.str("");
    out << 255 << ' ' << 1.5;
    EXPECT_EQ(out.str(), "ff 1.50");
}

}  // namespace
