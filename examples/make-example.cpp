// Writes examples/example.mid: a short piece in C major for piano, bass,
// steel guitar and drums, about 28 seconds at 100 beats per minute. Eight
// bars of 4/4, then five bars of waltz in 3/4 ending on a held C chord. The
// guitar part carries tablature (a definition for standard tuning and one
// tablature note before each melody note) and bends one note.
//
// Usage: make-example OUTPUT.mid
//        make-example --verify EXISTING.mid   (exit 1 when it differs)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "SmfBuilder.h"

namespace {

constexpr int kDivision = 480;
constexpr int kQuarter = kDivision;
constexpr int kEighth = kDivision / 2;
constexpr int kBar44 = 4 * kQuarter;
constexpr int kBar34 = 3 * kQuarter;
constexpr int kBarsIn44 = 8;
constexpr int kWaltzStart = kBarsIn44 * kBar44;
constexpr int kBarsIn34 = 5;
constexpr int kSongEnd = kWaltzStart + kBarsIn34 * kBar34;

// Start tick of bar (from 0), across the change of metre.
int Bar(int bar) { return bar < kBarsIn44 ? bar * kBar44 : kWaltzStart + (bar - kBarsIn44) * kBar34; }

// Events are gathered at absolute ticks in any order and written sorted; at
// equal ticks they keep the order they were added in (note-offs are added
// before the note-ons that follow them).
class Part {
public:
    using Writer = std::function<void(smf::TrackBuilder&, std::uint32_t delta)>;

    void At(int tick, Writer writer) { Events.push_back({tick, 1, Sequence++, std::move(writer)}); }

    void Note(int tick, int length, int channel, int key, int velocity) {
        At(tick, [=](smf::TrackBuilder& t, std::uint32_t d) { t.NoteOn(d, channel, key, velocity); });
        // Releases come just before the next note, so a repeated key restarts cleanly.
        Events.push_back({tick + length, 0, Sequence++,
                          [=](smf::TrackBuilder& t, std::uint32_t d) { t.NoteOn(d, channel, key, 0); }});
    }

    smf::TrackBuilder Build() {
        std::stable_sort(Events.begin(), Events.end(), [](const Entry& a, const Entry& b) {
            if (a.Tick != b.Tick) {
                return a.Tick < b.Tick;
            }
            return a.Priority != b.Priority ? a.Priority < b.Priority : a.Sequence < b.Sequence;
        });
        smf::TrackBuilder track;
        int now = 0;
        for (const Entry& entry : Events) {
            entry.Write(track, static_cast<std::uint32_t>(entry.Tick - now));
            now = entry.Tick;
        }
        track.EndOfTrack(static_cast<std::uint32_t>(kSongEnd - now));
        return track;
    }

private:
    struct Entry {
        int Tick;
        int Priority;  // 0 for releases, which go first at their tick
        long Sequence;
        Writer Write;
    };

    std::vector<Entry> Events;
    long Sequence = 0;
};

struct Chord {
    int Bass;                // root in the bass register
    std::vector<int> Upper;  // right-hand voicing
};

const Chord kC{36, {60, 64, 67}};
const Chord kAm{33, {60, 64, 69}};
const Chord kF{29, {60, 65, 69}};
const Chord kG{31, {59, 62, 67}};
const Chord kDm{38, {62, 65, 69}};
const Chord kEm{40, {59, 64, 67}};

void Setup(Part& part, int channel, int program, int volume, int pan, int reverb) {
    part.At(0, [=](smf::TrackBuilder& t, std::uint32_t d) {
        t.Control(d, channel, 7, volume)
            .Control(0, channel, 10, pan)
            .Control(0, channel, 91, reverb)
            .Program(0, channel, program);
    });
}

smf::TrackBuilder ConductorTrack() {
    Part part;
    part.At(0, [](smf::TrackBuilder& t, std::uint32_t d) {
        t.Name(d, "Conductor")
            .MetaText(0, 0x02, "Example song, free to use")
            .Tempo(0, 600000)  // 100 beats per minute
            .TimeSignature(0, 4, 2)
            .MetaText(0, 0x06, "Verse");
    });
    part.At(kWaltzStart,
            [](smf::TrackBuilder& t, std::uint32_t d) { t.TimeSignature(d, 3, 2).MetaText(0, 0x06, "Waltz"); });
    return part.Build();
}

smf::TrackBuilder PianoTrack() {
    constexpr int kChannel = 0;
    Part part;
    part.At(0, [](smf::TrackBuilder& t, std::uint32_t d) { t.Name(d, "Piano"); });
    Setup(part, kChannel, 0, 92, 52, 40);
    // Half-note chords in 4/4, the pedal caught again at every bar line.
    const std::vector<std::vector<const Chord*>> verse = {{&kC, &kC}, {&kAm, &kAm}, {&kF, &kF},  {&kG, &kG},
                                                          {&kC, &kC}, {&kAm, &kAm}, {&kDm, &kG}, {&kC, &kC}};
    for (int bar = 0; bar < kBarsIn44; ++bar) {
        const int start = Bar(bar);
        part.At(start, [](smf::TrackBuilder& t, std::uint32_t d) { t.Control(d, kChannel, 64, 127); });
        for (int half = 0; half < 2; ++half) {
            const Chord& chord = *verse[bar][half];
            const int velocity = half == 0 ? 72 : 60;
            for (int key : chord.Upper) {
                part.Note(start + half * 2 * kQuarter, 2 * kQuarter - 20, kChannel, key, velocity);
            }
            part.Note(start + half * 2 * kQuarter, 2 * kQuarter - 20, kChannel, chord.Bass + 12, velocity - 8);
        }
        part.At(start + kBar44 - 10, [](smf::TrackBuilder& t, std::uint32_t d) { t.Control(d, kChannel, 64, 0); });
    }
    // Waltz: a low note on one, the chord on two and three.
    const std::vector<std::vector<const Chord*>> waltz = {
        {&kF, &kF, &kF}, {&kG, &kG, &kG}, {&kEm, &kEm, &kAm}, {&kC, &kC, &kC}};
    for (int i = 0; i < 4; ++i) {
        const int start = Bar(kBarsIn44 + i);
        part.Note(start, kQuarter - 20, kChannel, waltz[i][0]->Bass + 12, 70);
        for (int beat = 1; beat < 3; ++beat) {
            for (int key : waltz[i][beat]->Upper) {
                part.Note(start + beat * kQuarter, kQuarter - 40, kChannel, key, beat == 1 ? 62 : 54);
            }
        }
    }
    // The last bar: a held C chord under the pedal.
    const int last = Bar(kBarsIn44 + 4);
    part.At(last, [](smf::TrackBuilder& t, std::uint32_t d) { t.Control(d, kChannel, 64, 127); });
    for (int key : {36, 48, 60, 64, 67, 72}) {
        part.Note(last, kBar34 - 60, kChannel, key, 76);
    }
    part.At(kSongEnd - 20, [](smf::TrackBuilder& t, std::uint32_t d) { t.Control(d, kChannel, 64, 0); });
    return part.Build();
}

smf::TrackBuilder BassTrack() {
    constexpr int kChannel = 1;
    Part part;
    part.At(0, [](smf::TrackBuilder& t, std::uint32_t d) { t.Name(d, "Bass"); });
    Setup(part, kChannel, 33, 100, 64, 20);
    const std::vector<std::vector<int>> verse = {{36, 43}, {33, 40}, {29, 36}, {31, 38},
                                                 {36, 43}, {33, 40}, {38, 31}, {36, 31}};
    for (int bar = 0; bar < kBarsIn44; ++bar) {
        const int start = Bar(bar);
        part.Note(start, kQuarter + kEighth, kChannel, verse[bar][0], 96);
        part.Note(start + 2 * kQuarter, kQuarter + kEighth, kChannel, verse[bar][1], 88);
        part.Note(start + 3 * kQuarter + kEighth, kEighth - 10, kChannel, verse[bar][1] + 2, 70);
    }
    const std::vector<int> waltz = {29, 31, 40, 36, 36};
    for (int i = 0; i < kBarsIn34; ++i) {
        part.Note(Bar(kBarsIn44 + i), kBar34 - 40, kChannel, waltz[i], 92);
    }
    return part.Build();
}

smf::TrackBuilder GuitarTrack() {
    constexpr int kChannel = 2;
    constexpr int kTrackIndex = 3;
    static const int kTuning[6] = {40, 45, 50, 55, 59, 64};  // E2 A2 D3 G3 B3 E4
    Part part;
    part.At(0, [](smf::TrackBuilder& t, std::uint32_t d) {
        t.Name(d, "Guitar").TablatureDefinition(0, kTrackIndex, 0, {40, 45, 50, 55, 59, 64});
    });
    Setup(part, kChannel, 25, 110, 80, 50);

    struct MelodyNote {
        int Tick;
        int Length;
        int Key;
    };
    std::vector<MelodyNote> melody;
    auto bar = [&](int index, const std::vector<std::pair<int, int>>& notes) {
        int tick = Bar(index);
        for (const auto& [key, length] : notes) {
            melody.push_back({tick, length, key});
            tick += length;
        }
    };
    const int q = kQuarter;
    bar(0, {{64, q}, {67, q}, {72, q}, {67, q}});
    bar(1, {{69, q}, {72, q}, {76, q}, {72, q}});
    bar(2, {{65, q}, {69, q}, {72, q}, {69, q}});
    bar(3, {{67, q}, {71, q}, {74, 2 * q}});
    bar(4, {{76, q}, {74, q}, {72, q}, {67, q}});
    bar(5, {{69, q}, {71, q}, {72, q}, {76, q}});
    bar(6, {{74, q}, {72, q}, {71, q}, {74, q}});
    bar(7, {{72, 4 * q}});
    bar(8, {{69, 2 * q}, {72, q}});
    bar(9, {{71, 2 * q}, {74, q}});
    bar(10, {{67, q}, {64, q}, {69, q}});
    bar(11, {{72, 3 * q}});
    bar(12, {{72, 3 * q}});

    const int bentTick = Bar(6) + 3 * q;
    for (const MelodyNote& note : melody) {
        // The highest string that reaches the note within twelve frets.
        int string = 0;
        for (int s = 5; s >= 0; --s) {
            if (kTuning[s] <= note.Key && note.Key - kTuning[s] <= 12) {
                string = s;
                break;
            }
        }
        const bool bent = note.Tick == bentTick;
        part.At(note.Tick, [=](smf::TrackBuilder& t, std::uint32_t d) {
            if (bent) {
                t.TablatureNote(d, string, 1);  // effect 1: bend
            } else {
                t.TablatureNote(d, string);
            }
        });
        part.Note(note.Tick, note.Length - 30, kChannel, note.Key, note.Tick % (2 * q) == 0 ? 96 : 84);
    }
    // Bend the D up a semitone and let it down again before the next bar.
    for (int step = 1; step <= 4; ++step) {
        part.At(bentTick + 60 * step,
                [=](smf::TrackBuilder& t, std::uint32_t d) { t.PitchBend(d, kChannel, 8192 + step * 1024); });
    }
    part.At(bentTick + q - 20, [](smf::TrackBuilder& t, std::uint32_t d) { t.PitchBend(d, kChannel, 8192); });
    return part.Build();
}

smf::TrackBuilder DrumTrack() {
    constexpr int kChannel = 9;
    constexpr int kKick = 36, kSnare = 38, kHat = 42, kCrash = 49, kRide = 51;
    Part part;
    part.At(0, [](smf::TrackBuilder& t, std::uint32_t d) { t.Name(d, "Drums"); });
    part.At(0, [](smf::TrackBuilder& t, std::uint32_t d) {
        t.Control(d, kChannel, 7, 96).Control(0, kChannel, 91, 30).Program(0, kChannel, 0);
    });
    for (int bar = 0; bar < kBarsIn44; ++bar) {
        const int start = Bar(bar);
        for (int eighth = 0; eighth < 8; ++eighth) {
            part.Note(start + eighth * kEighth, 60, kChannel, kHat, eighth % 2 == 0 ? 70 : 50);
        }
        part.Note(start, 60, kChannel, kKick, 100);
        part.Note(start + 2 * kQuarter, 60, kChannel, kKick, 90);
        part.Note(start + kQuarter, 60, kChannel, kSnare, 84);
        part.Note(start + 3 * kQuarter, 60, kChannel, kSnare, 88);
    }
    part.Note(0, 60, kChannel, kCrash, 90);
    for (int i = 0; i < kBarsIn34; ++i) {
        const int start = Bar(kBarsIn44 + i);
        part.Note(start, 60, kChannel, kKick, 96);
        if (i == 0 || i == kBarsIn34 - 1) {
            part.Note(start, 60, kChannel, kCrash, 92);
        }
        if (i < kBarsIn34 - 1) {
            part.Note(start + kQuarter, 60, kChannel, kRide, 64);
            part.Note(start + 2 * kQuarter, 60, kChannel, kRide, 58);
        }
    }
    return part.Build();
}

smf::Bytes Song() {
    return smf::SmfBuilder(1, kDivision)
        .AddTrack(ConductorTrack())
        .AddTrack(PianoTrack())
        .AddTrack(BassTrack())
        .AddTrack(GuitarTrack())
        .AddTrack(DrumTrack())
        .Build();
}

int Usage(const char* message) {
    std::fprintf(stderr,
                 "make-example: %s\n"
                 "Usage: make-example OUTPUT.mid\n"
                 "       make-example --verify EXISTING.mid\n",
                 message);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "Usage: make-example OUTPUT.mid          writes the example song\n"
            "       make-example --verify FILE.mid   exit 0 when FILE.mid is that song, else 1\n");
        return 0;
    }
    const smf::Bytes song = Song();
    if (argc == 3 && std::strcmp(argv[1], "--verify") == 0) {
        std::ifstream in(argv[2], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "make-example: cannot open %s\n", argv[2]);
            return 1;
        }
        const smf::Bytes existing{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (existing != song) {
            std::fprintf(stderr, "make-example: %s differs from the generated song; run make-example %s\n", argv[2],
                         argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        return Usage(argc < 2 ? "no output file given" : "unexpected arguments");
    }
    try {
        smf::SmfBuilder::WriteFile(argv[1], song);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make-example: %s\n", error.what());
        return 1;
    }
    std::printf("make-example: wrote %s (%zu bytes)\n", argv[1], song.size());
    return 0;
}
