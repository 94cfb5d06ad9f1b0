#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/clock/manualclock.h"
#include "platform/midi/capture.h"
#include "platform/midi/midi.h"

// Every device and playback test runs on its own manual clock and
// configuration, with the capture device or the synthesizer, in a scratch
// folder, and leaves the MIDI layer as it found it.
class MidiLayerTest : public testing::Test {
protected:
    void SetUp() override {
        Saved = platform::MidiOutConfiguration();
        platform::MidiOutConfig config;
        config.TimeSource = &Clock;
        config.SoundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
        platform::ConfigureMidiOut(config);
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        Dir = std::filesystem::temp_directory_path() / ("orvalis-midi-" + std::to_string(getpid()) + "-" + name);
        std::filesystem::create_directories(Dir);
    }

    void TearDown() override {
        platform::HoldCaptureCompletions(false);
        platform::ConfigureMidiOut(Saved);
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }

    void Configure(const std::function<void(platform::MidiOutConfig&)>& change) {
        platform::MidiOutConfig config = platform::MidiOutConfiguration();
        change(config);
        platform::ConfigureMidiOut(config);
    }

    std::string PathOf(const std::string& name) const { return (Dir / name).string(); }

    static std::uint32_t Pack(int status, int data1 = 0, int data2 = 0) {
        return static_cast<std::uint32_t>(status | data1 << 8 | data2 << 16);
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
    std::filesystem::path Dir;

private:
    platform::MidiOutConfig Saved;
};
