#include <gtest/gtest.h>

#include <string>

#include "PlaybackTestSupport.h"
#include "midiframework/midioutput.h"
#include "midiframework/timer.h"
#include "wavfile.h"

using namespace std::chrono_literals;

namespace {

// A tiny player: on its 2 ms ticks it selects a square lead at once, strikes
// a note at 100 ms and releases it at 400 ms, as the sequencer will.
class NotePlayer : public PrecisionTimer {
public:
    NotePlayer(platform::Clock& clock, MidiOutput& out, int note)
        : PrecisionTimer(nullptr, &clock), Out(out), Note(note) {}
    ~NotePlayer() override { EndTimerThread(); }

    void OnTick(std::uint32_t elapsedMs) override {
        if (elapsedMs == 0) {
            Out.SendShort(0xC0, 80, 0);
        } else if (elapsedMs == 100) {
            Out.SendShort(0x90, Note, 110);
        } else if (elapsedMs == 400) {
            Out.SendShort(0x80, Note, 64);
        }
    }

private:
    MidiOutput& Out;
    int Note;
};

class PlaybackSound : public PlaybackTest {
protected:
    // Plays the note for 600 ms of the manual clock on device.
    void Play(int device, int note) {
        MidiOutput out;
        ASSERT_EQ(out.Open(device), 1) << platform::MidiOutLastError();
        NotePlayer player(Clock, out, note);
        ASSERT_EQ(player.StartTimer(2, 0), 1);
        for (int t = 0; t < 600; t += 2) {
            Clock.Advance(2ms);
        }
        player.StopTimer();
        EXPECT_EQ(out.Close(), 1);
    }
};

TEST_F(PlaybackSound, ANoteSentOnATickSoundsAtItsPitchWithinOneMillisecondOfItsSending) {
    constexpr int kNote = 69;
    // When was the note sent? The capture device on the same clock knows.
    Play(platform::kCaptureDevice, kNote);
    std::int64_t sentNs = -1;
    for (const auto& m : platform::CapturedMessages()) {
        if (m.Bytes.size() == 3 && m.Bytes[0] == 0x90) {
            sentNs = m.TimeNs;
        }
    }
    ASSERT_EQ(sentNs, 102000000) << "first pulse at 2 ms, then 100 ms of ticks";

    const std::string wavPath = PathOf("note.wav");
    platform::MidiOutConfig config = platform::MidiOutConfiguration();
    config.WavPath = wavPath;
    config.SampleRate = 48000;
    platform::ConfigureMidiOut(config);
    Play(platform::kSynthesizerDevice, kNote);
    wavtest::Wav wav = wavtest::ReadWav(wavPath);
    ASSERT_EQ(wav.Rate, 48000);
    EXPECT_EQ(wav.Left.size(), 600u * 48) << "600 ms of audio";

    long onset = wavtest::FirstSound(wav.Left, 8);
    ASSERT_GE(onset, 0) << "silence";
    EXPECT_NEAR(onset / 48.0, sentNs / 1e6, 1.0) << "onset in ms";
    auto begin = static_cast<std::size_t>(onset + 48 * 20);
    EXPECT_EQ(wavtest::StrongestNote(wav.Left, begin, begin + 48 * 200, 48000, kNote), kNote);
    // Released at 402 ms: well after it, only the tail of the release remains.
    double during = wavtest::Rms(wav.Left, 48 * 110, 48 * 400);
    double after = wavtest::Rms(wav.Left, 48 * 550, 48 * 600);
    EXPECT_LT(after, during / 5) << "the note-off did not reach the synthesizer";
}

}  // namespace
