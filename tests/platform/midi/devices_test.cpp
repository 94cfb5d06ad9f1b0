#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "midifixture.h"
#include "platform/midi/capture.h"
#include "platform/midi/midi.h"
#include "platform/midi/portbackend.h"
#include "platform/notice/notice.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

using MidiDevices = MidiLayerTest;
using LongMessages = MidiLayerTest;

TEST_F(MidiDevices, WithoutASequencerListTheTwoBuiltInDevicesAndPrintNothing) {
    platform::NoticeCapture notices;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    auto devices = platform::EnumerateMidiOutDevices();
    std::uint32_t count = platform::midiOutGetNumDevs();
    platform::HMIDIOUT out = nullptr;
    platform::MMRESULT port = platform::midiOutOpen(&out, 2, nullptr, 0, platform::CALLBACK_NULL);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(notices.Count(), 0u);

    ASSERT_EQ(devices.size(), 2u) << "this machine has no ALSA sequencer";
    EXPECT_EQ(devices[0].Number, 0);
    EXPECT_EQ(devices[0].Name, "Software synthesizer");
    EXPECT_EQ(devices[1].Number, 1);
    EXPECT_EQ(devices[1].Name, "Capture");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(port, platform::MMSYSERR_BADDEVICEID);
}

TEST_F(MidiDevices, OpenRefusesBadArgumentsWithAReason) {
    platform::HMIDIOUT out = nullptr;
    for (int device : {-2, 2, 99}) {
        EXPECT_EQ(platform::midiOutOpen(&out, device, nullptr, 0, platform::CALLBACK_NULL),
                  platform::MMSYSERR_BADDEVICEID)
            << device;
        EXPECT_EQ(out, nullptr);
        EXPECT_NE(platform::MidiOutLastError().find(std::to_string(device)), std::string::npos);
    }
    EXPECT_EQ(platform::midiOutOpen(nullptr, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_INVALPARAM);
    EXPECT_EQ(platform::midiOutOpen(&out, 1, nullptr, 0, 0x50000), platform::MMSYSERR_INVALFLAG);
    EXPECT_EQ(platform::midiOutOpen(&out, 1, nullptr, 0, platform::CALLBACK_FUNCTION), platform::MMSYSERR_INVALPARAM)
        << "a function callback without a function";
}

TEST_F(MidiDevices, AHandleKeptAfterCloseIsRefusedByEveryCall) {
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
    // The slot is reused by the next open; the old handle must not reach it.
    platform::HMIDIOUT next = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&next, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    char data[] = {'\xF0', '\xF7'};
    platform::MIDIHDR header;
    header.lpData = data;
    header.dwBufferLength = 2;
    EXPECT_EQ(platform::midiOutShortMsg(out, Pack(0x90, 60, 1)), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::midiOutPrepareHeader(out, &header, sizeof header), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::midiOutLongMsg(out, &header, sizeof header), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::midiOutReset(out), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::midiOutShortMsg(nullptr, Pack(0x90, 60, 1)), platform::MMSYSERR_INVALHANDLE);
    EXPECT_TRUE(platform::CapturedMessages().empty()) << "nothing reached the new device";
    EXPECT_EQ(platform::midiOutClose(next), platform::MMSYSERR_NOERROR);
}

TEST_F(MidiDevices, ACloseWaitsForASendInProgressOnAnotherThread) {
    // Sends from a second thread race the close: each either lands whole or
    // is refused; none may touch a device that is being freed.
    for (int round = 0; round < 20; ++round) {
        platform::HMIDIOUT out = nullptr;
        ASSERT_EQ(platform::midiOutOpen(&out, 1, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
        std::atomic<bool> go{false};
        std::atomic<int> refused{0};
        std::thread sender([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 2000; ++i) {
                if (platform::midiOutShortMsg(out, Pack(0x90, 1, 1)) == platform::MMSYSERR_INVALHANDLE) {
                    refused.fetch_add(1);
                }
            }
        });
        go = true;
        EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
        sender.join();
        EXPECT_EQ(platform::CapturedMessages().size() + static_cast<std::size_t>(refused.load()), 2000u);
    }
}

struct Completion {
    std::mutex Lock;
    std::vector<platform::MIDIHDR*> Done;
    std::vector<std::thread::id> Threads;
    std::vector<std::uint32_t> Other;
};

void OnMidi(platform::HMIDIOUT, std::uint32_t message, std::uintptr_t instance, std::uintptr_t param1, std::uintptr_t) {
    auto* c = reinterpret_cast<Completion*>(instance);
    std::lock_guard guard(c->Lock);
    if (message == platform::MOM_DONE) {
        c->Done.push_back(reinterpret_cast<platform::MIDIHDR*>(param1));
        c->Threads.push_back(std::this_thread::get_id());
    } else {
        c->Other.push_back(message);
    }
}

TEST_F(LongMessages, CompleteOnTheDevicesThreadOncePerMessageInOrder) {
    Completion completion;
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 1, &OnMidi, reinterpret_cast<std::uintptr_t>(&completion),
                                    platform::CALLBACK_FUNCTION),
              platform::MMSYSERR_NOERROR);
    char data[3][4] = {{'\xF0', 1, 2, '\xF7'}, {'\xF0', 3, 4, '\xF7'}, {'\xF0', 5, 6, '\xF7'}};
    platform::MIDIHDR headers[3];
    for (int i = 0; i < 3; ++i) {
        headers[i].lpData = data[i];
        headers[i].dwBufferLength = 4;
        EXPECT_EQ(platform::midiOutLongMsg(out, &headers[i], sizeof(platform::MIDIHDR)), platform::MIDIERR_UNPREPARED);
        ASSERT_EQ(platform::midiOutPrepareHeader(out, &headers[i], sizeof(platform::MIDIHDR)),
                  platform::MMSYSERR_NOERROR);
        ASSERT_EQ(platform::midiOutLongMsg(out, &headers[i], sizeof(platform::MIDIHDR)), platform::MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard guard(completion.Lock);
        return completion.Done.size() == 3;
    }));
    {
        std::lock_guard guard(completion.Lock);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(completion.Done[i], &headers[i]);
            EXPECT_NE(completion.Threads[i], std::this_thread::get_id()) << "never on the caller's thread";
            EXPECT_EQ(headers[i].dwFlags & (platform::MHDR_DONE | platform::MHDR_INQUEUE), platform::MHDR_DONE);
        }
        EXPECT_TRUE(completion.Other.empty());
    }
    auto recorded = platform::CapturedMessages();
    EXPECT_EQ(recorded.size(), 3u);
    if (recorded.size() == 3u) {
        EXPECT_EQ(recorded[1].Bytes, (Bytes{0xF0, 3, 4, 0xF7}));
        EXPECT_TRUE(recorded[1].Long);
    }
    for (auto& h : headers) {
        EXPECT_EQ(platform::midiOutUnprepareHeader(out, &h, sizeof h), platform::MMSYSERR_NOERROR);
    }
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
}

TEST_F(LongMessages, AQueuedMessageKeepsItsHeaderAndTheDeviceBusy) {
    platform::HoldCaptureCompletions(true);
    Completion completion;
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 1, &OnMidi, reinterpret_cast<std::uintptr_t>(&completion),
                                    platform::CALLBACK_FUNCTION),
              platform::MMSYSERR_NOERROR);
    char data[] = {'\xF0', 1, '\xF7'};
    platform::MIDIHDR header;
    header.lpData = data;
    header.dwBufferLength = 3;
    ASSERT_EQ(platform::midiOutPrepareHeader(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::midiOutLongMsg(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::midiOutLongMsg(out, &header, sizeof header), platform::MIDIERR_STILLPLAYING);
    EXPECT_EQ(platform::midiOutUnprepareHeader(out, &header, sizeof header), platform::MIDIERR_STILLPLAYING);
    EXPECT_EQ(platform::midiOutClose(out), platform::MIDIERR_STILLPLAYING);
    EXPECT_EQ(platform::midiOutShortMsg(out, Pack(0x90, 2, 2)), platform::MMSYSERR_NOERROR)
        << "a refused close leaves the device open";
    EXPECT_EQ(platform::QueuedCaptureMessages(), 1);

    EXPECT_EQ(platform::ReleaseCaptureCompletions(5), 1) << "only what is queued can be released";
    ASSERT_TRUE(Eventually([&] { return platform::QueuedCaptureMessages() == 0; }));
    EXPECT_EQ(platform::midiOutUnprepareHeader(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
    std::lock_guard guard(completion.Lock);
    EXPECT_EQ(completion.Done.size(), 1u);
}

TEST_F(LongMessages, ResetFinishesEveryQueuedMessageAtOnce) {
    platform::HoldCaptureCompletions(true);
    Completion completion;
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 1, &OnMidi, reinterpret_cast<std::uintptr_t>(&completion),
                                    platform::CALLBACK_FUNCTION),
              platform::MMSYSERR_NOERROR);
    char data[] = {'\xF0', 1, '\xF7'};
    platform::MIDIHDR headers[4];
    for (auto& h : headers) {
        h.lpData = data;
        h.dwBufferLength = 3;
        platform::midiOutPrepareHeader(out, &h, sizeof h);
        ASSERT_EQ(platform::midiOutLongMsg(out, &h, sizeof h), platform::MMSYSERR_NOERROR);
    }
    EXPECT_EQ(platform::midiOutReset(out), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::QueuedCaptureMessages(), 0);
    {
        std::lock_guard guard(completion.Lock);
        EXPECT_EQ(completion.Done.size(), 4u) << "each message still gets its completion";
    }
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
}

// A system port stand-in: what RtMidi would give on a machine with ports.
class FakePorts : public platform::MidiPortBackend {
public:
    struct Port {
        std::mutex Lock;
        std::vector<Bytes> Sent;
        bool Refuse = false;
    };

    std::vector<std::string> PortNames() noexcept override { return Names; }

    std::unique_ptr<platform::MidiPortConnection> Open(std::size_t index, std::string& error) noexcept override {
        if (index == FailingIndex) {
            error = "port busy";
            return nullptr;
        }
        class Connection : public platform::MidiPortConnection {
        public:
            explicit Connection(Port& p) : P(p) {}
            bool Send(const std::uint8_t* bytes, std::size_t length) noexcept override {
                std::lock_guard guard(P.Lock);
                if (P.Refuse) {
                    return false;
                }
                P.Sent.emplace_back(bytes, bytes + length);
                return true;
            }

        private:
            Port& P;
        };
        return std::make_unique<Connection>(Ports[index]);
    }

    std::vector<std::string> Names = {"Synth A:out 128:0", "Synth B:out 129:0", "Broken 130:0"};
    Port Ports[3];
    std::size_t FailingIndex = 2;
};

class SystemPortsTest : public MidiLayerTest {
protected:
    void SetUp() override {
        MidiLayerTest::SetUp();
        Previous = platform::SetMidiPortBackend(Fake);
    }
    void TearDown() override {
        platform::SetMidiPortBackend(Previous);
        MidiLayerTest::TearDown();
    }
    std::shared_ptr<FakePorts> Fake = std::make_shared<FakePorts>();
    std::shared_ptr<platform::MidiPortBackend> Previous;
};

TEST_F(SystemPortsTest, AreNumberedFromTwoAndNamedAsTheSystemNamesThem) {
    auto devices = platform::EnumerateMidiOutDevices();
    ASSERT_EQ(devices.size(), 5u);
    EXPECT_EQ(devices[2].Number, 2);
    EXPECT_EQ(devices[2].Name, "Synth A:out 128:0");
    EXPECT_EQ(devices[4].Number, 4);
    EXPECT_EQ(platform::midiOutGetNumDevs(), 5u);
    platform::HMIDIOUT out = nullptr;
    EXPECT_EQ(platform::midiOutOpen(&out, 5, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_BADDEVICEID);
    EXPECT_EQ(platform::midiOutOpen(&out, 4, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NODRIVER);
    EXPECT_EQ(platform::MidiOutLastError(), "port busy");
}

TEST_F(SystemPortsTest, ReceiveShortAndLongMessagesWhole) {
    Completion completion;
    platform::HMIDIOUT out = nullptr;
    ASSERT_EQ(platform::midiOutOpen(&out, 3, &OnMidi, reinterpret_cast<std::uintptr_t>(&completion),
                                    platform::CALLBACK_FUNCTION),
              platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::midiOutShortMsg(out, Pack(0x91, 64, 90)), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(platform::midiOutShortMsg(out, Pack(0xC1, 12, 77)), platform::MMSYSERR_NOERROR);
    char sysex[] = {'\xF0', '\x41', '\x10', '\xF7'};
    platform::MIDIHDR header;
    header.lpData = sysex;
    header.dwBufferLength = 4;
    platform::midiOutPrepareHeader(out, &header, sizeof header);
    EXPECT_EQ(platform::midiOutLongMsg(out, &header, sizeof header), platform::MMSYSERR_NOERROR);
    ASSERT_TRUE(Eventually([&] { return (header.dwFlags & platform::MHDR_DONE) != 0; }));
    {
        FakePorts::Port& port = Fake->Ports[1];
        std::lock_guard guard(port.Lock);
        ASSERT_EQ(port.Sent.size(), 3u);
        EXPECT_EQ(port.Sent[0], (Bytes{0x91, 64, 90}));
        EXPECT_EQ(port.Sent[1], (Bytes{0xC1, 12}));
        EXPECT_EQ(port.Sent[2], (Bytes{0xF0, 0x41, 0x10, 0xF7}));
        port.Refuse = true;
    }
    EXPECT_EQ(platform::midiOutShortMsg(out, Pack(0x91, 64, 0)), platform::MMSYSERR_ERROR)
        << "a refusal of the system is reported";
    {
        std::lock_guard guard(Fake->Ports[1].Lock);
        Fake->Ports[1].Refuse = false;
    }
    EXPECT_EQ(platform::midiOutReset(out), platform::MMSYSERR_NOERROR);
    {
        std::lock_guard guard(Fake->Ports[1].Lock);
        ASSERT_EQ(Fake->Ports[1].Sent.size(), 3u + 16u) << "reset silences all 16 channels";
        EXPECT_EQ(Fake->Ports[1].Sent.back(), (Bytes{0xBF, 123, 0}));
    }
    platform::midiOutUnprepareHeader(out, &header, sizeof header);
    EXPECT_EQ(platform::midiOutClose(out), platform::MMSYSERR_NOERROR);
}

}  // namespace
