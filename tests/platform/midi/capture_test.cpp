#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "midifixture.h"
#include "platform/midi/capture.h"
#include "platform/midi/midi.h"
#include "platform/notice/notice.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

using CaptureDevice = MidiLayerTest;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return {};
    }
    std::string content(static_cast<std::size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    return content;
}

TEST_F(CaptureDevice, RecordsEachShortMessageWithTheBytesItsStatusCallsFor) {
    Clock.Advance(10ms);
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, platform::kCaptureDevice, nullptr, 0, platform::CALLBACK_NULL),
              platform::MMSYSERR_NOERROR);
    struct Case {
        std::uint32_t Packed;
        Bytes Expected;
    };
    const std::vector<Case> cases = {
        {Pack(0x90, 60, 100), {0x90, 60, 100}},  // note-on
        {Pack(0xC5, 7, 99), {0xC5, 7}},          // program change: one data byte
        {Pack(0xD0, 64, 1), {0xD0, 64}},         // channel pressure
        {Pack(0xE1, 0, 64), {0xE1, 0, 64}},      // pitch bend
        {Pack(0xF2, 1, 2), {0xF2, 1, 2}},        // song position
        {Pack(0xF3, 4, 9), {0xF3, 4}},           // song select
        {Pack(0xF8, 1, 2), {0xF8}},              // clock: status only
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::midiOutShortMsg(out, c.Packed), platform::MMSYSERR_NOERROR);
        Clock.Advance(2ms);
    }
    EXPECT_EQ(platform::midiOutShortMsg(out, Pack(0x3C, 100)), platform::MMSYSERR_INVALPARAM)
        << "a data byte cannot start a message";
    EXPECT_EQ(platform::midiOutShortMsg(out, Pack(0xF0, 1)), platform::MMSYSERR_INVALPARAM)
        << "system exclusive is a long message";

    auto recorded = platform::CapturedMessages();
    ASSERT_EQ(recorded.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(recorded[i].Bytes, cases[i].Expected) << "message " << i;
        EXPECT_EQ(recorded[i].TimeNs, static_cast<std::int64_t>(i) * 2000000) << "time counts from the open";
        EXPECT_FALSE(recorded[i].Long);
    }
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::CapturedMessages().size(), cases.size()) << "the recording outlives the device";
}

TEST_F(CaptureDevice, ServesOneClientAndStartsAFreshRecordingOnEachOpen) {
    platform::HMIDIOUT first = nullptr, second = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&first, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::midiOutOpen(&second, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_ALLOCATED);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(platform::MidiOutLastError().find("already open"), std::string::npos);
    platform::midiOutShortMsg(first, Pack(0x90, 1, 1));
    ASSERT_EQ(platform::midiOutClose(first), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::midiOutOpen(&second, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    EXPECT_TRUE(platform::CapturedMessages().empty());
    EXPECT_EQ(platform::midiOutClose(second), platform::MMSYSERR_NOERROR);
}

TEST_F(CaptureDevice, KeepsEveryMessageOfSeveralSendersAcrossItsStorageGrowth) {
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    constexpr int kSenders = 3;
    constexpr int kEach = 12000;  // more storage chunks than the device allocates at open
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i) {
                ASSERT_EQ(platform::midiOutShortMsg(out, Pack(0x90 | s, i % 128, i / 128)), platform::MMSYSERR_NOERROR);
                if (i % 512 == 0) {
                    // Room for the grower, as a real sender at 2 ms steps gives it.
                    std::this_thread::sleep_for(1ms);
                }
            }
        });
    }
    for (auto& t : senders) {
        t.join();
    }
    auto recorded = platform::CapturedMessages();
    ASSERT_EQ(recorded.size(), static_cast<std::size_t>(kSenders * kEach));
    EXPECT_EQ(platform::CapturedMessagesDropped(), 0u);
    std::vector<int> next(kSenders, 0);
    for (const auto& m : recorded) {
        int s = m.Bytes[0] & 0x0F;
        int i = next[s]++;
        ASSERT_EQ(m.Bytes, (Bytes{static_cast<std::uint8_t>(0x90 | s), static_cast<std::uint8_t>(i % 128),
                                  static_cast<std::uint8_t>(i / 128)}))
            << "each sender's messages are kept whole and in order";
    }
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
}

TEST_F(CaptureDevice, WritesATextLogAndAMidiFileOnClose) {
    Configure([&](platform::MidiOutConfig& c) {
        c.CaptureLogPath = PathOf("capture.txt");
        c.CaptureMidiPath = PathOf("capture.mid");
    });
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    char sysex[] = {'\xF0', '\x7E', '\x7F', '\x09', '\x01', '\xF7'};
    platform::MIDIHDR header;
    header.lpData = sysex;
    header.dwBufferLength = sizeof sysex;

    platform::midiOutShortMsg(out, Pack(0x90, 0x3C, 0x64));
    Clock.Advance(1ms);
    platform::midiOutShortMsg(out, Pack(0xC0, 5));
    Clock.Advance(1500us);
    ASSERT_EQ(platform::midiOutPrepareHeader(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::midiOutLongMsg(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
    Clock.Advance(500us);
    platform::midiOutShortMsg(out, Pack(0xF8));
    Clock.Advance(12345us);
    platform::midiOutShortMsg(out, Pack(0x80, 0x3C, 0x40));
    while (header.dwFlags & platform::MHDR_INQUEUE) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(platform::midiOutUnprepareHeader(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);

    EXPECT_EQ(ReadAll(PathOf("capture.txt")),
              "0.000\t90 3C 64\n"
              "1.000\tC0 05\n"
              "2.500\tF0 7E 7F 09 01 F7\n"
              "3.000\tF8\n"
              "15.345\t80 3C 40\n");

    // Format 0, 1000 ticks a quarter at 120 bpm: a tick is half a millisecond.
    const std::string track = std::string("\x00\xFF\x51\x03\x07\xA1\x20", 7) +      // tempo 500000 us
                              std::string("\x00\x90\x3C\x64", 4) +                  // 0 ms
                              std::string("\x02\xC0\x05", 3) +                      // 1 ms
                              std::string("\x03\xF0\x05\x7E\x7F\x09\x01\xF7", 8) +  // 2.5 ms, no F0 in the length
                              std::string("\x01\xF7\x01\xF8", 4) +  // 3 ms, escaped: F8 is not a file event
                              std::string("\x19\x80\x3C\x40", 4) +  // 15.345 ms is tick 31: delta 25
                              std::string("\x00\xFF\x2F\x00", 4);
    const std::string expected = std::string("MThd\x00\x00\x00\x06\x00\x00\x00\x01\x03\xE8", 14) + "MTrk" +
                                 std::string("\x00\x00\x00", 3) + static_cast<char>(track.size()) + track;
    EXPECT_EQ(ReadAll(PathOf("capture.mid")), expected);
}

TEST_F(CaptureDevice, ReportsALogItCannotWriteAndStillCloses) {
    Configure([&](platform::MidiOutConfig& c) { c.CaptureLogPath = PathOf("missing/folder/capture.txt"); });
    platform::NoticeCapture notices;
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    platform::midiOutShortMsg(out, Pack(0x90, 1, 1));
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(notices.Count(), 1u);
    EXPECT_NE(notices.Texts()[0].find("capture log was not saved"), std::string::npos) << notices.Texts()[0];
    EXPECT_NE(notices.Texts()[0].find("missing/folder/capture.txt"), std::string::npos);
}

TEST_F(CaptureDevice, TheDefaultDeviceIsTheOneTheHostConfigured) {
    Configure([](platform::MidiOutConfig& c) { c.DefaultDevice = platform::kCaptureDevice; });
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, platform::MIDI_MAPPER, nullptr, 0, platform::CALLBACK_NULL),
              platform::MMSYSERR_NOERROR);
    platform::midiOutShortMsg(out, Pack(0xB0, 7, 100));
    ASSERT_EQ(platform::CapturedMessages().size(), 1u);
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
}

}  // namespace
