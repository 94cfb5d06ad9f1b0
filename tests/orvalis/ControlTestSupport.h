#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "SmfBuilder.h"
#include "midifixture.h"
#include "orvalis/OrvalisIds.h"
#include "platform/automation/container.h"
#include "platform/automation/registration.h"
#include "platform/automation/registry.h"
#include "platform/clock/clock.h"
#include "platform/notice/notice.h"
#include "platform/window/window.h"

// The player control as a host sees it: the module registered in a scratch
// registry and loaded through it, controls made by ProgID and called by name,
// their events taken as they fire. The control's timer runs on the fixture's
// manual clock, and the capture device records what it sends.
namespace platform {
inline void PrintTo(const Variant& value, std::ostream* out) {
    *out << TypeName(value.Vt()) << " " << value.ToDisplayString();
}
}  // namespace platform

namespace controltest {

using namespace std::chrono_literals;
using platform::Variant;

// Generous: only a hang runs into it.
inline constexpr auto kPatience = std::chrono::milliseconds(20000);

// One event as a sink saw it.
struct Fired {
    std::string Name;
    std::vector<std::int32_t> Args;  // the four note values; none for SongEnd
    platform::DWORD Thread = 0;

    bool operator==(const Fired& other) const { return Name == other.Name && Args == other.Args; }
};

inline void PrintTo(const Fired& fired, std::ostream* out) {
    *out << fired.Name << "(";
    for (std::size_t i = 0; i < fired.Args.size(); ++i) *out << (i ? ", " : "") << fired.Args[i];
    *out << ")";
}

inline Fired Note(const char* name, int channel, int note, int velocity) {
    return Fired{name, {channel, note, velocity, 0}};
}

// Collects events from whatever thread fires them.
class EventLog {
public:
    platform::HostedControl::EventHandler Handler() {
        return [this](const platform::EventInfo& event, std::span<Variant> args) {
            Fired fired{event.Name, {}, platform::GetCurrentThreadId()};
            for (const Variant& arg : args) fired.Args.push_back(arg.Long());
            std::lock_guard guard(Lock);
            Events.push_back(std::move(fired));
        };
    }
    std::vector<Fired> Copy() const {
        std::lock_guard guard(Lock);
        return Events;
    }
    std::vector<Fired> Notes() const {
        std::vector<Fired> notes;
        for (Fired& fired : Copy()) {
            if (fired.Name != "SongEnd") notes.push_back(std::move(fired));
        }
        return notes;
    }
    std::size_t Count(const std::string& name) const {
        std::lock_guard guard(Lock);
        std::size_t count = 0;
        for (const Fired& fired : Events) count += fired.Name == name;
        return count;
    }
    void Clear() {
        std::lock_guard guard(Lock);
        Events.clear();
    }

private:
    mutable std::mutex Lock;
    std::vector<Fired> Events;
};

class ControlTest : public MidiLayerTest {
protected:
    void SetUp() override {
        MidiLayerTest::SetUp();
        platform::SetRegistryPath(PathOf("registry"));
        SavedClock = platform::SetDefaultClock(&Clock);
        std::string error;
        Module = platform::LoadedModule::Load(ORVALIS_MODULE, &error);
        ASSERT_TRUE(Module) << error;
        ASSERT_EQ(Module->RegisterServer(), platform::S_OK) << platform::AfxOleRegistrationError();
    }
    void TearDown() override {
        Module.reset();
        platform::SetDefaultClock(SavedClock);
        platform::SetRegistryPath("");
        MidiLayerTest::TearDown();
    }

    std::unique_ptr<platform::HostedControl> Create() {
        std::string error;
        auto control = platform::HostedControl::Create(orvalis::kOrvalisCtrlProgId, &error);
        EXPECT_TRUE(control) << error;
        return control;
    }

    // A control whose events go to log, which must outlive it.
    std::unique_ptr<platform::HostedControl> Create(EventLog& log) {
        auto control = Create();
        platform::DWORD cookie = 0;
        if (control) {
            EXPECT_EQ(control->Connect(log.Handler(), cookie), platform::S_OK);
        }
        return control;
    }

    // Calls a member by name, expecting the call itself to succeed; the result.
    static Variant Call(platform::HostedControl& control, std::string_view name, std::vector<Variant> args = {}) {
        Variant result;
        platform::DispatchError error;
        EXPECT_EQ(control.Call(name, args, &result, &error), platform::S_OK) << name << ": " << error.Description;
        return result;
    }
    static void Set(platform::HostedControl& control, std::string_view name, const Variant& value) {
        platform::DispatchError error;
        EXPECT_EQ(control.Set(name, value, &error), platform::S_OK) << name << ": " << error.Description;
    }
    static Variant Get(platform::HostedControl& control, std::string_view name) {
        Variant value;
        EXPECT_EQ(control.Get(name, value, nullptr), platform::S_OK) << name;
        return value;
    }

    std::string Write(const std::string& name, const smf::SmfBuilder& song) {
        const std::string path = PathOf(name);
        song.WriteTo(path);
        return path;
    }

    // Timer periods on the manual clock; each returns once its step is done.
    void Advance(int periods) {
        for (int i = 0; i < periods; ++i) Clock.Advance(2ms);
    }

    // The control's thread answers calls from handlers while it waits.
    static bool WaitFor(const std::function<bool()>& done) { return platform::PumpMessagesUntil(done, kPatience); }

    // Two bars of 4/4 at 125 beats per minute and 480 ticks per quarter, so
    // that a tick lasts 1 ms and a timer period adds exactly 2 ticks: a bar is
    // 960 periods, and the end (tick 3840) is passed in period 1921. Channel
    // 0 plays 60 at tick 0 and 62 at the second bar; channel 1 plays 40 at
    // tick 0, ended by a file note-on of velocity 0 at tick 240.
    std::string TwoBars() {
        smf::TrackBuilder t;
        t.Name(0, "Melody").Tempo(0, 480000);
        t.NoteOn(0, 0, 60, 100).NoteOn(0, 1, 40, 90).NoteOff(240, 0, 60, 70).NoteOn(0, 1, 40, 0);
        t.NoteOn(1680, 0, 62, 110).NoteOff(240, 0, 62).EndOfTrack(1680);
        return Write("two-bars.mid", smf::SmfBuilder(0).AddTrack(t));
    }

    // Two bars of 4/4 at 480 ticks per quarter: the first at 120 beats per
    // minute (2 s), the second at 240 (1 s); played at one tempo, the file
    // tempo (the last Set Tempo, 240) runs both, 2 s in all. Channel 0 takes
    // program 5 at tick 0, reverb 70 at tick 10 and NRPN 1/32 = 64 at tick 20
    // (none of them among the eight restored values but the program), and
    // plays 60 at tick 20 and 62 at the second bar.
    std::string TempoChangeAndEffects() {
        smf::TrackBuilder conductor;
        conductor.Tempo(0, 500000).Tempo(1920, 250000).EndOfTrack(1920);
        smf::TrackBuilder notes;
        notes.Program(0, 0, 5).Control(10, 0, 91, 70).Control(10, 0, 99, 1).Control(0, 0, 98, 32);
        notes.Control(0, 0, 6, 64).NoteOn(0, 0, 60, 100).NoteOff(240, 0, 60).NoteOn(1660, 0, 62, 100);
        notes.NoteOff(240, 0, 62).EndOfTrack(1680);
        return Write("tempo-effects.mid", smf::SmfBuilder(1).AddTrack(conductor).AddTrack(notes));
    }

    platform::NoticeCapture Notices;
    std::shared_ptr<platform::LoadedModule> Module;

private:
    platform::Clock* SavedClock = nullptr;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The capture device's recording as hex text, one message a line ("90 3C 64").
inline std::vector<std::string> CapturedHex() {
    std::vector<std::string> lines;
    for (const auto& message : platform::CapturedMessages()) {
        std::string line;
        char digits[4];
        for (std::size_t i = 0; i < message.Bytes.size(); ++i) {
            std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", message.Bytes[i]);
            line += digits;
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace controltest
