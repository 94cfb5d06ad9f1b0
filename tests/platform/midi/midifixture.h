#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>

#include "platform/clock/manualclock.h"
#include "platform/midi/capture.h"
#include "platform/midi/midi.h"

// Every device test runs on its own manual clock and configuration, in a
// scratch folder, and leaves the layer as it found it.
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

    platform::ManualClock Clock;
    std::filesystem::path Dir;

private:
    platform::MidiOutConfig Saved;
};
