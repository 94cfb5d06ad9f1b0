#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "midifixture.h"
#include "platform/midi/midi.h"
#include "platform/notice/notice.h"
#include "wavfile.h"

using namespace std::chrono_literals;

namespace {

using Synthesizer = MidiLayerTest;

class SynthesizerFile : public MidiLayerTest {
protected:
    // Renders totalMs of audio into name, advancing the clock in steps of
    // stepUs; at each step's time the actions due then are run with the
    // device's handle (they send messages).
    wavtest::Wav Render(const std::string& name, int rate, std::int64_t totalUs, std::int64_t stepUs,
                        const std::multimap<std::int64_t, std::function<void(platform::HMIDIOUT)>>& actions) {
        Configure([&](platform::MidiOutConfig& c) {
            c.WavPath = PathOf(name);
            c.SampleRate = rate;
        });
        platform::HMIDIOUT out = nullptr;
        platform::MMRESULT opened = platform::midiOutOpen(&out, 0, nullptr, 0, platform::CALLBACK_NULL);
        EXPECT_EQ(opened, platform::MMSYSERR_NOERROR) << platform::MidiOutLastError();
        if (opened != platform::MMSYSERR_NOERROR) {
            return {};
        }
        std::int64_t start = Clock.NowNs() / 1000;
        for (std::int64_t t = 0;; t += stepUs) {
            auto [first, last] = actions.equal_range(t);
            for (auto it = first; it != last; ++it) {
                it->second(out);
            }
            if (t >= totalUs) {
                break;
            }
            Clock.Advance(std::chrono::microseconds(std::min(stepUs, totalUs - t)));
        }
        EXPECT_EQ(Clock.NowNs() / 1000 - start, totalUs);
        EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
        return wavtest::ReadWav(PathOf(name));
    }

    static std::function<void(platform::HMIDIOUT)> Send(int status, int data1, int data2 = 0) {
        return [=](platform::HMIDIOUT out) {
            EXPECT_EQ(platform::midiOutShortMsg(out, Pack(status, data1, data2)), platform::MMSYSERR_NOERROR);
        };
    }
};

TEST_F(Synthesizer, OpenFailsWithAReasonForAMissingSoundFontOrABadRate) {
    Configure([&](platform::MidiOutConfig& c) {
        c.SoundFont = PathOf("none.sf2");
        c.WavPath = PathOf("out.wav");
    });
    platform::HMIDIOUT out = nullptr;
    EXPECT_EQ(platform::midiOutOpen(&out, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NODRIVER);
    EXPECT_NE(platform::MidiOutLastError().find("none.sf2"), std::string::npos) << platform::MidiOutLastError();
    Configure([&](platform::MidiOutConfig& c) {
        c.SoundFont.clear();  // the first default that exists
        c.SampleRate = 1000;
    });
    EXPECT_EQ(platform::midiOutOpen(&out, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_INVALPARAM);
    EXPECT_NE(platform::MidiOutLastError().find("1000 Hz"), std::string::npos);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Synthesizer, WithoutAudioOutputOrFileOpenFailsQuietlyAndSaysWhy) {
    platform::NoticeCapture notices;
    testing::internal::CaptureStderr();
    platform::HMIDIOUT out = nullptr;
    platform::MMRESULT result = platform::midiOutOpen(&out, 0, nullptr, 0, platform::CALLBACK_NULL);
    std::string printed = testing::internal::GetCapturedStderr();
    if (result == platform::MMSYSERR_NOERROR) {
        // A machine with a sound server plays; that is fine too.
        EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
    } else {
        EXPECT_EQ(result, platform::MMSYSERR_NODRIVER);
        EXPECT_NE(platform::MidiOutLastError().find("No audio output could be opened"), std::string::npos)
            << platform::MidiOutLastError();
    }
    EXPECT_EQ(printed, "");
    EXPECT_EQ(notices.Count(), 0u);
}

TEST_F(SynthesizerFile, HoldsExactlyTheClocksTimeAndIsTheSameOnEveryRun) {
    std::multimap<std::int64_t, std::function<void(platform::HMIDIOUT)>> song = {
        {0, Send(0xC0, 24)}, {10000, Send(0x90, 60, 100)}, {150000, Send(0x80, 60, 64)}};
    wavtest::Wav first = Render("a.wav", 44100, 301000, 2000, song);
    wavtest::Wav second = Render("b.wav", 44100, 301000, 2000, song);
    ASSERT_EQ(first.Rate, 44100);
    EXPECT_EQ(first.Channels, 2);
    // 301 ms at 44.1 kHz is 13274.1 frames: the file ends at the nearest one.
    EXPECT_EQ(first.Left.size(), 13274u);
    EXPECT_TRUE(first.Bytes == second.Bytes) << "rendering is deterministic";
    // Larger and uneven steps cover the same time with the same samples.
    wavtest::Wav third = Render("c.wav", 44100, 301000, 1000, song);
    EXPECT_EQ(third.Left.size(), 13274u);
}

TEST_F(SynthesizerFile, TheGainScalesTheLevelAndAGainOutOfRangeIsRefused) {
    std::multimap<std::int64_t, std::function<void(platform::HMIDIOUT)>> note = {
        {0, Send(0xC0, 80)}, {2000, Send(0x90, 69, 100)}, {150000, Send(0x80, 69, 64)}};
    auto peak = [](const wavtest::Wav& wav) {
        int p = 0;
        for (std::int16_t v : wav.Left) p = std::max(p, std::abs(static_cast<int>(v)));
        return p;
    };
    Configure([](platform::MidiOutConfig& c) { c.Gain = 0.25; });
    const int quiet = peak(Render("quiet.wav", 48000, 100000, 2000, note));
    Configure([](platform::MidiOutConfig& c) { c.Gain = 0.5; });
    const int loud = peak(Render("loud.wav", 48000, 100000, 2000, note));
    ASSERT_GT(quiet, 100);
    EXPECT_NEAR(static_cast<double>(loud) / quiet, 2.0, 0.1);

    Configure([&](platform::MidiOutConfig& c) {
        c.Gain = -1.0;
        c.WavPath = PathOf("refused.wav");
    });
    platform::HMIDIOUT out = nullptr;
    EXPECT_EQ(platform::midiOutOpen(&out, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_INVALPARAM);
    EXPECT_NE(platform::MidiOutLastError().find("gain"), std::string::npos) << platform::MidiOutLastError();
}

TEST_F(SynthesizerFile, TwoSynthesizersCannotWriteOneFile) {
    Configure([&](platform::MidiOutConfig& c) { c.WavPath = PathOf("shared.wav"); });
    platform::HMIDIOUT first = nullptr, second = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&first, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::midiOutOpen(&second, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_ALLOCATED);
    EXPECT_EQ(platform::midiOutClose(first), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::midiOutOpen(&second, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::midiOutClose(second), platform::MMSYSERR_NOERROR);
}

TEST_F(SynthesizerFile, OnTheRealClockRendersAsTimePasses) {
    // A render thread keeps the file up with real time, so a note lands
    // near its sending, not when the device closes. Near: a message takes
    // effect where the last render stopped, which may be a render period
    // (or more, on a loaded machine) before it was sent.
    Configure([&](platform::MidiOutConfig& c) {
        c.WavPath = PathOf("live.wav");
        c.TimeSource = &platform::RealClock();
    });
    platform::Clock& real = platform::RealClock();
    std::int64_t before = real.NowNs();
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    std::int64_t opened = real.NowNs();
    platform::midiOutShortMsg(out, Pack(0xC0, 80));
    std::this_thread::sleep_for(50ms);
    std::int64_t sent = real.NowNs();
    platform::midiOutShortMsg(out, Pack(0x90, 69, 110));
    std::this_thread::sleep_for(400ms);
    std::int64_t closing = real.NowNs();
    ASSERT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
    std::int64_t closed = real.NowNs();

    wavtest::Wav wav = wavtest::ReadWav(PathOf("live.wav"));
    ASSERT_EQ(wav.Rate, 48000);
    double lengthMs = static_cast<double>(wav.Left.size()) / 48.0;
    // The file ends at the time the device closed.
    EXPECT_GE(lengthMs, (closing - opened) / 1e6 - 1);
    EXPECT_LE(lengthMs, (closed - before) / 1e6 + 1);
    long onset = wavtest::FirstSound(wav.Left, 8);
    ASSERT_GE(onset, 0);
    EXPECT_GE(onset / 48.0, (sent - opened) / 1e6 - 20) << "nothing was rendered before the note";
    EXPECT_LT(onset / 48.0, (sent - before) / 1e6 + 150) << "the note waited for the close";
}

struct Onset {
    int Rate;
    std::int64_t SendUs;
    std::int64_t StepUs;
    int Note;
};

void PrintTo(const Onset& o, std::ostream* out) {
    *out << "note " << o.Note << " at " << o.Rate << " Hz after " << o.SendUs << " us";
}

class SynthesizerOnset : public SynthesizerFile, public testing::WithParamInterface<Onset> {};

TEST_P(SynthesizerOnset, ANoteSoundsAtItsPitchWithinOneMillisecondOfItsSending) {
    const Onset p = GetParam();
    // The square lead sounds at full level from its first sample; the small
    // SoundFont's piano starts about 6 ms into its recording, which would
    // measure the SoundFont rather than the timing.
    wavtest::Wav wav = Render("note.wav", p.Rate, p.SendUs + 400000, p.StepUs,
                              {{0, Send(0xC0, 80)}, {p.SendUs, Send(0x90, p.Note, 110)}});
    ASSERT_EQ(wav.Rate, p.Rate);
    long onset = wavtest::FirstSound(wav.Left, 8);
    ASSERT_GE(onset, 0) << "the note made no sound";
    double onsetMs = 1000.0 * static_cast<double>(onset) / p.Rate;
    EXPECT_NEAR(onsetMs, p.SendUs / 1000.0, 1.0);
    auto begin = static_cast<std::size_t>(onset + p.Rate / 50);
    EXPECT_EQ(wavtest::StrongestNote(wav.Left, begin, begin + static_cast<std::size_t>(p.Rate / 5), p.Rate, p.Note),
              p.Note);
}

INSTANTIATE_TEST_SUITE_P(RatesAndTimes, SynthesizerOnset,
                         testing::Values(Onset{48000, 100000, 2000, 69},  // on a 64-frame block
                                         Onset{48000, 102000, 2000, 60},  // half a block off it
                                         Onset{44100, 50000, 2000, 72},   // 2 ms is 88.2 frames
                                         Onset{44100, 37000, 1000, 57}, Onset{22050, 61000, 1000, 64}),
                         [](const testing::TestParamInfo<Onset>& param) {
                             return "At" + std::to_string(param.param.Rate) + "HzAfter" +
                                    std::to_string(param.param.SendUs) + "us";
                         });

TEST_F(SynthesizerFile, SystemExclusiveReachesTheSynthesizer) {
    // A GM System On resets the synthesizer and with it the sounding note;
    // it only works if the framing bytes are removed on the way.
    auto gmOn = [](platform::HMIDIOUT out) {
        static char bytes[] = {'\xF0', '\x7E', '\x7F', '\x09', '\x01', '\xF7'};
        static platform::MIDIHDR header;
        header.lpData = bytes;
        header.dwBufferLength = sizeof bytes;
        ASSERT_EQ(platform::midiOutPrepareHeader(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
        ASSERT_EQ(platform::midiOutLongMsg(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
        while (header.dwFlags & platform::MHDR_INQUEUE) {
        }
        platform::midiOutUnprepareHeader(out, &header, sizeof header);
    };
    wavtest::Wav held = Render("held.wav", 48000, 1000000, 2000, {{20000, Send(0x90, 64, 110)}});
    wavtest::Wav reset = Render("reset.wav", 48000, 1000000, 2000, {{20000, Send(0x90, 64, 110)}, {200000, gmOn}});
    ASSERT_EQ(held.Left.size(), reset.Left.size());
    double before = wavtest::Rms(reset.Left, 48000 / 10, 48000 / 5);
    EXPECT_NEAR(before, wavtest::Rms(held.Left, 48000 / 10, 48000 / 5), 1e-9) << "identical up to the message";
    double heldAfter = wavtest::Rms(held.Left, 48000 * 6 / 10, 48000 * 8 / 10);
    double resetAfter = wavtest::Rms(reset.Left, 48000 * 6 / 10, 48000 * 8 / 10);
    EXPECT_LT(resetAfter, heldAfter / 10) << "held " << heldAfter << ", after reset " << resetAfter;
}

}  // namespace
