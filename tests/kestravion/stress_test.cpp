// A bounded run of random host calls on the video controls over generated
// files: no crash, no sanitizer report, no notice, no thread left behind,
// and every control gone in bounded time. The duration is fixed and short;
// the seed is printed so a failure can be replayed.
#include <dirent.h>

#include <cmath>
#include <limits>
#include <random>

#include "ControlTestSupport.h"

namespace control_test {
namespace {

constexpr auto kRunFor = std::chrono::seconds(3);
// A control that takes longer than this to go is stuck (the engine's worker
// is waited for 10 s at the most).
constexpr auto kDestructionLimit = std::chrono::seconds(12);
constexpr std::size_t kConsumers = 3;

std::size_t ThreadCount() {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
        ::closedir(tasks);
    }
    return count;
}

class StressTest : public ControlTest {
protected:
    // Destroys a control and says how long it took.
    static std::chrono::steady_clock::duration Destroy(Hosted& hosted) {
        const auto start = std::chrono::steady_clock::now();
        hosted = Hosted{};
        return std::chrono::steady_clock::now() - start;
    }

    Hosted NewConsumer(std::size_t slot) {
        const LONG left = 10 + static_cast<LONG>(slot) * 170;
        return Consumer(RECT{left, 50, left + 160, 170});
    }
};

TEST_F(StressTest, RandomHostCallsOverGeneratedFilesEndCleanly) {
    const std::vector<std::string> files = {
        MediaFile(Content::Video, 0.6, 160, 120),
        MediaFile(Content::AudioVideo, 0.8, 160, 120),
        MediaFile(Content::Audio, 0.5),
    };
    // The first graph starts GStreamer's own threads, which stay for the
    // process: counted before the run, not against it.
    {
        Hosted warmUp = Source();
        Hosted display = NewConsumer(0);
        AddFile(warmUp, files[1], &display);
        ASSERT_TRUE(warmUp.CallBool("Prepare"));
        ASSERT_TRUE(warmUp.CallBool("Run"));
        PumpMessages(50ms);
    }
    const std::size_t threadsBefore = ThreadCount();

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto pick = [&](int count) { return std::uniform_int_distribution<int>(0, count - 1)(random); };
    const auto level = [&] {
        const double values[] = {0.0, 0.5, 1.0, -1.0, 1.5, std::numeric_limits<double>::quiet_NaN(), 1e12};
        return values[pick(std::size(values))];
    };

    Hosted source = Source();
    std::vector<Hosted> consumers;
    for (std::size_t i = 0; i < kConsumers; ++i) consumers.push_back(NewConsumer(i));
    std::chrono::steady_clock::duration slowest{};
    std::size_t calls = 0;
    const auto end = std::chrono::steady_clock::now() + kRunFor;
    while (std::chrono::steady_clock::now() < end) {
        ++calls;
        Hosted& consumer = consumers[static_cast<std::size_t>(pick(kConsumers))];
        switch (pick(14)) {
            case 0:
            case 1: {
                const Variant handle = consumer && pick(4) != 0 ? consumer.Call("GetHandle") : Variant(0);
                source.Call("AddFile", {Variant(files[static_cast<std::size_t>(pick(3))]), handle});
                break;
            }
            case 2: source.Call("Prepare"); break;
            case 3: source.Call("Run"); break;
            case 4: source.Call("Pause"); break;
            case 5: source.Call("Stop"); break;
            case 6: source.Call("Seek", {Variant(static_cast<double>(pick(1200)))}); break;
            case 7: source.Call(pick(2) ? "SetVolume" : "SetPan", {Variant(pick(6) - 1), Variant(level())}); break;
            case 8:
                if (consumer) consumer.Set(pick(2) ? "Volume" : "Pan", Variant(level()));
                break;
            case 9:
                if (consumer) consumer.Call("Zoom", {Variant(pick(5) == 0 ? level() : pick(300) / 100.0)});
                break;
            case 10:
                if (consumer) {
                    slowest = std::max(slowest, Destroy(consumer));
                } else {
                    consumer = NewConsumer(static_cast<std::size_t>(&consumer - consumers.data()));
                }
                break;
            case 11:
                if (pick(4) == 0) {
                    slowest = std::max(slowest, Destroy(source));
                    source = Source();
                } else {
                    source.Call("Reset");
                }
                break;
            case 12: source.Call("Peek"), source.Call("PeekEnd"); break;
            default: PumpMessages(std::chrono::milliseconds(pick(30))); break;
        }
        ASSERT_TRUE(source);
    }
    RecordProperty("calls", static_cast<int>(calls));
    slowest = std::max(slowest, Destroy(source));
    for (Hosted& consumer : consumers) slowest = std::max(slowest, Destroy(consumer));
    EXPECT_LT(slowest, kDestructionLimit);

    // Threads that were asked to end get a moment to do so.
    EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threadsBefore; }, 10s))
        << ThreadCount() << " threads, " << threadsBefore << " before the run";
}

}  // namespace
}  // namespace control_test
