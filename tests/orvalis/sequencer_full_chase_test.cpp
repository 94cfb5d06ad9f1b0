#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "SequencerTestSupport.h"

using namespace seqtest;

namespace {

using Track = smf::TimedTrack;

const smf::Bytes kGmOn = {0x7E, 0x7F, 0x09, 0x01, 0xF7};
const smf::Bytes kGsReset = {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};

// The two resets the songs here use, as sent (from F0).
bool IsReset(const std::vector<std::uint8_t>& message) {
    const std::vector<std::uint8_t> body(message.begin() + (message.empty() ? 0 : 1), message.end());
    return !message.empty() && message[0] == 0xF0 && (body == kGmOn || body == kGsReset);
}

// What a General MIDI receiver holds per channel after the messages it was
// sent: every controller, bank registers and the bank of the program, the
// program, pitch bend, pressure, the RPN and NRPN registers, which kind was
// selected last, and every parameter's data. A standard reset puts all of it
// back to power-on; Reset All Controllers resets what it resets.
struct Receiver {
    struct Channel {
        std::array<int, 128> Controllers{};
        int Program = -1;
        int ProgramBankMsb = -1;
        int ProgramBankLsb = -1;
        int BendMsb = 64;
        int BendLsb = 0;
        int Pressure = 0;
        std::array<int, 4> Registers{127, 127, 127, 127};     // RPN MSB, LSB, NRPN MSB, LSB
        int Selected = 0;                                     // 0 none, 1 RPN, 2 NRPN
        std::map<std::tuple<int, int, int>, int> Parameters;  // (kind, MSB, LSB) -> 14-bit value
        Channel() { ResetControllers(true); }
        void ResetControllers(bool powerOn) {
            if (powerOn) {
                Controllers.fill(-1);
            }
            Controllers[1] = 0;
            Controllers[11] = 127;
            for (int pedal = 64; pedal <= 67; ++pedal) Controllers[pedal] = 0;
            BendMsb = 64;
            BendLsb = 0;
            Pressure = 0;
            Registers = {127, 127, 127, 127};
        }
        bool operator==(const Channel&) const = default;
        friend std::ostream& operator<<(std::ostream& out, const Channel& ch) {
            out << "controllers";
            for (int n = 0; n < 128; ++n) {
                if (ch.Controllers[n] >= 0) out << ' ' << n << '=' << ch.Controllers[n];
            }
            out << "; program " << ch.Program << " from " << ch.ProgramBankMsb << '/' << ch.ProgramBankLsb << "; bend "
                << ch.BendMsb << '/' << ch.BendLsb << "; pressure " << ch.Pressure << "; registers";
            for (int r : ch.Registers) out << ' ' << r;
            out << " selected " << ch.Selected << "; parameters";
            for (const auto& [key, value] : ch.Parameters) {
                out << " " << std::get<0>(key) << ':' << std::get<1>(key) << '/' << std::get<2>(key) << '=' << value;
            }
            return out;
        }
    };
    std::array<Channel, 16> Channels;

    void Apply(const std::vector<std::uint8_t>& m) {
        if (m.empty()) return;
        if (m[0] == 0xF0) {
            if (IsReset(m)) Channels.fill(Channel{});
            return;
        }
        Channel& ch = Channels[m[0] & 0x0F];
        const int d1 = m.size() > 1 ? m[1] : 0;
        const int d2 = m.size() > 2 ? m[2] : 0;
        switch (m[0] & 0xF0) {
            case 0xB0: Control(ch, d1, d2); break;
            case 0xC0:
                ch.Program = d1;
                ch.ProgramBankMsb = ch.Controllers[0];
                ch.ProgramBankLsb = ch.Controllers[32];
                break;
            case 0xD0: ch.Pressure = d1; break;
            case 0xE0:
                ch.BendLsb = d1;
                ch.BendMsb = d2;
                break;
            default: break;
        }
    }
    static void Control(Channel& ch, int controller, int value) {
        const int base = ch.Selected == 1 ? 0 : 2;
        const std::tuple<int, int, int> key{ch.Selected, ch.Registers[base], ch.Registers[base + 1]};
        const bool null = ch.Selected == 0 || (std::get<1>(key) == 127 && std::get<2>(key) == 127);
        switch (controller) {
            case 101: ch.Registers[0] = value, ch.Selected = 1; break;
            case 100: ch.Registers[1] = value, ch.Selected = 1; break;
            case 99: ch.Registers[2] = value, ch.Selected = 2; break;
            case 98: ch.Registers[3] = value, ch.Selected = 2; break;
            case 6:
            case 38:
            case 96:
            case 97: {
                if (null) break;
                int& v = ch.Parameters.try_emplace(key, 0).first->second;
                if (controller == 6) v = value << 7 | (v & 0x7F);
                if (controller == 38) v = (v & ~0x7F) | value;
                if (controller == 96) v = std::min(v + 1, 0x3FFF);
                if (controller == 97) v = std::max(v - 1, 0);
                break;
            }
            case 121: ch.ResetControllers(false); break;
            default:
                if (controller < 120) ch.Controllers[controller] = value;
                break;
        }
    }
};

// The song's events before tick in the order playback gives them: by tick,
// then track, then position.
std::vector<const MIDI::Event*> EventsBefore(const MIDI::File& song, std::uint32_t tick) {
    std::vector<std::tuple<std::uint32_t, int, int, const MIDI::Event*>> sorted;
    for (int t = 0; t < song.GetTrackCount(); ++t) {
        const MIDI::Track& track = *song.GetTrack(t);
        for (int i = 0; i < track.GetEventCount(); ++i) {
            if (track.GetEvent(i)->tick < tick) sorted.emplace_back(track.GetEvent(i)->tick, t, i, track.GetEvent(i));
        }
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<const MIDI::Event*> events;
    for (const auto& entry : sorted) events.push_back(std::get<3>(entry));
    return events;
}

// Each thing the song set before tick and after its last standard reset
// there, counted once: every controller number and selection register, each
// bank byte as it stood for each program and after the last, the program,
// pitch bend, pressure; for each parameter that took data its number's two
// bytes and its data bytes; every data step; and the reset itself.
std::size_t ItemsSetBefore(const MIDI::File& song, std::uint32_t tick) {
    std::set<std::tuple<int, int, int, int, int>> items;
    std::array<int, 16> programs{};
    std::size_t steps = 0;
    bool reset = false;
    Receiver selection;
    for (const MIDI::Event* e : EventsBefore(song, tick)) {
        const int c = e->channel;
        Receiver::Channel& ch = selection.Channels[c];
        if (e->kind == MIDI::kSysEx &&
            IsReset(std::vector<std::uint8_t>(e->aux.data->bytes, e->aux.data->bytes + e->aux.data->length))) {
            items.clear();
            programs.fill(0);
            steps = 0;
            reset = true;
            selection = Receiver{};
        } else if (e->kind == MIDI::kControlChange) {
            const int n = e->data1;
            const int base = ch.Selected == 1 ? 0 : 2;
            const int msb = ch.Registers[base], lsb = ch.Registers[base + 1];
            const bool parameter = ch.Selected != 0 && !(msb == 127 && lsb == 127);
            if ((n == 6 || n == 38) && parameter) {
                items.insert({c, 1000 + n, ch.Selected, msb, lsb});
                items.insert({c, 2000, ch.Selected, msb, lsb});  // its number, twice
                items.insert({c, 2001, ch.Selected, msb, lsb});
            } else if (n == 96 || n == 97) {
                steps += parameter;
            } else if (n == 0 || n == 32) {
                items.insert({c, n, programs[c], 0, 0});
            } else if (n < 120 && n != 6 && n != 38) {
                items.insert({c, n, 0, 0, 0});
            }
            Receiver::Control(ch, n, e->data2);
        } else if (e->kind == MIDI::kProgramChange) {
            ++programs[c];
            items.insert({c, 3000 + e->kind, 0, 0, 0});
        } else if (e->kind == MIDI::kPitchBend || e->kind == MIDI::kChannelPressure) {
            items.insert({c, 3000 + e->kind, 0, 0, 0});
        }
    }
    return items.size() + steps + (reset ? 1 : 0);
}

// The messages of a chase list as the device records them.
std::vector<std::vector<std::uint8_t>> MessagesOf(const orvalis::ChaseList& chase) {
    std::vector<std::vector<std::uint8_t>> messages;
    if (chase.Reset) messages.emplace_back(chase.Reset->bytes, chase.Reset->bytes + chase.Reset->length);
    for (std::size_t i = 0; i < chase.Count; ++i) {
        const std::uint32_t m = chase.Messages[i];
        std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(m), static_cast<std::uint8_t>(m >> 8)};
        if ((m & 0xE0) != 0xC0) bytes.push_back(static_cast<std::uint8_t>(m >> 16));
        messages.push_back(bytes);
    }
    return messages;
}

class SequencerFullChase : public SequencerTest {
protected:
    void SetUp() override {
        SequencerTest::SetUp();
        Seq->SetFullChase(1);
    }
    // Messages sent since the previous call, long ones once the device has them.
    std::vector<std::vector<std::uint8_t>> TakeMessages(std::size_t atLeast = 0) {
        EXPECT_TRUE(Eventually([&] {
            return platform::QueuedCaptureMessages() == 0 && platform::CapturedMessages().size() >= Taken + atLeast;
        }));
        std::vector<std::vector<std::uint8_t>> fresh;
        const auto all = platform::CapturedMessages();
        for (std::size_t i = Taken; i < all.size(); ++i) fresh.push_back(all[i].Bytes);
        Taken = all.size();
        return fresh;
    }
    // A fresh recording, so that reading it stays cheap over many songs.
    void Reopen() {
        Out.Close();
        ASSERT_EQ(Out.Open(platform::kCaptureDevice), 1);
        Taken = 0;
    }
    void StepDirectly(int n = 1) {
        for (int i = 0; i < n; ++i) {
            Elapsed += 2;
            Seq->PlaybackStep(Elapsed);
        }
    }
    std::size_t Taken = 0;
    std::uint32_t Elapsed = 0;
};

std::vector<std::string> HexOf(const std::vector<std::vector<std::uint8_t>>& messages) {
    std::vector<std::string> hex;
    for (const auto& m : messages) hex.push_back(Hex(m));
    return hex;
}

TEST_F(SequencerFullChase, ASeekSendsEachThingTheSongSetOnceInTheirOrder) {
    Track t, u;
    // Before the GS reset: forgotten, the reset undid it.
    t.B.Control(t.At(0), 0, 7, 11).Program(0, 0, 9).SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7});
    t.B.SysEx(t.At(10), kGsReset).SysEx(0, {0x41, 0x10, 0x42, 0x12, 0x40, 0x01, 0x30, 0x04, 0x0B, 0xF7});
    // Bank LSB before MSB, the program, then a bank for a later program.
    t.B.Control(t.At(20), 0, 32, 3).Control(0, 0, 0, 8).Program(0, 0, 48).Control(t.At(30), 0, 0, 9);
    // Controllers: last values, in the order last set; mode messages are not chased.
    t.B.Control(t.At(40), 0, 7, 90).Control(0, 0, 91, 40).Control(0, 0, 7, 100).Control(0, 0, 123, 0);
    t.B.Control(0, 0, 126, 1);
    // RPN 0 (bend range) and fine tuning, NRPN 1/8; then RPN null is left selected.
    t.B.Control(t.At(50), 0, 101, 0).Control(0, 0, 100, 0).Control(0, 0, 6, 12).Control(0, 0, 38, 0);
    t.B.Control(0, 0, 99, 1).Control(0, 0, 98, 8).Control(0, 0, 6, 70);
    t.B.Control(0, 0, 101, 0).Control(0, 0, 100, 1).Control(0, 0, 6, 64).Control(0, 0, 96, 0).Control(0, 0, 96, 0);
    t.B.Control(0, 0, 101, 127).Control(0, 0, 100, 127);
    t.B.PitchBend(t.At(60), 0, 0x1234).ChannelPressure(0, 0, 33).KeyPressure(0, 0, 60, 10);
    t.B.NoteOn(t.At(1920), 0, 60, 100).EndOfTrack(t.At(3840));
    // Another track on another channel: modulation, reset by Reset All Controllers.
    u.B.Control(u.At(100), 5, 1, 80).Control(u.At(200), 5, 121, 0).Control(0, 5, 10, 20).EndOfTrack(u.At(3840));
    Load(smf::SmfBuilder().AddTrack(t.B).AddTrack(u.B));
    TakeMessages();
    ASSERT_EQ(Seq->Seek(1), 1);
    ASSERT_EQ(Seq->Play(), 1);
    EXPECT_TRUE(TakeMessages().empty()) << "the step sends the chase";
    StepDirectly();
    const std::vector<std::vector<std::string>> groups = {
        {"F0 41 10 42 12 40 00 7F 00 41 F7"},              // the last reset
        {"B0 20 03", "B0 00 08", "C0 30", "B0 00 09"},     // banks around the program
        {"B0 5B 28", "B0 07 64"},                          // controllers, last set last
        {"B0 65 00", "B0 64 00", "B0 06 0C", "B0 26 00"},  // RPN 0/0
        {"B0 63 01", "B0 62 08", "B0 06 46"},              // NRPN 1/8
        {"B0 65 00", "B0 64 01", "B0 06 40", "B0 26 02"},  // RPN 0/1, stepped twice
        {"B0 65 7F", "B0 64 7F"},                          // the selection left
        {"E0 34 24", "D0 21"},                             // bend, both bytes; pressure
        {"B5 01 00", "B5 0A 14"},                          // channel 5
        {"90 3C 64"}};                                     // then the target's note
    std::vector<std::string> expected;
    for (const auto& group : groups) expected.insert(expected.end(), group.begin(), group.end());
    EXPECT_EQ(HexOf(TakeMessages(expected.size())), expected);
}

// (b): on random songs, the state a receiver reaches from a seek equals the
// state it reaches playing from the start, and the seek sends at most one
// message per item the song set.
TEST_F(SequencerFullChase, ASeekReachesTheStateOfPlayingFromTheStartWithOneMessageAnItem) {
    std::mt19937 random(2024);
    for (int round = 0; round < 12; ++round) {
        smf::SmfBuilder builder;
        constexpr std::uint32_t kEnd = 10 * 1920;
        for (int track = 0; track < 4; ++track) {
            // On a grid of 8 ticks, so no two grid ticks fall into one step.
            std::vector<std::uint32_t> ticks;
            for (int i = 0; i < 200; ++i) ticks.push_back(static_cast<std::uint32_t>(random() % (kEnd / 8)) * 8);
            std::sort(ticks.begin(), ticks.end());
            Track t;
            for (std::uint32_t tick : ticks) {
                const int c = static_cast<int>(random() % 4) * 5 % 16;
                const int v = static_cast<int>(random() % 128);
                const std::uint32_t d = t.At(tick);
                switch (random() % 14) {
                    case 0: t.B.Program(d, c, v); break;
                    case 1: t.B.Control(d, c, random() % 2 ? 0 : 32, v % 4); break;
                    case 2: t.B.PitchBend(d, c, static_cast<int>(random() % 16384)); break;
                    case 3: t.B.ChannelPressure(d, c, v); break;
                    case 4: t.B.NoteOn(d, c, v, 90).NoteOff(0, c, v); break;
                    case 5:
                    case 6: {
                        // A parameter: number, data MSB and LSB, maybe a step.
                        const bool nrpn = random() % 2;
                        t.B.Control(d, c, nrpn ? 99 : 101, static_cast<int>(random() % 3));
                        t.B.Control(0, c, nrpn ? 98 : 100, static_cast<int>(random() % 3));
                        t.B.Control(0, c, 6, 10 + v % 80);
                        if (random() % 2) t.B.Control(0, c, 38, 10 + v % 80);
                        if (random() % 3 == 0) t.B.Control(0, c, random() % 2 ? 96 : 97, 0);
                        break;
                    }
                    case 7:
                        t.B.Control(d, c, random() % 2 ? 101 : 99, 127).Control(0, c, random() % 2 ? 100 : 98, 127);
                        break;
                    case 8: t.B.Control(d, c, 121, 0); break;
                    case 9:
                        // A few, so that the long-message ring never fills
                        // (it would drop one) however fast the steps come.
                        if (random() % 5 != 0) {
                            t.B.Control(d, c, 7, v);
                        } else if (random() % 2 == 0) {
                            t.B.SysEx(d, random() % 2 ? kGmOn : kGsReset);
                        } else {
                            t.B.SysEx(d, {0x43, 0x10, 0x4C, 0x02, 0x01, 0x00, 0x01, 0xF7});
                        }
                        break;
                    default: {
                        static const int kControllers[] = {1, 7, 10, 11, 33, 64, 65, 71, 74, 91, 93, 120, 123, 127};
                        t.B.Control(d, c, kControllers[random() % 14], v);
                        break;
                    }
                }
            }
            t.B.EndOfTrack(t.At(kEnd));
            builder.AddTrack(t.B);
        }
        for (int measure = 1; measure < 10; measure += 1 + static_cast<int>(random() % 3)) {
            const double target = measure * 1920.0;
            Load(builder);
            Reopen();
            ASSERT_EQ(Seq->Play(), 1);
            while (Seq->GetPosition() < target + 1) StepDirectly();
            Receiver fromStart;
            for (const auto& m : TakeMessages()) fromStart.Apply(m);
            Seq->Stop();

            Load(builder);
            Reopen();
            orvalis::LocateSnapshot located;
            ASSERT_EQ(Seq->LocateMeasure(measure, &located), measure * 1920);
            const std::size_t chased = located.Chase.Count + (located.Chase.Reset ? 1 : 0);
            ASSERT_EQ(Seq->Seek(measure), 1);
            ASSERT_EQ(Seq->Play(), 1);
            while (Seq->GetPosition() < target + 1) StepDirectly();
            const auto sent = TakeMessages();
            Seq->Stop();
            Receiver sought;
            for (const auto& m : sent) sought.Apply(m);
            for (int c = 0; c < 16; ++c) {
                ASSERT_EQ(sought.Channels[c], fromStart.Channels[c])
                    << "round " << round << ", measure " << measure << ", channel " << c;
            }

            const std::size_t bound = ItemsSetBefore(*Seq->GetSong(), measure * 1920);
            EXPECT_LE(chased, bound) << "round " << round << ", measure " << measure;
            if (chased > bound) {
                for (const auto& m : HexOf(MessagesOf(located.Chase))) std::printf("CH %s\n", m.c_str());
                for (auto* e : EventsBefore(*Seq->GetSong(), measure * 1920))
                    if (e->kind != 0xFF && e->kind != 0x90 && e->kind != 0x80)
                        std::printf("EV %u %02X %d %d %d\n", e->tick, e->kind, e->channel, e->data1, e->data2);
            }
            ASSERT_GE(sent.size(), chased);
            EXPECT_EQ(std::vector(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(chased)),
                      MessagesOf(located.Chase))
                << "the chase goes first, whole, before anything of the target";
        }
    }
}

}  // namespace

namespace {

// Every controller on every channel: a chase of some two thousand messages.
smf::SmfBuilder EverythingSetSong() {
    Track t;
    t.B.Program(t.At(0), 0, 1);
    for (int c = 0; c < 16; ++c) {
        for (int n = 0; n < 120; ++n) {
            t.B.Control(0, c, n, (n + c) % 128);
        }
        t.B.Program(0, c, c).PitchBend(0, c, 0x2000 + c).ChannelPressure(0, c, c);
    }
    t.B.NoteOn(t.At(1920), 0, 60, 100).NoteOn(t.At(1921), 0, 62, 100).EndOfTrack(t.At(3840));
    return smf::SmfBuilder().AddTrack(t.B);
}

TEST_F(SequencerFullChase, AChaseBeyondAStepsShareGoesOutOverTheFollowingStepsInOrderWhileTheSongWaits) {
    Load(EverythingSetSong());
    orvalis::LocateSnapshot located;
    Seq->LocateMeasure(1, &located);
    const auto chase = MessagesOf(located.Chase);
    ASSERT_GT(chase.size(), 10 * orvalis::Sequencer::kChaseMessagesPerStep);
    ASSERT_EQ(Seq->Play(), 1);
    StepDirectly();
    TakeMessages();
    ASSERT_EQ(Seq->Seek(1), 1);
    StepDirectly();
    // The seek's step: the release (sustain off on 16 channels), then a share.
    std::vector<std::vector<std::uint8_t>> sent = TakeMessages();
    ASSERT_EQ(sent.size(), 16 + orvalis::Sequencer::kChaseMessagesPerStep);
    sent.erase(sent.begin(), sent.begin() + 16);
    int steps = 1;
    while (sent.size() < chase.size()) {
        EXPECT_EQ(Seq->PollTick(), 1920) << "the song waits for its state";
        StepDirectly();
        ++steps;
        const auto share = TakeMessages();
        ASSERT_LE(share.size(), orvalis::Sequencer::kChaseMessagesPerStep + 1);
        sent.insert(sent.end(), share.begin(), share.end());
    }
    EXPECT_EQ(steps, static_cast<int>((chase.size() + 127) / 128));
    // The last share and the target's first note may share a step.
    ASSERT_GE(sent.size(), chase.size());
    EXPECT_EQ(std::vector(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(chase.size())), chase)
        << "nothing dropped, nothing reordered";
    StepDirectly(2);
    const auto notes = TakeMessages();
    sent.insert(sent.end(), notes.begin(), notes.end());
    EXPECT_EQ(HexOf(std::vector(sent.begin() + static_cast<std::ptrdiff_t>(chase.size()), sent.end())),
              (std::vector<std::string>{"90 3C 64", "90 3E 64"}));
}

TEST_F(SequencerFullChase, AResetTheLongMessageRingCannotTakeWaitsForALaterStepAndTheRestWaitsBehindIt) {
    Track t;
    for (int i = 0; i < 31; ++i) {
        t.B.SysEx(t.At(0), {0x7D, static_cast<std::uint8_t>(i), 0xF7});  // fills the ring (31 of 32)
    }
    t.B.SysEx(t.At(4), kGmOn).Control(t.At(8), 3, 7, 77).NoteOn(t.At(1920), 3, 60, 100).EndOfTrack(t.At(3840));
    platform::HoldCaptureCompletions(true);
    Load(smf::SmfBuilder().AddTrack(t.B));
    ASSERT_EQ(Seq->Play(), 1);
    StepDirectly(10);
    ASSERT_EQ(platform::QueuedCaptureMessages(), 31) << "the reset in the song found the ring full";
    ASSERT_EQ(Seq->Seek(1), 1);
    StepDirectly(5);
    EXPECT_EQ(Seq->PollTick(), 1920);
    // Only the seek's release went out; the chase waits for its reset.
    EXPECT_EQ(platform::QueuedCaptureMessages(), 31);
    platform::HoldCaptureCompletions(false);
    ASSERT_TRUE(Eventually([&] {
        StepDirectly();
        return Seq->PollTick() > 1920;
    }));
    std::vector<std::string> hex = HexOf(TakeMessages());
    // The 31 held messages, the release, then the chase and the note.
    hex.erase(hex.begin(), std::find(hex.begin(), hex.end(), "F0 7E 7F 09 01 F7"));
    EXPECT_EQ(hex, (std::vector<std::string>{"F0 7E 7F 09 01 F7", "B3 07 4D", "93 3C 64"}));

    // A device that never gives its messages back holds the song a second at
    // most: then the reset is given up and the rest goes out.
    platform::HoldCaptureCompletions(true);
    Load(smf::SmfBuilder().AddTrack(t.B));
    TakeMessages();
    StepDirectly(10);
    ASSERT_EQ(Seq->Seek(1), 1);
    StepDirectly(orvalis::Sequencer::kChaseResetWaitSteps - 1);
    EXPECT_EQ(Seq->PollTick(), 1920) << "still waiting";
    StepDirectly(2);
    EXPECT_GT(Seq->PollTick(), 1920);
    platform::HoldCaptureCompletions(false);
    hex = HexOf(TakeMessages());
    ASSERT_GE(hex.size(), 2u);
    EXPECT_EQ(std::vector(hex.end() - 2, hex.end()), (std::vector<std::string>{"B3 07 4D", "93 3C 64"}));
    EXPECT_EQ(std::count(hex.begin(), hex.end(), "F0 7E 7F 09 01 F7"), 0);
}

TEST_F(SequencerFullChase, ALoopWrapRestoresItsStartAndBendsGoOutWithBothBytes) {
    Track t;
    t.B.Control(t.At(0), 0, 91, 30).PitchBend(0, 0, 0x2345).Control(t.At(2000), 0, 91, 90);
    t.B.PitchBend(0, 0, 0x1001).NoteOn(t.At(1920 * 2 - 10), 0, 60, 100).EndOfTrack(t.At(1920 * 3));
    Load(smf::SmfBuilder().AddTrack(t.B));
    Seq->SetLoopStart(1);
    Seq->SetLoopEnd(2);
    ASSERT_EQ(Seq->EnableLoop(1), 0);
    ASSERT_EQ(Seq->Play(), 1);
    StepDirectly();
    EXPECT_EQ(HexOf(TakeMessages()), (std::vector<std::string>{"B0 5B 1E", "E0 45 46"})) << "the bend's both bytes";
    for (int pass = 1; pass <= 2; ++pass) {
        while (Seq->GetLoopWraps() < static_cast<std::uint64_t>(pass)) StepDirectly();
        std::vector<std::string> hex = HexOf(TakeMessages());
        const std::vector<std::string> wrap = {"B0 5B 1E", "E0 45 46"};
        ASSERT_GE(hex.size(), wrap.size());
        EXPECT_EQ(std::vector(hex.end() - 2, hex.end()), wrap) << "pass " << pass << ": the state of measure 1";
    }

    // Switched off, the wrap restores the eight values again.
    Seq->SetFullChase(0);
    while (Seq->GetLoopWraps() < 3) StepDirectly();
    const std::vector<std::string> hex = HexOf(TakeMessages());
    const auto restore = RestoreOf({{0, StateWith({{orvalis::ChannelState::kPitchBend, 0x46}})}});
    ASSERT_GE(hex.size(), restore.size());
    EXPECT_EQ(std::vector(hex.end() - static_cast<std::ptrdiff_t>(restore.size()), hex.end()), restore);
}

TEST_F(SequencerFullChase, ANewTargetWhileAChaseGoesOutNeitherMixesNorLosesWhatBelongsWhere) {
    Load(EverythingSetSong());
    orvalis::LocateSnapshot measure1;
    Seq->LocateMeasure(1, &measure1);
    const auto chase = MessagesOf(measure1.Chase);
    Seq->SetLoopStart(1);
    Seq->SetLoopEnd(1);  // wraps on every step
    ASSERT_EQ(Seq->EnableLoop(1), 0);
    ASSERT_EQ(Seq->Seek(1), 1);
    ASSERT_EQ(Seq->Play(), 1);
    StepDirectly(3);  // three shares of the seek's chase
    TakeMessages();
    // A new loop start while the chase of measure 1 is under way: its rest
    // still goes out as it was.
    Seq->SetLoopStart(0);
    std::vector<std::vector<std::uint8_t>> rest;
    while (rest.size() < chase.size() - 3 * 128) {
        StepDirectly();
        const auto share = TakeMessages();
        rest.insert(rest.end(), share.begin(), share.end());
    }
    EXPECT_EQ(std::vector(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(chase.size() - 3 * 128)),
              std::vector(chase.begin() + 3 * 128, chase.end()));

    // A seek while a chase goes out replaces it at once: nothing of the old
    // target goes out without its state; the release, then the new chase.
    Seq->Stop();
    Load(EverythingSetSong());
    ASSERT_EQ(Seq->Play(), 1);
    StepDirectly();
    ASSERT_EQ(Seq->Seek(1), 1);
    StepDirectly(2);
    TakeMessages();
    ASSERT_EQ(Seq->Seek(0), 1);
    StepDirectly();
    EXPECT_EQ(HexOf(TakeMessages()), ReleaseOf({})) << "no note was struck; nothing was set before tick 0";
}

TEST(FullChaseStorage, TheChaseOfASongThatSetsEverythingFitsTheRoomSizedAtItsLoad) {
    Track t;
    int dataEntries = 0;
    for (int c = 0; c < 16; ++c) {
        for (int n = 0; n < 128; ++n) t.B.Control(t.At(0), c, n, 1);
        t.B.Program(0, c, 5).Control(0, c, 0, 2).Control(0, c, 32, 3).PitchBend(0, c, 77).ChannelPressure(0, c, 9);
        for (int p = 0; p < 40; ++p) {
            t.B.Control(0, c, p % 2 ? 99 : 101, p).Control(0, c, p % 2 ? 98 : 100, p);
            t.B.Control(0, c, 6, 10).Control(0, c, 38, 11).Control(0, c, 96, 0);
            dataEntries += 3;
        }
    }
    t.B.EndOfTrack(t.At(100));
    const auto song = Read(smf::SmfBuilder().AddTrack(t.B));
    dataEntries += 16 * 4;  // the plain sweep set 6, 38, 96 and 97 too
    orvalis::FullChase chaser;
    chaser.Prepare(song.get());
    EXPECT_EQ(chaser.MessageCapacity(), 16 * orvalis::FullChase::kFixedItemsPerChannel + 3u * dataEntries);
    orvalis::ChaseList list;
    list.Messages.resize(chaser.MessageCapacity());
    chaser.Compute(100, list);
    // Per channel: bank, program, bank after it; 110 controllers; 40 parameters
    // of four messages; the selection left is the last one's; bend, pressure.
    EXPECT_EQ(list.Count, 16u * (2 + 1 + 2 + 110 + 40 * 4 + 2));
    EXPECT_LE(list.Count, chaser.MessageCapacity());

    // A list without the room gets nothing rather than an overrun.
    orvalis::ChaseList small;
    small.Messages.resize(10);
    chaser.Compute(100, small);
    EXPECT_TRUE(small.Empty());
}

struct ResetCase {
    const char* Name;
    smf::Bytes Bytes;
    bool Reset;
};
void PrintTo(const ResetCase& c, std::ostream* out) { *out << c.Name; }

class FullChaseResets : public testing::TestWithParam<ResetCase> {};

TEST_P(FullChaseResets, OnlyTheStandardResetsCount) {
    smf::Bytes bytes = GetParam().Bytes;
    const MIDI::EventData data{MIDI::kSysEx, static_cast<std::uint32_t>(bytes.size()), bytes.data()};
    EXPECT_EQ(orvalis::FullChase::IsStandardReset(data), GetParam().Reset);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FullChaseResets,
    testing::Values(ResetCase{"GmOn", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, true},
                    ResetCase{"GmOnForDevice3", {0xF0, 0x7E, 0x03, 0x09, 0x01, 0xF7}, true},
                    ResetCase{"Gm2On", {0xF0, 0x7E, 0x7F, 0x09, 0x03, 0xF7}, true},
                    ResetCase{"GmOff", {0xF0, 0x7E, 0x7F, 0x09, 0x02, 0xF7}, false},
                    ResetCase{"GsReset", {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}, true},
                    ResetCase{
                        "GsResetForDevice17", {0xF0, 0x41, 0x11, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}, true},
                    ResetCase{"GsModeSet", {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x01, 0x40, 0xF7}, false},
                    ResetCase{"XgOn", {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, true},
                    ResetCase{"XgAllParameterReset", {0xF0, 0x43, 0x15, 0x4C, 0x00, 0x00, 0x7F, 0x00, 0xF7}, true},
                    ResetCase{"XgOnOfAnotherKind", {0xF0, 0x43, 0x20, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, false},
                    ResetCase{"GmOnCut", {0xF0, 0x7E, 0x7F, 0x09, 0x01}, false}, ResetCase{"Empty", {}, false}),
    [](const auto& testCase) { return std::string(testCase.param.Name); });

}  // namespace
