// Measures how late the real clock's 2 ms pulses reach a waiting worker, idle
// and with both cores busy, with and without real-time priority, beside a
// bare clock_nanosleep loop measured the same way in the same run: the bare
// loop is what this machine allows at best. Also checks that the pulse count
// does not drift from the time that passed.

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BusyCores.h"
#include "platform/clock/clock.h"
#include "platform/clock/priority.h"

namespace {

constexpr std::int64_t kPeriodNs = 2000000;
constexpr std::uint32_t kPeriodMs = 2;

std::int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Figures {
    std::size_t Samples = 0;
    double P50 = 0, P99 = 0, P999 = 0, Max = 0;  // microseconds
    std::uint64_t Merged = 0;                    // pulses that found the worker busy
};

Figures Summarise(std::vector<std::int64_t> lateNs, std::uint64_t merged) {
    Figures f;
    f.Samples = lateNs.size();
    f.Merged = merged;
    if (lateNs.empty()) {
        return f;
    }
    std::sort(lateNs.begin(), lateNs.end());
    auto at = [&](double q) {
        std::size_t i = std::min(lateNs.size() - 1, static_cast<std::size_t>(q * static_cast<double>(lateNs.size())));
        return static_cast<double>(lateNs[i]) / 1000.0;
    };
    f.P50 = at(0.50);
    f.P99 = at(0.99);
    f.P999 = at(0.999);
    f.Max = static_cast<double>(lateNs.back()) / 1000.0;
    return f;
}

void SetUpThread(bool realTime) {
    if (realTime) {
        platform::RaiseThreadPriority(platform::kWorkerRealTimePriority);
    }
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// The clock's pulse thread wakes a worker through the event; lateness is
// when the worker runs, against the deadline of the pulse it took.
Figures MeasurePulse(double seconds, bool realTime) {
    platform::SetRealTimeAllowed(realTime);
    std::vector<std::int64_t> late;
    late.reserve(static_cast<std::size_t>(seconds * 1000 / kPeriodMs) + 16);
    auto event = std::make_shared<platform::PulseEvent>();
    std::atomic<bool> quit{false};
    std::thread worker([&] {
        SetUpThread(realTime);
        for (;;) {
            event->Wait();
            std::int64_t now = NowNs();
            if (quit.load()) {
                return;
            }
            late.push_back(now - event->LastDeadlineNs());
        }
    });
    platform::Clock& clock = platform::RealClock();
    std::uint32_t id =
        clock.SetEvent(kPeriodMs, 0, event, platform::TIME_PERIODIC | platform::TIME_CALLBACK_EVENT_PULSE);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    clock.KillEvent(id);
    std::uint64_t pulses = event->PulseCount();
    quit = true;
    event->Pulse();
    worker.join();
    platform::SetRealTimeAllowed(true);
    // Counted before late is handed over: argument evaluation order is unspecified.
    const std::uint64_t merged = pulses - late.size();
    return Summarise(std::move(late), merged);
}

// The physical limit: one thread sleeping to absolute deadlines.
Figures MeasureBare(double seconds, bool realTime) {
    std::vector<std::int64_t> late;
    late.reserve(static_cast<std::size_t>(seconds * 1000 / kPeriodMs) + 16);
    std::thread loop([&] {
        SetUpThread(realTime);
        std::int64_t deadline = NowNs() + kPeriodNs;
        std::int64_t end = deadline + static_cast<std::int64_t>(seconds * 1e9);
        while (deadline < end) {
            timespec ts{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            late.push_back(NowNs() - deadline);
            deadline += kPeriodNs;
        }
    });
    loop.join();
    return Summarise(std::move(late), 0);
}

void PrintRow(const char* priority, const char* load, const char* source, const Figures& f) {
    std::printf("%-9s  %-4s  %-12s  %7zu  %8.1f  %8.1f  %9.1f  %8.1f  %6llu\n", priority, load, source, f.Samples,
                f.P50, f.P99, f.P999, f.Max, static_cast<unsigned long long>(f.Merged));
    std::fflush(stdout);
}

bool CanUseRealTime() {
    bool ok = false;
    std::thread([&] {
        ok = platform::RaiseThreadPriority(platform::kWorkerRealTimePriority) == platform::ThreadPriority::RealTime;
    }).join();
    return ok;
}

// Counts pulses over a long run: with absolute deadlines the count equals
// the number of periods that passed, exactly.
void MeasureDrift(double seconds) {
    auto event = std::make_shared<platform::PulseEvent>();
    platform::Clock& clock = platform::RealClock();
    std::int64_t start = NowNs();
    std::uint32_t id =
        clock.SetEvent(kPeriodMs, 0, event, platform::TIME_PERIODIC | platform::TIME_CALLBACK_EVENT_PULSE);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::int64_t stop = NowNs();
    clock.KillEvent(id);
    std::uint64_t pulses = event->PulseCount();
    // The first deadline is one period after SetEvent; the last pulse's
    // deadline is the last one that passed before the kill.
    std::int64_t first = event->LastDeadlineNs() - static_cast<std::int64_t>(pulses - 1) * kPeriodNs;
    std::printf(
        "drift over %.0f s: %llu pulses; first deadline %.3f ms after start (expected 2); "
        "periods elapsed by the wall clock: %lld\n",
        seconds, static_cast<unsigned long long>(pulses), static_cast<double>(first - start) / 1e6,
        static_cast<long long>((stop - start) / kPeriodNs));
}

void Usage() {
    std::printf(
        "Usage: clock_bench [--seconds S] [--drift S] [--no-rt] [--idle-only]\n"
        "Pulse lateness of the real clock (2 ms period) beside a bare clock_nanosleep loop,\n"
        "idle and with every core busy, with and without real-time priority.\n"
        "  --seconds S   length of each measurement (default 20)\n"
        "  --drift S     also count pulses over S seconds and compare with the time passed\n"
        "  --no-rt       skip the real-time measurements\n"
        "  --idle-only   skip the measurements with busy cores\n");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 20;
    double drift = 0;
    bool withRealTime = true;
    bool withLoad = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--seconds" || a == "--drift") && i + 1 < argc) {
            char* end = nullptr;
            double v = std::strtod(argv[++i], &end);
            if (!end || *end || v <= 0) {
                std::fprintf(stderr, "clock_bench: %s needs a positive number\n", a.c_str());
                return 2;
            }
            (a == "--seconds" ? seconds : drift) = v;
        } else if (a == "--no-rt") {
            withRealTime = false;
        } else if (a == "--idle-only") {
            withLoad = false;
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "clock_bench: unknown argument %s\nTry 'clock_bench --help'.\n", a.c_str());
            return 2;
        }
    }
    if (withRealTime && !CanUseRealTime()) {
        std::fprintf(stderr, "clock_bench: real-time priority is not allowed here; measuring without it\n");
        withRealTime = false;
    }

    std::printf("lateness in microseconds, %.0f s per row, period 2 ms, %u cores\n", seconds,
                std::thread::hardware_concurrency());
    std::printf("%-9s  %-4s  %-12s  %7s  %8s  %8s  %9s  %8s  %6s\n", "priority", "load", "source", "samples", "p50",
                "p99", "p99.9", "max", "merged");
    std::vector<bool> priorities = {false};
    if (withRealTime) {
        priorities.push_back(true);
    }
    std::vector<bool> loads = {false};
    if (withLoad) {
        loads.push_back(true);
    }
    bool met = true;
    for (bool rt : priorities) {
        for (bool busy : loads) {
            const char* p = rt ? "real-time" : "normal";
            const char* l = busy ? "busy" : "idle";
            std::fprintf(stderr, "clock_bench: measuring %s, %s (%.0f s each)...\n", p, l, 2 * seconds);
            Figures pulse, bare;
            {
                BusyCores load(busy);
                pulse = MeasurePulse(seconds, rt);
                bare = MeasureBare(seconds, rt);
            }
            PrintRow(p, l, "pulse+worker", pulse);
            PrintRow(p, l, "bare loop", bare);
            bool ok = pulse.P99 <= 1.5 * bare.P99;
            met = met && ok;
            std::printf("%-9s  %-4s  pulse p99 / bare p99 = %.2f (target <= 1.5: %s)\n", p, l,
                        bare.P99 > 0 ? pulse.P99 / bare.P99 : 0.0, ok ? "met" : "not met");
        }
    }
    if (drift > 0) {
        std::fprintf(stderr, "clock_bench: counting pulses for %.0f s...\n", drift);
        MeasureDrift(drift);
    }
    return met ? 0 : 1;
}
