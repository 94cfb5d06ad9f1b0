#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clock/manualclock.h"
#include "platform/midi/capture.h"
#include "platform/midi/midi.h"

// Playback tests run on a manual clock and the capture device (or the
// synthesizer rendering to a file), and leave the MIDI layer as they found it.
class PlaybackTest : public testing::Test {
protected:
    void SetUp() override {
        Saved = platform::MidiOutConfiguration();
        platform::MidiOutConfig config;
        config.TimeSource = &Clock;
        config.SoundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
        platform::ConfigureMidiOut(config);
    }
    void TearDown() override {
        platform::HoldCaptureCompletions(false);
        platform::ConfigureMidiOut(Saved);
    }

    // Calls pred until it holds, for up to 5 s; for hand-overs to other
    // threads, never for timing. pred may act (send) and is not called again
    // once it held.
    template <typename Pred>
    static bool Eventually(Pred pred) {
        for (int i = 0; i < 5000; ++i) {
            if (pred()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    platform::ManualClock Clock;

private:
    platform::MidiOutConfig Saved;
};
