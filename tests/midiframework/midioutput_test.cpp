#include "midiframework/midioutput.h"

#include <gtest/gtest.h>

#include <array>
#include <future>
#include <memory>
#include <vector>

#include "PlaybackTestSupport.h"
#include "platform/midi/capture.h"
#include "platform/notice/notice.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Distinct system exclusive messages, alive for the whole test.
struct Messages {
    explicit Messages(int count) : Data(static_cast<std::size_t>(count)) {
        for (int i = 0; i < count; ++i) {
            Data[i] = {0xF0, static_cast<std::uint8_t>(i % 128), static_cast<std::uint8_t>(i / 128), 0xF7};
        }
    }
    const std::uint8_t* operator[](int i) const { return Data[static_cast<std::size_t>(i)].data(); }
    std::vector<std::array<std::uint8_t, 4>> Data;
};

std::vector<Bytes> LongMessagesCaptured() {
    std::vector<Bytes> out;
    for (auto& m : platform::CapturedMessages()) {
        if (m.Long) {
            out.push_back(m.Bytes);
        }
    }
    return out;
}

Bytes Sysex(int i) { return {0xF0, static_cast<std::uint8_t>(i % 128), static_cast<std::uint8_t>(i / 128), 0xF7}; }

using MidiOutputRing = PlaybackTest;
using MidiOutputPort = PlaybackTest;

TEST_F(MidiOutputRing, HoldsThirtyOneMessagesAndRefusesTheThirtySecondUnsent) {
    platform::HoldCaptureCompletions(true);
    Messages messages(40);
    MidiOutput out;
    ASSERT_EQ(out.Open(platform::kCaptureDevice), 1);
    for (int i = 0; i < 31; ++i) {
        ASSERT_EQ(out.SendLong(messages[i], 4), platform::MMSYSERR_NOERROR) << "message " << i;
    }
    // Refused with a result that says so: 0 would read as "queued".
    EXPECT_EQ(out.SendLong(messages[31], 4), platform::MIDIERR_NOTREADY);
    EXPECT_EQ(platform::QueuedCaptureMessages(), 31) << "the refused message never reached the device";

    ASSERT_EQ(platform::ReleaseCaptureCompletions(1), 1);
    // The completion thread frees the oldest slot; then there is room again.
    ASSERT_TRUE(Eventually([&] { return out.SendLong(messages[32], 4) == platform::MMSYSERR_NOERROR; }));
    EXPECT_EQ(out.SendLong(messages[33], 4), platform::MIDIERR_NOTREADY);

    platform::HoldCaptureCompletions(false);
    EXPECT_EQ(out.Close(), 1);
    auto sent = LongMessagesCaptured();
    ASSERT_EQ(sent.size(), 32u);
    EXPECT_EQ(sent[30], Sysex(30));
    EXPECT_EQ(sent[31], Sysex(32)) << "message 31 was dropped, not sent late";
}

TEST_F(MidiOutputRing, AnEndlessStreamThatCompletesKeepsFlowing) {
    constexpr int kCount = 500;  // the ring goes round more than 15 times
    Messages messages(kCount);
    MidiOutput out;
    ASSERT_EQ(out.Open(platform::kCaptureDevice), 1);
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(Eventually([&] {
            platform::MMRESULT r = out.SendLong(messages[i], 4);
            EXPECT_TRUE(r == platform::MMSYSERR_NOERROR || r == platform::MIDIERR_NOTREADY) << r;
            return r == platform::MMSYSERR_NOERROR;
        })) << "the ring stopped moving at message "
            << i;
    }
    EXPECT_EQ(out.Close(), 1);
    auto sent = LongMessagesCaptured();
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(sent[static_cast<std::size_t>(i)], Sysex(i)) << "in order, each once";
    }
}

TEST_F(MidiOutputRing, CloseWaitsUntilTheDeviceHasFinishedItsMessages) {
    platform::HoldCaptureCompletions(true);
    platform::NoticeCapture notices;
    Messages messages(3);
    MidiOutput out;
    ASSERT_EQ(out.Open(platform::kCaptureDevice), 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(out.SendLong(messages[i], 4), platform::MMSYSERR_NOERROR);
    }
    auto closing = std::async(std::launch::async, [&] { return out.Close(); });
    EXPECT_EQ(closing.wait_for(100ms), std::future_status::timeout) << "closed with messages still queued";
    EXPECT_EQ(platform::ReleaseCaptureCompletions(3), 3);
    ASSERT_EQ(closing.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(closing.get(), 1);
    EXPECT_EQ(LongMessagesCaptured().size(), 3u);
    EXPECT_EQ(notices.Count(), 0u);
}

TEST_F(MidiOutputRing, CloseGivesUpOnADeviceThatNeverFinishesAndSaysSo) {
    platform::HoldCaptureCompletions(true);
    platform::NoticeCapture notices;
    Messages messages(4);
    MidiOutput out;
    out.SetCloseLimit(100ms);
    ASSERT_EQ(out.Open(platform::kCaptureDevice), 1);
    ASSERT_EQ(out.SendLong(messages[0], 4), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(out.SendLong(messages[1], 4), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(out.Close(), 1);
    ASSERT_EQ(notices.Count(), 1u);
    EXPECT_NE(notices.Texts()[0].find("within 100 ms"), std::string::npos) << notices.Texts()[0];
    EXPECT_NE(notices.Texts()[0].find("was closed"), std::string::npos) << notices.Texts()[0];
    EXPECT_FALSE(out.PortOpen());

    // The device was really let go, and the ring starts over clean.
    platform::HoldCaptureCompletions(false);
    ASSERT_EQ(out.Open(platform::kCaptureDevice), 1);
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(Eventually([&] { return out.SendLong(messages[2], 4) == platform::MMSYSERR_NOERROR; }));
    }
    EXPECT_EQ(out.Close(), 1);
    EXPECT_EQ(notices.Count(), 1u);
}

TEST_F(MidiOutputRing, DestroyingAnOpenPortClosesItAndEndsTheCompletionThread) {
    platform::HoldCaptureCompletions(true);
    platform::NoticeCapture notices;
    Messages messages(1);
    {
        MidiOutput out;
        out.SetCloseLimit(50ms);
        ASSERT_EQ(out.Open(platform::kCaptureDevice), 1);
        ASSERT_EQ(out.SendLong(messages[0], 4), platform::MMSYSERR_NOERROR);
    }
    EXPECT_EQ(notices.Count(), 1u) << "the stuck message was reported";
    platform::HMIDIOUT again = nullptr;
    EXPECT_EQ(platform::midiOutOpen(&again, platform::kCaptureDevice, nullptr, 0, platform::CALLBACK_NULL),
              platform::MMSYSERR_NOERROR)
        << "the capture device was released";
    platform::midiOutClose(again);
}

TEST_F(MidiOutputPort, OpenAndCloseFollowTheirResults) {
    int ready = -1;
    MidiOutput out(&ready);
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(out.Close(), 0) << "close without open";
    EXPECT_EQ(out.Open(99), 0) << "no such device";
    EXPECT_FALSE(out.PortOpen());
    EXPECT_EQ(out.Open(platform::kCaptureDevice), 1) << "a failed open leaves the port usable";
    EXPECT_EQ(out.Open(platform::kSynthesizerDevice), 1) << "a second open keeps the first device";
    EXPECT_EQ(out.SendShort(0x90, 60, 100), platform::MMSYSERR_NOERROR);
    auto captured = platform::CapturedMessages();
    ASSERT_EQ(captured.size(), 1u) << "the message went to the capture device";
    EXPECT_EQ(captured[0].Bytes, (Bytes{0x90, 60, 100}));
    EXPECT_EQ(out.Close(), 1);
    EXPECT_EQ(out.Close(), 0) << "close twice";
    EXPECT_EQ(out.SendShort(0x80, 60, 0), platform::MMSYSERR_INVALHANDLE) << "refused, not sent";
    EXPECT_EQ(out.SendLong(Sysex(1).data(), 4), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::CapturedMessages().size(), 1u);
}

TEST_F(MidiOutputPort, SurvivesManyOpenCloseCyclesWithLongMessages) {
    Messages messages(50);
    MidiOutput out;
    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_EQ(out.Open(platform::kCaptureDevice), 1);
        for (int i = 0; i < 50; ++i) {
            ASSERT_TRUE(Eventually([&] { return out.SendLong(messages[i], 4) == platform::MMSYSERR_NOERROR; }));
        }
        ASSERT_EQ(out.Close(), 1);
        EXPECT_EQ(LongMessagesCaptured().size(), 50u) << "cycle " << cycle;
    }
}

}  // namespace
