// Soak of the player control: a dense song looping for minutes under random
// host calls (loads, seeks, loops, tempos, mutes, stops, plays, port closes
// and reopens, the Monitor switch), as a host would make them, with the
// capture device as the output. Reports the memory the process holds at the
// start and at the end, the notes left sounding after each stop, and the
// worst lateness of the 2 ms step.
//
// The lateness comes from the clock the control runs on: the bench makes it
// the default clock, a thin layer over the real one that notes, each time the
// control's timer worker reads the time after a pulse, how long after the
// pulse's deadline that is.

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ScratchHost.h"
#include "SmfBuilder.h"
#include "orvalis/OrvalisIds.h"
#include "platform/clock/clock.h"
#include "platform/clock/pulse.h"
#include "platform/midi/capture.h"
#include "platform/midi/midi.h"
#include "platform/window/window.h"

namespace {

using platform::Variant;
using namespace std::chrono_literals;

constexpr int kDivision = 960;
constexpr int kBars = 24;
constexpr int kTicksPerBar = 4 * kDivision;
// At 40 beats per minute a 2 ms step still crosses a tick, and every tick of
// the song holds an event: every step sends something.
constexpr double kSlowestTempo = 40.0;
constexpr double kFastestTempo = 240.0;
// The port is closed and opened again this often at the latest, so that the
// capture device's recording (a few thousand messages a second) stays small.
constexpr auto kLongestSession = std::chrono::seconds(15);

// A step later than this counts as late: it ran after the next deadline.
constexpr std::int64_t kLateNs = 2000000;
// The host calls the soak makes, so that a late step can be laid at the door
// of the call under way (or of none).
constexpr const char* kCallNames[] = {"(none)", "SetFileName", "Seek", "loop",    "SetTempo",    "SetSongTempo",
                                      "Mute",   "Stop",        "Play", "Monitor", "port reopen", "polls"};
constexpr int kCalls = static_cast<int>(std::size(kCallNames));

// The real clock, with the lateness of the timer worker's steps noted.
class LatenessClock final : public platform::Clock {
public:
    // The host call under way, by its index in kCallNames (0: none). Written
    // by the host's thread, read by the timer worker.
    std::atomic<int> CurrentCall{0};
    std::uint64_t LateDuring(int call) const noexcept { return Late[call].load(std::memory_order_relaxed); }

    std::int64_t NowNs() const noexcept override {
        const std::int64_t now = platform::RealClock().NowNs();
        if (IsTimerWorker()) Note(now);
        return now;
    }

    std::int64_t WorstNs() const noexcept { return Worst.load(std::memory_order_relaxed); }
    std::uint64_t Steps() const noexcept { return Samples.load(std::memory_order_relaxed); }
    std::uint64_t Skipped() const noexcept { return Missed.load(std::memory_order_relaxed); }

protected:
    std::unique_ptr<PeriodicSource> StartPeriodic(std::int64_t periodNs,
                                                  std::shared_ptr<platform::PulseEvent> event) override {
        const auto periodMs = static_cast<std::uint32_t>(periodNs / 1000000);
        const std::uint32_t id = platform::RealClock().SetEvent(
            periodMs, 0, event, platform::TIME_PERIODIC | platform::TIME_CALLBACK_EVENT_PULSE);
        if (id == 0) return nullptr;
        Event.store(event);
        Period.store(periodNs, std::memory_order_relaxed);
        LastDeadline.store(0, std::memory_order_relaxed);
        return std::make_unique<Source>(id);
    }

private:
    class Source final : public PeriodicSource {
    public:
        explicit Source(std::uint32_t id) : Id(id) {}
        ~Source() override { platform::RealClock().KillEvent(Id); }

    private:
        std::uint32_t Id;
    };

    // The worker's first reading after a new deadline is the one it takes
    // right after the pulse woke it.
    void Note(std::int64_t now) const noexcept {
        const std::shared_ptr<platform::PulseEvent> event = Event.load();
        if (!event) return;
        const std::int64_t deadline = event->LastDeadlineNs();
        const std::int64_t previous = LastDeadline.exchange(deadline, std::memory_order_relaxed);
        if (deadline == previous || deadline == 0) return;
        const std::int64_t period = Period.load(std::memory_order_relaxed);
        if (previous != 0 && period > 0 && deadline - previous > period + period / 2) {
            Missed.fetch_add(static_cast<std::uint64_t>((deadline - previous) / period - 1), std::memory_order_relaxed);
        }
        Samples.fetch_add(1, std::memory_order_relaxed);
        const std::int64_t late = now - deadline;
        if (late > kLateNs) Late[CurrentCall.load(std::memory_order_relaxed)].fetch_add(1, std::memory_order_relaxed);
        std::int64_t worst = Worst.load(std::memory_order_relaxed);
        while (late > worst && !Worst.compare_exchange_weak(worst, late, std::memory_order_relaxed)) {
        }
    }

    static bool IsTimerWorker() noexcept {
        thread_local int known = -1;
        if (known < 0) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            known = std::strcmp(name, "timer worker") == 0 ? 1 : 0;
        }
        return known == 1;
    }

    // Set by the host's Play, read by the timer worker.
    std::atomic<std::shared_ptr<platform::PulseEvent>> Event;
    std::atomic<std::int64_t> Period{0};
    // Written by the timer worker only.
    mutable std::atomic<std::int64_t> LastDeadline{0};
    mutable std::atomic<std::int64_t> Worst{0};
    mutable std::atomic<std::uint64_t> Samples{0};
    mutable std::atomic<std::uint64_t> Missed{0};
    mutable std::array<std::atomic<std::uint64_t>, kCalls> Late{};
};

// Sixteen tracks, one a channel, with an event on every tick of the song:
// channel c strikes a note on ticks c, c + 32, ... and releases it 16 ticks
// later; every bar each channel moves a controller and the pitch wheel.
std::string WriteSong(const std::string& folder, const std::string& name, int keyOffset, int numerator) {
    smf::SmfBuilder song(1, kDivision);
    smf::TrackBuilder conductor;
    conductor.Name(0, "Conductor").Tempo(0, 500000).TimeSignature(0, numerator, 2).EndOfTrack(kBars * kTicksPerBar);
    song.AddTrack(conductor);
    for (int channel = 0; channel < 16; ++channel) {
        smf::TrackBuilder track;
        track.Name(0, "Channel " + std::to_string(channel + 1)).Program(0, channel, (channel * 7 + keyOffset) % 128);
        int at = 0;
        for (int start = channel; start + 16 < kBars * kTicksPerBar; start += 32) {
            const int key = 36 + (start / 32 * 5 + channel * 3 + keyOffset) % 60;
            track.NoteOn(start - at, channel, key, 40 + (start / 32) % 80).NoteOff(16, channel, key);
            at = start + 16;
            if (start % kTicksPerBar == channel) {
                track.Control(0, channel, 7, 60 + (start / kTicksPerBar * 11) % 60)
                    .PitchBend(0, channel, 0x2000 + (start / kTicksPerBar % 5 - 2) * 500);
            }
        }
        track.EndOfTrack(kBars * kTicksPerBar - at);
        song.AddTrack(track);
    }
    std::string path = folder + "/" + name;
    song.WriteTo(path);
    return path;
}

int CallIndex(std::string_view member) {
    if (member == "SetLoopStart" || member == "SetLoopEnd" || member == "EnableLoop") member = "loop";
    if (member == "MuteTrackByNumber") member = "Mute";
    if (member == "OpenMidiPort" || member == "CloseMidiPort") member = "port reopen";
    if (member.rfind("Poll", 0) == 0 || member.rfind("Get", 0) == 0) member = "polls";
    for (int i = 1; i < kCalls; ++i) {
        if (member == kCallNames[i]) return i;
    }
    return 0;
}

std::int64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// Notes the current capture session left sounding: struck and never released.
int SoundingInCapture() {
    std::array<std::array<bool, 128>, 16> on{};
    for (const platform::CapturedMessage& m : platform::CapturedMessages()) {
        if (m.Long || m.Bytes.size() != 3) continue;
        const int kind = m.Bytes[0] & 0xF0, channel = m.Bytes[0] & 0x0F, key = m.Bytes[1] & 0x7F;
        if (kind == 0x90 && m.Bytes[2] > 0) on[channel][key] = true;
        if (kind == 0x80 || (kind == 0x90 && m.Bytes[2] == 0)) on[channel][key] = false;
    }
    int count = 0;
    for (const auto& channel : on) count += static_cast<int>(std::count(channel.begin(), channel.end(), true));
    return count;
}

struct Tally {
    std::uint64_t Calls = 0, Loads = 0, Seeks = 0, Loops = 0, Tempos = 0, Mutes = 0, Stops = 0, Plays = 0, Reopens = 0,
                  Failed = 0;
    std::uint64_t StuckNotes = 0;     // left sounding after a stop, in the capture
    std::uint64_t PolyAfterStop = 0;  // stops after which GetPolyCount was not 0
    std::uint64_t Events = 0;
};

void Usage() {
    std::printf(
        "Usage: control_soak [--seconds S] [--seed N]\n"
        "Loops a dense 16-track song on the player control for S seconds (default 600)\n"
        "under random host calls, on the capture device, and reports the resident memory\n"
        "at the start and the end, the notes left sounding after stops, and the worst\n"
        "lateness of the 2 ms step.\n"
        "Exit status 0 when no note was left sounding and the memory grew by less than\n"
        "8 MiB, 1 otherwise, 2 for a bad command line, 3 when the control could not be\n"
        "made or played.\n");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600;
    unsigned seed = 16;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        char* end = nullptr;
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], &end);
            if (!end || *end || !(seconds > 0) || seconds > 86400) {
                std::fprintf(stderr, "control_soak: --seconds needs a number of seconds up to 86400\n");
                return 2;
            }
        } else if (a == "--seed" && i + 1 < argc) {
            seed = static_cast<unsigned>(std::strtoul(argv[++i], &end, 10));
            if (!end || *end) {
                std::fprintf(stderr, "control_soak: --seed needs a whole number\n");
                return 2;
            }
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "control_soak: unknown argument %s\nTry 'control_soak --help'.\n", argv[i]);
            return 2;
        }
    }

    LatenessClock clock;
    platform::SetDefaultClock(&clock);
    int status = 0;
    try {
        ScratchHost host;
        std::string error;
        if (!host.Start("control-soak", ORVALIS_MODULE, error)) {
            std::fprintf(stderr, "control_soak: %s\n", error.c_str());
            platform::SetDefaultClock(nullptr);
            return 3;
        }
        const std::string songs[2] = {WriteSong(host.Path(), "four.mid", 0, 4),
                                      WriteSong(host.Path(), "three.mid", 17, 3)};
        auto control = platform::HostedControl::Create(orvalis::kOrvalisCtrlProgId, &error);
        if (!control) {
            std::fprintf(stderr, "control_soak: %s\n", error.c_str());
            platform::SetDefaultClock(nullptr);
            return 3;
        }
        std::atomic<std::uint64_t> events{0};
        platform::DWORD cookie = 0;
        control->Connect([&](const platform::EventInfo&, std::span<Variant>) { events.fetch_add(1); }, cookie);
        Tally tally;
        auto call = [&](const char* name, std::vector<Variant> args = {}) {
            Variant result;
            ++tally.Calls;
            clock.CurrentCall.store(CallIndex(name), std::memory_order_relaxed);
            if (platform::FAILED(control->Call(name, args, &result, nullptr))) ++tally.Failed;
            clock.CurrentCall.store(0, std::memory_order_relaxed);
            return result;
        };
        std::mt19937 random(seed);
        auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
        auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

        int current = 0;
        bool playing = false;
        auto loadAndLoop = [&](int song) {
            if (!call("SetFileName", {Variant(songs[song])}).Bool()) return false;
            current = song;
            const std::int32_t measures = call("GetMeasureCount").Long();
            call("SetLoopStart", {Variant(0)});
            call("SetLoopEnd", {Variant(measures)});
            call("EnableLoop", {Variant(true)});
            return true;
        };
        auto checkStop = [&] {
            call("Stop");
            ++tally.Stops;
            playing = false;
            if (call("GetPolyCount").Long() != 0) ++tally.PolyAfterStop;
            tally.StuckNotes += static_cast<std::uint64_t>(SoundingInCapture());
        };
        if (!call("OpenMidiPort", {Variant(platform::kCaptureDevice)}).Bool() || !loadAndLoop(0) ||
            !call("Play").Bool()) {
            std::fprintf(stderr, "control_soak: the control did not open the capture device, load or play\n");
            platform::SetDefaultClock(nullptr);
            return 3;
        }
        playing = true;
        std::fprintf(stderr, "control_soak: %.0f s, seed %u...\n", seconds, seed);

        // The start is taken once everything has been made and used once.
        platform::PumpMessages(2s);
        const std::int64_t residentStart = ResidentBytes();
        std::int64_t residentMost = residentStart;
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(seconds));
        auto nextReport = start + 60s;
        auto sessionStart = start;
        while (std::chrono::steady_clock::now() < end) {
            platform::PumpMessages(std::chrono::milliseconds(pick(5, 60)));
            const double roll = std::uniform_real_distribution<double>(0, 1)(random);
            const std::int32_t measures = std::max(1, call("GetMeasureCount").Long());
            if (roll < 0.02) {
                loadAndLoop(1 - current);
                ++tally.Loads;
                playing = false;
            } else if (roll < 0.17) {
                call("Seek", {Variant(pick(0, measures))});
                ++tally.Seeks;
            } else if (roll < 0.25) {
                const int first = pick(0, measures - 1);
                call("SetLoopStart", {Variant(first)});
                call("SetLoopEnd", {Variant(pick(first + 1, measures))});
                call("EnableLoop", {Variant(chance(0.8))});
                ++tally.Loops;
            } else if (roll < 0.35) {
                call("SetTempo",
                     {Variant(std::uniform_real_distribution<double>(kSlowestTempo, kFastestTempo)(random))});
                ++tally.Tempos;
            } else if (roll < 0.38) {
                call("SetSongTempo", {Variant(static_cast<double>(pick(40, 220)))});
                ++tally.Tempos;
            } else if (roll < 0.48) {
                call("MuteTrackByNumber", {Variant(pick(0, 15)), Variant(chance(0.5))});
                ++tally.Mutes;
            } else if (roll < 0.56) {
                checkStop();
            } else if (roll < 0.68) {
                if (call("Play").Bool()) playing = true;
                ++tally.Plays;
            } else if (roll < 0.70) {
                clock.CurrentCall.store(CallIndex("Monitor"), std::memory_order_relaxed);
                control->Set("Monitor", Variant(chance(0.5)), nullptr);
                clock.CurrentCall.store(0, std::memory_order_relaxed);
            } else if (roll < 0.72 || std::chrono::steady_clock::now() - sessionStart > kLongestSession) {
                // A host may close the port while playing; the notes it leaves
                // sounding on that device are the host's, so the soak stops first.
                checkStop();
                call("CloseMidiPort");
                call("OpenMidiPort", {Variant(platform::kCaptureDevice)});
                sessionStart = std::chrono::steady_clock::now();
                ++tally.Reopens;
            } else {
                call("PollTick");
                call("PollMeasure");
                call("GetPolyCount");
            }
            if (!playing && chance(0.3)) {
                if (call("Play").Bool()) playing = true;
                ++tally.Plays;
            }
            residentMost = std::max(residentMost, ResidentBytes());
            if (std::chrono::steady_clock::now() >= nextReport) {
                std::fprintf(stderr, "control_soak: %.0f s, %llu calls, resident %.1f MiB, worst step %.3f ms\n",
                             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                             static_cast<unsigned long long>(tally.Calls),
                             static_cast<double>(ResidentBytes()) / (1 << 20), clock.WorstNs() / 1e6);
                nextReport += 60s;
            }
        }
        checkStop();
        call("CloseMidiPort");
        call("OpenMidiPort", {Variant(platform::kCaptureDevice)});
        call("CloseMidiPort");
        platform::PumpMessages(1s);
        const std::int64_t residentEnd = ResidentBytes();
        tally.Events = events.load();
        control.reset();

        const double growthMiB = static_cast<double>(residentEnd - residentStart) / (1 << 20);
        std::printf("soak of the player control: %.0f s, seed %u, %u cores\n", seconds, seed,
                    std::thread::hardware_concurrency());
        std::printf(
            "host calls      %llu (%llu failed): %llu loads, %llu seeks, %llu loops, %llu tempos, %llu mutes,\n"
            "                %llu stops, %llu plays, %llu port reopens; %llu events fired\n",
            static_cast<unsigned long long>(tally.Calls), static_cast<unsigned long long>(tally.Failed),
            static_cast<unsigned long long>(tally.Loads), static_cast<unsigned long long>(tally.Seeks),
            static_cast<unsigned long long>(tally.Loops), static_cast<unsigned long long>(tally.Tempos),
            static_cast<unsigned long long>(tally.Mutes), static_cast<unsigned long long>(tally.Stops),
            static_cast<unsigned long long>(tally.Plays), static_cast<unsigned long long>(tally.Reopens),
            static_cast<unsigned long long>(tally.Events));
        std::printf("resident memory start %.1f MiB, end %.1f MiB (%+.1f MiB), highest %.1f MiB\n",
                    static_cast<double>(residentStart) / (1 << 20), static_cast<double>(residentEnd) / (1 << 20),
                    growthMiB, static_cast<double>(residentMost) / (1 << 20));
        std::printf("stuck notes     %llu after %llu stops (%llu stops with notes still counted)\n",
                    static_cast<unsigned long long>(tally.StuckNotes), static_cast<unsigned long long>(tally.Stops),
                    static_cast<unsigned long long>(tally.PolyAfterStop));
        std::printf("step lateness   worst %.3f ms over %llu steps; %llu periods merged into later ones\n",
                    clock.WorstNs() / 1e6, static_cast<unsigned long long>(clock.Steps()),
                    static_cast<unsigned long long>(clock.Skipped()));
        std::string late;
        for (int i = 0; i < kCalls; ++i) {
            if (clock.LateDuring(i) == 0) continue;
            late += std::string(late.empty() ? "" : ", ") + std::to_string(clock.LateDuring(i)) + " during " +
                    kCallNames[i];
        }
        std::printf("late steps      (over 2 ms) %s\n", late.empty() ? "none" : late.c_str());
        if (tally.StuckNotes > 0 || tally.PolyAfterStop > 0 || growthMiB >= 8.0) status = 1;
    } catch (const std::exception& e) {
        // A song that cannot be written ends the run; the control and the
        // scratch host are gone before the clock is taken back.
        std::fprintf(stderr, "control_soak: %s\n", e.what());
        status = 3;
    }
    platform::SetDefaultClock(nullptr);
    return status;
}
