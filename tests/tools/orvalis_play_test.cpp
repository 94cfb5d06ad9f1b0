#include "OrvalisPlay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PlayOptions.h"
#include "SmfBuilder.h"
#include "midiframework/midifile.h"
#include "platform/automation/registry.h"
#include "platform/midi/capture.h"
#include "wavfile.h"

// This program's sanitizer options (tests/support/SanitizerDefaults.cpp).
extern "C" const char* __asan_default_options();
extern "C" const char* __lsan_default_options();
extern "C" const char* __tsan_default_options();
extern "C" const char* __ubsan_default_options();

namespace {

namespace fs = std::filesystem;
using orvalis_play::kExitFailure;
using orvalis_play::kExitNoDevice;
using orvalis_play::kExitOk;
using orvalis_play::kExitUsage;

constexpr const char* kSoundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";

struct Result {
    int Status;
    std::string Out;
    std::string Err;
};

Result RunTool(const std::vector<std::string>& args, orvalis_play::PlayEnvironment environment = {}) {
    std::ostringstream out, err;
    int status = orvalis_play::RunOrvalisPlay(args, out, err, environment);
    return {status, out.str(), err.str()};
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Lines of a capture log whose message starts with prefix ("90 3C").
std::vector<std::string> LinesWith(const std::string& log, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find('\t' + prefix) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

// orvalis-play as a program of its own, its output in files.
class Program {
public:
    Program(const std::vector<std::string>& args, const fs::path& folder, const std::string& name)
        : Out(folder / (name + ".out")), Err(folder / (name + ".err")) {
        // The tool is built with the same sanitizer but without these
        // defaults; handed on, its reports from system libraries are
        // suppressed as this program's are. Options already given win.
        ::setenv("ASAN_OPTIONS", __asan_default_options(), 0);
        ::setenv("LSAN_OPTIONS", __lsan_default_options(), 0);
        ::setenv("TSAN_OPTIONS", __tsan_default_options(), 0);
        ::setenv("UBSAN_OPTIONS", __ubsan_default_options(), 0);
        Pid = ::fork();
        if (Pid == 0) {
            const int out = ::open(Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<std::string> all{ORVALIS_PLAY_PROGRAM};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& arg : all) argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    // The exit status, or -1 when it did not end within limit (it is killed then).
    int Wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(Pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(Pid, SIGKILL);
                ::waitpid(Pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Waits until the program is inside the system call number (0: any), or the limit passes.
    bool WaitInSyscall(long number, std::chrono::seconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream in("/proc/" + std::to_string(Pid) + "/syscall");
            long current = -1;
            if (in >> current && current == number) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    pid_t Pid = -1;
    fs::path Out, Err;
};

// The times of the note-ons of a capture log, by key.
std::map<int, double> NoteOnTimes(const std::string& log) {
    std::map<int, double> times;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        unsigned status = 0, key = 0, velocity = 0;
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos &&
            std::sscanf(line.c_str() + tab + 1, "%2x %2x %2x", &status, &key, &velocity) == 3 &&
            (status & 0xF0) == 0x90 && velocity > 0) {
            times.emplace(static_cast<int>(key), std::stod(line.substr(0, tab)));
        }
    }
    return times;
}

// The last status line a terminal was shown.
std::string LastStatusLine(const std::string& out) {
    const std::size_t start = out.rfind("\r\033[K");
    if (start == std::string::npos) return {};
    const std::size_t from = start + 4;
    return out.substr(from, out.find('\n', from) - from);
}

double LastTimeMs(const std::string& log) {
    const std::size_t start = log.rfind('\n', log.size() - 2);
    return std::stod(log.substr(start == std::string::npos ? 0 : start + 1));
}

class OrvalisPlayFiles : public testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("orvalis-play-" + std::to_string(getpid()) + "-" +
                                           testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(Dir);
        // Real-time runs make the player control through the registry; the
        // tool registers its module in this one, never in the user's.
        platform::SetRegistryPath((Dir / "registry").string());
    }
    void TearDown() override {
        platform::SetRegistryPath("");
        fs::remove_all(Dir);
    }

    std::string Write(const std::string& name, const smf::SmfBuilder& song) {
        const std::string path = (Dir / name).string();
        song.WriteTo(path);
        return path;
    }
    std::string PathOf(const std::string& name) const { return (Dir / name).string(); }

    // Three bars of 4/4 at 120 beats per minute: one note on channel 1 in
    // each bar (60, 62, 64) and a bass note on channel 2 in the first.
    std::string ThreeBars() {
        smf::TrackBuilder t;
        t.NoteOn(0, 0, 60, 100).NoteOn(0, 1, 40, 90).NoteOff(240, 0, 60).NoteOff(0, 1, 40);
        t.NoteOn(1680, 0, 62, 100).NoteOff(240, 0, 62).NoteOn(1680, 0, 64, 100).NoteOff(240, 0, 64);
        t.EndOfTrack(1680);
        return Write("three-bars.mid", smf::SmfBuilder(0).AddTrack(t));
    }

    // A song with four tempo changes, the tempos in a track of their own: one
    // note on channel 1 at each tick of kNoteTicks, key 60 + its index, two
    // of them on a change. Its map (kTempos) is worked out here, not by the
    // player.
    struct TempoChange {
        std::int64_t Tick;
        std::int64_t Microseconds;  // per quarter
    };
    static constexpr std::int64_t kDivision = 480;
    static constexpr std::int64_t kTempoSongEnd = 3900;
    static inline const std::vector<TempoChange> kTempos = {
        {0, 500000}, {700, 400000}, {1500, 1000000}, {2000, 333333}, {3100, 750000}};
    static inline const std::vector<std::uint32_t> kNoteTicks = {0,    350,  700,  1100, 1500, 1750,
                                                                 2000, 2500, 3100, 3500, 3839};
    std::string TempoChanges() {
        smf::TimedTrack conductor, notes;
        for (const TempoChange& change : kTempos) {
            conductor.B.Tempo(conductor.At(static_cast<std::uint32_t>(change.Tick)),
                              static_cast<std::uint32_t>(change.Microseconds));
        }
        conductor.B.EndOfTrack(conductor.At(kTempoSongEnd));
        for (std::size_t i = 0; i < kNoteTicks.size(); ++i) {
            const int key = 60 + static_cast<int>(i);
            notes.B.NoteOn(notes.At(kNoteTicks[i]), 0, key, 100).NoteOff(notes.At(kNoteTicks[i] + 50), 0, key);
        }
        notes.B.EndOfTrack(notes.At(kTempoSongEnd));
        return Write("tempo-changes.mid", smf::SmfBuilder(1, kDivision).AddTrack(conductor.B).AddTrack(notes.B));
    }
    // Tick's time in ms under kTempos, each stretch summed in whole units.
    static double MapMs(std::int64_t tick) {
        std::int64_t units = 0;  // microseconds times the division
        for (std::size_t i = 0; i < kTempos.size() && kTempos[i].Tick < tick; ++i) {
            const std::int64_t end = i + 1 < kTempos.size() ? std::min(tick, kTempos[i + 1].Tick) : tick;
            units += (end - kTempos[i].Tick) * kTempos[i].Microseconds;
        }
        return static_cast<double>(units) / kDivision / 1000.0;
    }

    // Four bars of 4/4, the first two at 120 beats per minute and the last
    // two at 60. In bar 1 channel 3 sets everything a complete chase restores
    // and the eight values of the plain restore do not all hold: banks 1/2
    // with program 10, reverb 40 and then 60, chorus 30, the bend range (RPN
    // 0/0 = 12/0), NRPN 1/8 = 70, a bend of 0x2345 and pressure 50. Bar 3
    // starts with key 67 on the same channel.
    std::string ChaseSong() {
        smf::TimedTrack t;
        t.B.Tempo(0, 500000).Control(0, 2, 0, 1).Control(0, 2, 32, 2).Program(0, 2, 10);
        t.B.Control(0, 2, 91, 40).Control(0, 2, 93, 30).NoteOn(0, 2, 60, 100).NoteOff(t.At(240), 2, 60);
        t.B.Control(t.At(300), 2, 101, 0).Control(0, 2, 100, 0).Control(0, 2, 6, 12).Control(0, 2, 38, 0);
        t.B.Control(t.At(400), 2, 99, 1).Control(0, 2, 98, 8).Control(0, 2, 6, 70);
        t.B.PitchBend(t.At(500), 2, 0x2345).ChannelPressure(t.At(600), 2, 50).Control(t.At(700), 2, 91, 60);
        t.B.Tempo(t.At(3840), 1000000).NoteOn(0, 2, 67, 100).NoteOff(t.At(4320), 2, 67);
        t.B.EndOfTrack(t.At(7680));
        return Write("chase.mid", smf::SmfBuilder(0).AddTrack(t.B));
    }

    Result Capture(std::vector<std::string> args, const std::string& song, std::string& log) {
        const std::string logPath = PathOf("capture.txt");
        args.insert(args.begin(), {"--offline", "--capture", logPath});
        args.push_back(song);
        Result r = RunTool(args);
        log = ReadText(logPath);
        return r;
    }

    fs::path Dir;
};

// --- the command line --------------------------------------------------------

TEST(OrvalisPlay, ListsTheDevicesWithTheirNumbers) {
    Result r = RunTool({"--list-ports"});
    EXPECT_EQ(r.Status, 0);
    // System ports, where there are any, follow from number 2 on.
    EXPECT_EQ(r.Out.rfind("   0  Software synthesizer (default)\n"
                          "   1  Capture\n",
                          0),
              0u)
        << r.Out;
    EXPECT_EQ(r.Err, "");
}

TEST(OrvalisPlay, HelpDescribesEveryOptionTheDevicesAndTheExitStatuses) {
    Result r = RunTool({"--help"});
    EXPECT_EQ(r.Status, 0);
    for (const auto& entry : orvalis_play::OptionTable()) {
        EXPECT_NE(r.Out.find(entry.Long), std::string::npos) << entry.Long;
    }
    EXPECT_NE(r.Out.find("capture"), std::string::npos);
    EXPECT_NE(r.Out.find("130 when interrupted"), std::string::npos);
    EXPECT_EQ(RunTool({"-h"}).Out, r.Out);
}

TEST(OrvalisPlay, ABadCommandLineIsAUsageErrorThatSaysWhat) {
    struct Case {
        std::vector<std::string> Args;
        std::string Says;
    };
    for (const Case& c : std::vector<Case>{
             {{"--bogus"}, "unknown option --bogus"},
             {{"--list-ports=yes"}, "--list-ports takes no value"},
             {{}, "nothing to do"},
             {{"a.mid", "b.mid"}, "one MIDI file at a time"},
             {{"--port", "x", "a.mid"}, "--port: 'x' is not a whole number"},
             {{"--port"}, "--port needs a value (N)"},
             {{"--mute", "17", "a.mid"}, "--mute: 17 is outside 1 to 16"},
             {{"--gain", "11", "a.mid"}, "--gain: the gain must lie between 0 and 10, not 11"},
             {{"--mute", "0", "a.mid"}, "--mute: 0 is outside 1 to 16"},
             {{"--loop", "5", "a.mid"}, "--loop: expected two bars as A:B"},
             {{"--loop", "3:2", "a.mid"}, "the loop's last bar comes before its first"},
             {{"--loop", "0:2", "a.mid"}, "--loop: 0 is outside"},
             {{"--repeat", "2", "a.mid"}, "--repeat counts passes through a loop"},
             {{"--tempo", "0", "a.mid"}, "a tempo between 1 and 1000"},
             {{"--tempo", "nan", "a.mid"}, "'nan' is not a number"},
             {{"--tempo", "90", "--song-tempo", "90", "a.mid"}, "not both"},
             {{"--offline", "a.mid"}, "--offline renders to a file"},
             {{"--wav", "o.wav", "--capture", "c.txt", "a.mid"}, "choose one output"},
             {{"--port", "1", "--wav", "o.wav", "a.mid"}, "--port cannot be combined"},
             {{"--wav", "o.wav", "--loop", "1:2", "a.mid"}, "needs --repeat N"},
             {{"--wav=", "a.mid"}, "--wav: the file name is empty"},
         }) {
        Result r = RunTool(c.Args);
        EXPECT_EQ(r.Status, kExitUsage) << c.Says;
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
        EXPECT_EQ(r.Out, "");
    }
}

TEST(PlayOptions, SeparatesFilesFromOptionsAndCollectsRepeatedOnes) {
    auto parsed =
        orvalis_play::ParsePlayOptions({"a.mid", "--mute", "3", "-m", "10", "--loop=2:4", "--", "--b.mid", "-"});
    EXPECT_EQ(parsed.Error, "");
    EXPECT_EQ(parsed.Options.Files, (std::vector<std::string>{"a.mid", "--b.mid", "-"}));
    EXPECT_EQ(parsed.Options.Mutes, (std::vector<int>{3, 10}));
    ASSERT_TRUE(parsed.Options.Loop);
    EXPECT_EQ(parsed.Options.Loop->First, 2);
    EXPECT_EQ(parsed.Options.Loop->Last, 4);
}

// --- files and devices that do not work -------------------------------------

TEST_F(OrvalisPlayFiles, AFileThatCannotBePlayedIsAFailureThatSaysWhy) {
    smf::TrackBuilder broken;
    broken.NoteOn(0, 0, 60, 100).EndOfTrack();
    smf::Bytes bytes = smf::SmfBuilder(0).AddTrack(broken).Build();
    bytes.erase(bytes.end() - 2, bytes.end());  // the end of track is cut short
    smf::SmfBuilder::WriteFile(PathOf("cut.mid"), bytes);
    smf::SmfBuilder::WriteFile(PathOf("short.mid"), {'M', 'T', 'h', 'd', 0, 0, 0, 6});
    struct Case {
        std::string File;
        std::string Says;
    };
    for (const Case& c : std::vector<Case>{
             {PathOf("missing.mid"), "missing.mid: No such file or directory"},
             {PathOf("cut.mid"), "cut.mid: the file cannot be played: Bad chunk size"},
             {PathOf("short.mid"), "short.mid: not a Standard MIDI File"},
             {Dir.string(), ": it is a folder, not a regular file"},
         }) {
        Result r = RunTool({"--offline", "--capture", PathOf("c.txt"), c.File});
        EXPECT_EQ(r.Status, kExitFailure) << c.File;
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
    }
}

// Refused runs, every one before the device (which makes the files) opens:
// what was there before stays as it was.
TEST_F(OrvalisPlayFiles, ARefusedRunLeavesEveryEarlierOutputAsItWas) {
    const std::string song = ThreeBars();
    const std::string log = PathOf("c.txt"), midi = PathOf("c.mid"), wav = PathOf("o.wav");
    for (const std::string& path : {log, midi, wav}) std::ofstream(path) << "earlier " << path;
    ASSERT_EQ(::symlink("three-bars.mid", PathOf("link.mid").c_str()), 0);
    ASSERT_EQ(::link(log.c_str(), PathOf("hard.txt").c_str()), 0);
    struct Case {
        std::vector<std::string> Args;
        int Status;
        std::string Says;
    };
    for (const Case& c : std::vector<Case>{
             {{"--offline", "--capture", log, "--capture-midi", midi, "--seek", "5", song},
              kExitUsage,
              "--seek: bar 5"},
             {{"--wav", wav, "--loop", "2:4", "--repeat", "1", song}, kExitUsage, "--loop: bar 4 lies past"},
             {{"--wav", song, song}, kExitUsage, "--wav " + song + " names the song itself"},
             {{"--wav", PathOf("link.mid"), song}, kExitUsage, "names the song itself"},
             {{"--offline", "--capture", log, "--capture-midi", log, song},
              kExitUsage,
              "--capture and --capture-midi name the same file"},
             {{"--offline", "--capture", log, "--capture-midi", PathOf("hard.txt"), song},
              kExitUsage,
              "name the same file"},
             {{"--offline", "--capture", log, "--capture-midi", PathOf("missing/c.mid"), song},
              kExitFailure,
              "--capture-midi: cannot write " + PathOf("missing/c.mid") + ": No such file or directory"},
             {{"--wav", PathOf("missing/o.wav"), song}, kExitFailure, "--wav: cannot write"},
             {{"--wav", "/dev/full", song}, kExitFailure, "--wav: cannot write /dev/full: it is a character device"},
             {{"--offline", "--capture", log, PathOf("missing.mid")}, kExitFailure, "No such file or directory"},
         }) {
        Result r = RunTool(c.Args);
        EXPECT_EQ(r.Status, c.Status) << c.Says;
        EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
        for (const std::string& path : {log, midi, wav}) EXPECT_EQ(ReadText(path), "earlier " + path) << c.Says;
        EXPECT_NE(ReadText(song).substr(0, 4), "earl") << "the song is never written";
    }
}

TEST_F(OrvalisPlayFiles, ADeviceThatDoesNotOpenHasItsOwnExitStatus) {
    const std::string song = ThreeBars();
    Result r = RunTool({"--port", "99", song});
    EXPECT_EQ(r.Status, kExitNoDevice);
    EXPECT_NE(r.Err.find("the MIDI output device 99 did not open"), std::string::npos) << r.Err;
    r = RunTool({"--soundfont", PathOf("none.sf2"), "--wav", PathOf("o.wav"), song});
    EXPECT_EQ(r.Status, kExitNoDevice);
    EXPECT_NE(r.Err.find("none.sf2 is missing or is not a SoundFont"), std::string::npos) << r.Err;
}

TEST_F(OrvalisPlayFiles, BarsTheSongDoesNotHaveAreRefusedWithItsBarCount) {
    const std::string song = ThreeBars();
    std::string log;
    Result r = Capture({"--seek", "5"}, song, log);
    EXPECT_EQ(r.Status, kExitUsage);
    EXPECT_NE(r.Err.find("--seek: bar 5 lies past the end of the song (it has 3 bars)"), std::string::npos) << r.Err;
    r = Capture({"--loop", "2:4", "--repeat", "1"}, song, log);
    EXPECT_EQ(r.Status, kExitUsage);
    EXPECT_NE(r.Err.find("--loop: bar 4 lies past"), std::string::npos) << r.Err;
    // The bar that starts on the song's end still exists as a place to go to.
    EXPECT_EQ(Capture({"--seek", "4"}, song, log).Status, kExitOk);
}

// --- what gets played ----------------------------------------------------------

TEST_F(OrvalisPlayFiles, OfflineCaptureIsTheSameEveryTimeEndsWithTheReleaseAndSavesAsMidi) {
    const std::string song = ThreeBars();
    std::string first, second;
    Result r = Capture({}, song, first);
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
    EXPECT_EQ(r.Out, "") << "quiet when not on a terminal";
    EXPECT_EQ(r.Err, "");
    ASSERT_EQ(Capture({}, song, second).Status, kExitOk);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.rfind("2.000\t90 3C 64\n2.000\t91 28 5A\n", 0), 0u) << first;
    EXPECT_EQ(LinesWith(first, "90 3E 64"), std::vector<std::string>{"2002.000\t90 3E 64"});
    // The song ends when the position passes tick 5760, and every channel
    // then gets its sustain released.
    EXPECT_EQ(LinesWith(first, "BF 40 00"), std::vector<std::string>{"6002.000\tBF 40 00"});

    // The capture as a MIDI file holds the same notes.
    const std::string captured = PathOf("captured.mid");
    ASSERT_EQ(RunTool({"--offline", "--capture-midi", captured, song}).Status, kExitOk);
    MIDI::File file;
    file.Load(captured.c_str());
    std::multiset<int> keys;
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        for (int i = 0; i < file.GetTrack(t)->GetEventCount(); ++i) {
            if (file.GetTrack(t)->GetEvent(i)->kind == MIDI::kNoteOn) {
                keys.insert(file.GetTrack(t)->GetEvent(i)->data1);
            }
        }
    }
    EXPECT_EQ(keys, (std::multiset<int>{40, 60, 62, 64}));
}

TEST_F(OrvalisPlayFiles, MuteSeekLoopAndTempoShapeWhatIsSent) {
    const std::string song = ThreeBars();
    std::string log;
    ASSERT_EQ(Capture({"--mute", "2"}, song, log).Status, kExitOk);
    EXPECT_TRUE(LinesWith(log, "91").empty()) << "channel 2 is muted";
    EXPECT_EQ(LinesWith(log, "81 28").size(), 1u) << "its note-off still goes out";

    ASSERT_EQ(Capture({"--seek", "2"}, song, log).Status, kExitOk);
    EXPECT_TRUE(LinesWith(log, "90 3C").empty());
    EXPECT_EQ(LinesWith(log, "90 3E").size(), 1u);
    EXPECT_EQ(LinesWith(log, "90 40").size(), 1u);

    ASSERT_EQ(Capture({"--loop", "2:2", "--repeat", "3"}, song, log).Status, kExitOk);
    EXPECT_EQ(LinesWith(log, "90 3C").size(), 1u);
    EXPECT_EQ(LinesWith(log, "90 3E").size(), 3u) << "three passes through bar 2";
    EXPECT_EQ(LinesWith(log, "90 40").size(), 1u) << "then on to the end";

    // Twelve beats last 12 s at 60 beats per minute; 500 becomes 220.
    ASSERT_EQ(Capture({"--tempo", "60"}, song, log).Status, kExitOk);
    EXPECT_NEAR(LastTimeMs(log), 12000, 5);
    ASSERT_EQ(Capture({"--song-tempo", "500"}, song, log).Status, kExitOk);
    EXPECT_NEAR(LastTimeMs(log), 12 * 60000.0 / 220, 5);
}

TEST_F(OrvalisPlayFiles, MonitorPrintsEveryNoteAndATerminalGetsAStatusLine) {
    const std::string song = ThreeBars();
    Result r = RunTool({"--offline", "--capture", PathOf("c.txt"), "--monitor", song});
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
    EXPECT_EQ(r.Out.rfind("    0.002  note on   ch  1  C4   ( 60)  vel 100\n"
                          "    0.002  note on   ch  2  E2   ( 40)  vel  90\n"
                          "    0.252  note off  ch  1  C4   ( 60)  vel  64\n",
                          0),
              0u)
        << r.Out;
    EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), 8);

    orvalis_play::PlayEnvironment terminal;
    terminal.Terminal = true;
    r = RunTool({"--wav", PathOf("o.wav"), "--soundfont", kSoundFont, song}, terminal);
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
    EXPECT_NE(r.Out.find("Playing " + song), std::string::npos);
    EXPECT_NE(r.Out.find("\r\033[Kbar 3/3  tick "), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("120.0 bpm"), std::string::npos);
    EXPECT_NE(r.Out.find("Wrote " + PathOf("o.wav")), std::string::npos);
}

// In real time the tool is a host of the player control: it registers the
// module it was built with where the registry lacks the control or names a
// file that is gone, and prints the notes from the control's events.
TEST_F(OrvalisPlayFiles, RealTimePlaybackGoesThroughThePlayerControlRegisteringItWhereNeeded) {
    const std::string song = ThreeBars();
    const std::string registryFile = PathOf("own-registry");
    auto registeredModule = [&] {
        platform::Registry registry;
        std::string error;
        EXPECT_TRUE(platform::Registry::Load(registryFile, registry, &error)) << error;
        const platform::ClassRegistration* entry = registry.FindProgId("ORVALIS.OrvalisCtrl.1");
        return entry ? entry->ModulePath : std::string();
    };
    const std::vector<std::string> args = {"--registry", registryFile, "--capture", PathOf("c.txt"),
                                           "--tempo",    "1000",       "--monitor", song};
    Result r = RunTool(args);
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
    const std::string module = registeredModule();
    ASSERT_FALSE(module.empty()) << "the tool registered its module";
    EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), 8) << r.Out;
    EXPECT_NE(r.Out.find("note on   ch  2  E2   ( 40)  vel  90"), std::string::npos) << r.Out;
    EXPECT_EQ(LinesWith(ReadText(PathOf("c.txt")), "90 40 64").size(), 1u);

    std::string text = ReadText(registryFile);
    text.replace(text.find(module), module.size(), PathOf("gone/orvalis.so"));
    std::ofstream(registryFile, std::ios::trunc) << text;
    ASSERT_EQ(RunTool(args).Status, kExitOk);
    EXPECT_EQ(registeredModule(), module) << "registered again over the entry whose file is gone";
}

TEST_F(OrvalisPlayFiles, AnInterruptEndsRealTimePlaybackWithEveryNoteReleased) {
    // A minute of notes, each held across the next, on a channel no other
    // test uses: the capture device keeps the last recording until the next.
    smf::TrackBuilder t;
    for (int i = 0; i < 240; ++i) {
        t.NoteOn(i == 0 ? 0 : 240, 15, 40 + i % 40, 100).NoteOff(0, 15, 40 + (i + 39) % 40);
    }
    t.EndOfTrack(480);
    const std::string song = Write("minute.mid", smf::SmfBuilder(0).AddTrack(t));
    const std::string logPath = PathOf("c.txt");
    Result r{};
    std::thread player([&] { r = RunTool({"--capture", logPath, song}); });
    bool started = false;
    for (int i = 0; i < 5000 && !started; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (const auto& m : platform::CapturedMessages()) {
            started = started || (m.Bytes.size() == 3 && m.Bytes[0] == 0x9F);
        }
    }
    orvalis_play::RequestInterrupt();
    player.join();
    ASSERT_TRUE(started);
    EXPECT_EQ(r.Status, orvalis_play::kExitInterrupted) << r.Err;
    const std::string log = ReadText(logPath);
    std::set<std::string> sounding;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::string message = line.substr(line.find('\t') + 1);
        if (message.rfind("9F ", 0) == 0) {
            sounding.insert(message.substr(3, 2));
        } else if (message.rfind("8F ", 0) == 0) {
            sounding.erase(message.substr(3, 2));
        }
    }
    EXPECT_TRUE(sounding.empty()) << log;
    EXPECT_LT(LastTimeMs(log), 30000) << "ended long before the song would";
}

TEST_F(OrvalisPlayFiles, TwoRendersIntoOneFileAtOnceEachLeaveAWholeFile) {
    smf::TrackBuilder low, high;
    for (int i = 0; i < 40; ++i) {
        low.NoteOn(i == 0 ? 0 : 120, 0, 40, 100).NoteOff(120, 0, 40);
        high.NoteOn(i == 0 ? 0 : 60, 0, 80, 100).NoteOff(60, 0, 80);
    }
    const std::string songs[2] = {Write("low.mid", smf::SmfBuilder(0).AddTrack(low.EndOfTrack())),
                                  Write("high.mid", smf::SmfBuilder(0).AddTrack(high.EndOfTrack()))};
    std::string alone[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(RunTool({"--wav", PathOf("alone.wav"), "--soundfont", kSoundFont, songs[i]}).Status, kExitOk);
        alone[i] = ReadText(PathOf("alone.wav"));
    }
    ASSERT_NE(alone[0], alone[1]);
    const std::string shared = PathOf("shared.wav");
    for (int round = 0; round < 3; ++round) {
        Program first({"--wav", shared, "--soundfont", kSoundFont, songs[0]}, Dir, "first");
        Program second({"--wav", shared, "--soundfont", kSoundFont, songs[1]}, Dir, "second");
        EXPECT_EQ(first.Wait(), 0) << ReadText(first.Err);
        EXPECT_EQ(second.Wait(), 0) << ReadText(second.Err);
        const std::string result = ReadText(shared);
        EXPECT_TRUE(result == alone[0] || result == alone[1]) << "a file of " << result.size() << " bytes";
    }
}

TEST_F(OrvalisPlayFiles, AnInterruptedOpenOfASongNobodyWritesExitsWith130) {
    const std::string fifo = PathOf("song.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Program waiting({"--offline", "--capture", PathOf("c.txt"), fifo}, Dir, "waiting");
    ASSERT_TRUE(waiting.WaitInSyscall(SYS_openat)) << "it waits for a writer";
    ::kill(waiting.Pid, SIGINT);
    EXPECT_EQ(waiting.Wait(), orvalis_play::kExitInterrupted) << ReadText(waiting.Err);
    EXPECT_FALSE(fs::exists(PathOf("c.txt")));

    // A song that does come through a FIFO plays.
    const std::string song = ThreeBars();
    Program reading({"--offline", "--capture", PathOf("c.txt"), fifo}, Dir, "reading");
    std::ofstream(fifo, std::ios::binary) << ReadText(song);
    EXPECT_EQ(reading.Wait(), 0) << ReadText(reading.Err);
    EXPECT_EQ(LinesWith(ReadText(PathOf("c.txt")), "90 3C 64").size(), 1u);
}

TEST_F(OrvalisPlayFiles, AClosedTerminalEndsPlaybackAsAnInterruptDoesWithTheFilesWritten) {
    smf::TrackBuilder t;
    for (int i = 0; i < 240; ++i) t.NoteOn(i == 0 ? 0 : 240, 14, 50, 100).NoteOff(200, 14, 50);
    const std::string song = Write("minute.mid", smf::SmfBuilder(0).AddTrack(t.EndOfTrack()));
    Program player({"--registry", PathOf("registry"), "--capture", PathOf("c.txt"), "--capture-midi", PathOf("c.mid"),
                    "--monitor", song},
                   Dir, "player");
    bool playing = false;
    for (int i = 0; i < 2000 && !playing; ++i) {
        playing = ReadText(player.Out).find("note on") != std::string::npos;
        if (!playing) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(playing) << ReadText(player.Err);
    ::kill(player.Pid, SIGHUP);
    EXPECT_EQ(player.Wait(), orvalis_play::kExitInterrupted) << ReadText(player.Err);
    const std::string log = ReadText(PathOf("c.txt"));
    EXPECT_GE(LinesWith(log, "9E 32").size(), 1u) << log;
    EXPECT_EQ(LinesWith(log, "9E 32").size(), LinesWith(log, "8E 32").size()) << "every note released";
    EXPECT_EQ(ReadText(PathOf("c.mid")).substr(0, 4), "MThd");
}

// The whole road: file, sequencer, synthesizer, WAV. At 125 beats per minute
// and 480 ticks per quarter a tick lasts 1 ms, and the step sends an event on
// tick t once the position reaches t + 1, so a note on tick t must start to
// sound at t + 1 ms.
TEST_F(OrvalisPlayFiles, ARenderedSongSoundsEachNoteAtItsTimeAndPitch) {
    const std::vector<int> notes = {60, 64, 67, 72, 57};
    const std::vector<std::uint32_t> ticks = {479, 1079, 1679, 2279, 2879};
    smf::TrackBuilder t;
    t.Tempo(0, 480000).Program(0, 0, 80);
    std::uint32_t now = 0;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        t.NoteOn(ticks[i] - now, 0, notes[i], 100).NoteOff(100, 0, notes[i]);
        now = ticks[i] + 100;
    }
    t.EndOfTrack(200);
    const std::string song = Write("notes.mid", smf::SmfBuilder(0).AddTrack(t));
    const std::string wavPath = PathOf("notes.wav");
    Result r = RunTool({"--wav", wavPath, "--soundfont", kSoundFont, song});
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
    const wavtest::Wav wav = wavtest::ReadWav(wavPath);
    ASSERT_EQ(wav.Rate, 48000);
    for (std::size_t i = 0; i < notes.size(); ++i) {
        const double expectedMs = ticks[i] + 1.0;
        const auto searchFrom = static_cast<std::size_t>((expectedMs - 50) * 48);
        ASSERT_GE(wavtest::FirstSound(wav.Left, 32, searchFrom), static_cast<long>((expectedMs - 5) * 48))
            << "note " << i << ": no quiet before it";
        const long onset = wavtest::FirstSound(wav.Left, 32, static_cast<std::size_t>((expectedMs - 5) * 48));
        ASSERT_GE(onset, 0);
        EXPECT_NEAR(onset / 48.0, expectedMs, 1.0) << "note " << i;
        const auto begin = static_cast<std::size_t>(onset + 48 * 10);
        EXPECT_EQ(wavtest::StrongestNote(wav.Left, begin, begin + 48 * 80, 48000, notes[i]), notes[i]) << i;
    }
    // The same input renders the same bytes.
    const std::string again = PathOf("again.wav");
    ASSERT_EQ(RunTool({"--wav", again, "--soundfont", kSoundFont, song}).Status, kExitOk);
    EXPECT_TRUE(ReadText(wavPath) == ReadText(again));
}

// --- the two playback options -------------------------------------------------

// Rendered offline, every note goes out in the first 2 ms step at or after
// its time under the tempo map (the capture log counts from the run's start,
// whose first step ends at 2 ms); from a seek, times count from the map's
// time of the bar. At one tempo the song keeps the file's last tempo, 80.
TEST_F(OrvalisPlayFiles, FollowingTheTempoMapSendsEveryNoteWithinAStepOfItsTimeUnderTheMap) {
    const std::string song = TempoChanges();
    struct Case {
        std::vector<std::string> Args;
        std::uint32_t FromTick;
    };
    for (const Case& c : {Case{{"--follow-tempo"}, 0}, Case{{"--follow-tempo", "--seek", "2"}, 1920}}) {
        const std::string name = c.Args.size() > 1 ? "from bar 2" : "from the start";
        std::string log;
        ASSERT_EQ(Capture(c.Args, song, log).Status, kExitOk) << name;
        const std::map<int, double> sent = NoteOnTimes(log);
        std::size_t expected = 0;
        for (std::size_t i = 0; i < kNoteTicks.size(); ++i) {
            if (kNoteTicks[i] < c.FromTick) {
                EXPECT_FALSE(sent.count(60 + static_cast<int>(i))) << name << ": note " << i;
                continue;
            }
            ++expected;
            const auto at = sent.find(60 + static_cast<int>(i));
            ASSERT_NE(at, sent.end()) << name << ": note " << i;
            const double due = MapMs(kNoteTicks[i]) - MapMs(c.FromTick);
            EXPECT_GE(at->second, due - 1e-3) << name << ": note " << i << " on tick " << kNoteTicks[i];
            EXPECT_LE(at->second, due + 2.0 + 1e-3) << name << ": note " << i << " on tick " << kNoteTicks[i];
        }
        EXPECT_EQ(sent.size(), expected) << name;
    }

    // The option is what makes the difference: at 80 beats per minute the
    // note on tick 350 is due at 547 ms, not at 365.
    std::string log;
    ASSERT_EQ(Capture({}, song, log).Status, kExitOk);
    EXPECT_NEAR(NoteOnTimes(log).at(61), 350 * 750.0 / kDivision, 4.0);

    // On a terminal, the time, length and tempo under the map.
    orvalis_play::PlayEnvironment terminal;
    terminal.Terminal = true;
    Result r = RunTool({"--offline", "--capture", PathOf("c.txt"), "--follow-tempo", song}, terminal);
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
    const std::string status = LastStatusLine(r.Out);
    EXPECT_NE(status.find(" / 0:04.5  "), std::string::npos) << status << ": 4.451 s under the map";
    EXPECT_NE(status.find("  80.0 bpm"), std::string::npos) << status << ": the last tempo";
}

// A seek to bar 3 with the full chase sends the state bar 1 left on channel 3,
// each value once and the last one set; without it, the eight values of the
// plain restore, which leave out the bank LSB, the effects and the parameters
// and send the bend's MSB alone.
TEST_F(OrvalisPlayFiles, TheFullChaseMakesASeekRestoreEverythingTheSongSetBeforeIt) {
    const std::string song = ChaseSong();
    const std::vector<std::string> chased = {
        "B2 00 01", "B2 20 02", "C2 0A",    "B2 5B 3C", "B2 5D 1E", "B2 65 00",
        "B2 64 00", "B2 06 0C", "B2 26 00", "B2 06 46", "E2 45 46", "D2 32",
    };
    for (const bool full : {false, true}) {
        std::vector<std::string> args = {"--seek", "3"};
        if (full) args.push_back("--full-chase");
        std::string log;
        ASSERT_EQ(Capture(args, song, log).Status, kExitOk);
        const char* const name = full ? "full chase" : "eight values";
        for (const std::string& message : chased) {
            const bool inPlainRestore = message == "B2 00 01" || message == "C2 0A" || message == "D2 32";
            EXPECT_EQ(LinesWith(log, message).size(), full || inPlainRestore ? 1u : 0u) << name << ": " << message;
        }
        EXPECT_EQ(LinesWith(log, "B2 63 01").empty(), !full) << name << ": the NRPN";
        EXPECT_TRUE(LinesWith(log, "B2 5B 28").empty()) << name << ": reverb's earlier value";
        EXPECT_EQ(LinesWith(log, "E2 00 46").size(), full ? 0u : 1u) << name << ": the bend without its LSB";
        EXPECT_EQ(LinesWith(log, "92 43 64").size(), 1u) << name << ": bar 3";
        EXPECT_TRUE(LinesWith(log, "92 3C").empty()) << name << ": nothing of bar 1";
        if (!full) continue;

        // In the log's order, all before bar 3's note: the banks before the
        // program, and the parameters in the order the song set them, the
        // NRPN (the selection last in force) at the end, its data entry MSB
        // alone as the song gave it.
        std::vector<std::string> before;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line) && line.find("\t92 43 64") == std::string::npos;) {
            before.push_back(line.substr(line.find('\t') + 1));
        }
        const auto position = [&](const std::string& message) {
            return std::find(before.begin(), before.end(), message) - before.begin();
        };
        for (const std::string& message : chased) {
            EXPECT_LT(position(message), static_cast<std::ptrdiff_t>(before.size())) << message << " after bar 3 began";
        }
        EXPECT_LT(position("B2 00 01"), position("C2 0A"));
        EXPECT_LT(position("B2 20 02"), position("C2 0A"));
        std::vector<std::string> parameters;
        for (const std::string& message : before) {
            static const std::set<std::string> machinery = {"B2 65", "B2 64", "B2 63", "B2 62", "B2 06", "B2 26"};
            if (machinery.count(message.substr(0, 5))) parameters.push_back(message);
        }
        const std::vector<std::string> inOrder = {"B2 65 00", "B2 64 00", "B2 06 0C", "B2 26 00",
                                                  "B2 63 01", "B2 62 08", "B2 06 46"};
        EXPECT_EQ(parameters, inOrder);
    }
}

// In real time both options go to the player control, and the status line
// takes the time and length from it: the four bars last 12 s under the map
// (8 s at one tempo), 1.5 s at eight times the written speed.
TEST_F(OrvalisPlayFiles, InRealTimeBothOptionsReachThePlayerControl) {
    const std::string song = ChaseSong();
    const std::string logPath = PathOf("c.txt");
    orvalis_play::PlayEnvironment terminal;
    terminal.Terminal = true;
    Result r = RunTool({"--capture", logPath, "--follow-tempo", "--full-chase", "--seek", "3", "--tempo", "960", song},
                       terminal);
    ASSERT_EQ(r.Status, kExitOk) << r.Err;
    const std::string log = ReadText(logPath);
    EXPECT_EQ(LinesWith(log, "B2 5B 3C").size(), 1u) << log;
    EXPECT_EQ(LinesWith(log, "E2 45 46").size(), 1u) << log;
    EXPECT_EQ(LinesWith(log, "92 43 64").size(), 1u) << log;
    const std::string status = LastStatusLine(r.Out);
    EXPECT_NE(status.find(" / 0:01.5  "), std::string::npos) << status;
    EXPECT_NE(status.find("  480.0 bpm"), std::string::npos) << status << ": 60 at eight times the speed";
    EXPECT_NE(status.find("bar 4/4"), std::string::npos) << status;
}

}  // namespace
