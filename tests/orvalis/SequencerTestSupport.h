#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "PlaybackTestSupport.h"
#include "SmfBuilder.h"
#include "midiframework/midifile.h"
#include "midiframework/midioutput.h"
#include "orvalis/Sequencer.h"
#include "orvalis/SongTimeline.h"

namespace seqtest {

using namespace std::chrono_literals;

// One message as the capture device recorded it: "90 3C 64" and its time.
struct Sent {
    std::string Hex;
    std::int64_t TimeMs;
};

inline std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

// Keeps every notification; the tests read them after the step has finished.
class RecordingSink final : public orvalis::NotificationSink {
public:
    struct Note {
        std::uint32_t Message;
        std::uintptr_t WParam;
        bool operator==(const Note&) const = default;
    };
    void Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) noexcept override {
        std::lock_guard guard(Lock);
        Posted.push_back({message, wParam});
        EXPECT_EQ(lParam, 0);
    }
    std::vector<Note> Take() {
        std::lock_guard guard(Lock);
        return std::exchange(Posted, {});
    }
    int SongEnds() {
        std::lock_guard guard(Lock);
        int count = 0;
        for (const Note& n : Posted) {
            count += n.Message == orvalis::WM_SONG_END;
        }
        return count;
    }

private:
    std::mutex Lock;
    std::vector<Note> Posted;
};

// A song the reader cannot produce: tracks filled event by event.
class HandBuiltSong : public MIDI::File {
public:
    MIDI::Track& AddTrack() {
        Tracks[TrackCount] = new MIDI::Track();
        return *Tracks[TrackCount++];
    }
    static void Add(MIDI::Track& track, std::uint32_t tick, std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                    std::uint8_t data2) {
        MIDI::Event event{};
        event.tick = tick;
        event.kind = kind;
        event.channel = channel;
        event.data1 = data1;
        event.data2 = data2;
        track.AddEvent(event);
    }
    static void EndOfTrack(MIDI::Track& track, std::uint32_t tick) {
        MIDI::EventData data{MIDI::kMetaEndOfTrack, 0, nullptr};
        MIDI::Event event{};
        event.tick = tick;
        event.kind = MIDI::kMeta;
        event.aux.data = &data;
        track.AddEvent(event);
    }
};

inline std::unique_ptr<MIDI::File> Read(const smf::SmfBuilder& builder) {
    auto file = std::make_unique<MIDI::File>();
    const smf::Bytes bytes = builder.Build();
    file->LoadFromMemory(bytes.data(), bytes.size());
    return file;
}

// A sequencer on the manual clock, playing to the capture device.
class SequencerTest : public PlaybackTest {
protected:
    void SetUp() override {
        PlaybackTest::SetUp();
        ASSERT_EQ(Out.Open(platform::kCaptureDevice), 1) << platform::MidiOutLastError();
        Seq = std::make_unique<orvalis::Sequencer>(Out, &Clock);
        Seq->SetNotificationSink(&Notes);
    }
    void TearDown() override {
        Seq.reset();
        Out.Close();
        PlaybackTest::TearDown();
    }

    void Load(std::unique_ptr<MIDI::File> file) {
        orvalis::SongTimeline timeline;
        timeline.PrepareSong(*file);
        Seq->LoadSong(std::move(file), std::move(timeline));
    }
    void Load(const smf::SmfBuilder& builder) { Load(Read(builder)); }

    // n timer periods of the manual clock, each followed by its step.
    void Steps(int n) {
        for (int i = 0; i < n; ++i) {
            Clock.Advance(2ms);
        }
    }
    // Periods until the position has reached tick.
    void StepsUntil(double tick) {
        for (int guard = 0; Seq->GetPosition() < tick && guard < 1000000; ++guard) {
            Clock.Advance(2ms);
        }
    }

    // What was sent since the previous call.
    std::vector<Sent> TakeSent() {
        std::vector<Sent> fresh;
        auto all = platform::CapturedMessages();
        for (std::size_t i = Seen; i < all.size(); ++i) {
            fresh.push_back({Hex(all[i].Bytes), all[i].TimeNs / 1000000});
        }
        Seen = all.size();
        return fresh;
    }
    std::vector<std::string> TakeHex() {
        std::vector<std::string> hex;
        for (const Sent& s : TakeSent()) {
            hex.push_back(s.Hex);
        }
        return hex;
    }

    MidiOutput Out;
    RecordingSink Notes;
    std::unique_ptr<orvalis::Sequencer> Seq;

private:
    std::size_t Seen = 0;
};

// The release procedure's messages when only the given notes (channel, key)
// sound: sustain off on every channel, each channel's note-offs after it.
inline std::vector<std::string> ReleaseOf(const std::multimap<int, int>& sounding) {
    std::vector<std::string> out;
    for (int c = 0; c < 16; ++c) {
        char text[16];
        std::snprintf(text, sizeof text, "B%X 40 00", c);
        out.push_back(text);
        std::vector<int> keys;
        for (auto [first, last] = sounding.equal_range(c); first != last; ++first) {
            keys.push_back(first->second);
        }
        std::sort(keys.begin(), keys.end());
        for (int key : keys) {
            std::snprintf(text, sizeof text, "8%X %02X 40", c, key);
            out.push_back(text);
        }
    }
    return out;
}

// The restore procedure's messages for the given channel states (channels
// not named have the defaults).
inline std::vector<std::string> RestoreOf(const std::map<int, orvalis::ChannelState>& states) {
    using S = orvalis::ChannelState;
    std::vector<std::string> out;
    char text[16];
    // Program change and channel pressure carry one data byte.
    auto add = [&](int status, int d1, int d2) {
        if ((status & 0xE0) == 0xC0) {
            std::snprintf(text, sizeof text, "%02X %02X", status, d1);
        } else {
            std::snprintf(text, sizeof text, "%02X %02X %02X", status, d1, d2);
        }
        out.push_back(text);
    };
    for (int c = 0; c < 16; ++c) {
        auto found = states.find(c);
        const auto s = found == states.end() ? S::Defaults().Slots : found->second.Slots;
        if (s[S::kExpression] != -1) add(0xB0 | c, 11, s[S::kExpression]);
        if (s[S::kVolume] != -1) add(0xB0 | c, 7, s[S::kVolume]);
        if (s[S::kPan] != -1) add(0xB0 | c, 10, s[S::kPan]);
        add(0xB0 | c, 64, s[S::kSustain]);
        add(0xB0 | c, 0, s[S::kBankSelect]);
        if (s[S::kProgram] != -1) add(0xC0 | c, s[S::kProgram], 0);
        add(0xE0 | c, 0, s[S::kPitchBend]);
        add(0xD0 | c, s[S::kChannelPressure], 0);
    }
    return out;
}

inline orvalis::ChannelState StateWith(std::initializer_list<std::pair<int, int>> slots) {
    orvalis::ChannelState state = orvalis::ChannelState::Defaults();
    for (auto [slot, value] : slots) {
        state.Slots[slot] = value;
    }
    return state;
}

inline std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace seqtest
