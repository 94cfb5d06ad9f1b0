// kestravion-play drives the video controls as any host does: made by ProgID
// through the registry, called by name, heard through their events.

#include "KestravionPlay.h"

#include <atomic>
#include <cstdlib>
#include <memory>

#include "PlayOptions.h"
#include "PlayerWindow.h"
#include "kestravion/KestravionIds.h"
#include "platform/automation/container.h"
#include "platform/window/backend.h"
#include "platform/window/host.h"
#include "platform/window/x11.h"
#include "tools/OwnControls.h"

namespace kestravion_play {
namespace {

using namespace platform;

constexpr auto kPumpSlice = std::chrono::milliseconds(100);
// How long the pictures may take to settle for a snapshot.
constexpr auto kPictureLimit = std::chrono::seconds(10);
// How long the display's windows may take to go at the end.
constexpr auto kLetGoLimit = std::chrono::seconds(5);

std::atomic<bool> Interrupted{false};

std::unique_ptr<HostedControl> MakeControl(const char* progId, std::string& why) {
    return tool_support::MakeOwnControl(progId, {"kestravion", KESTRAVION_PLAY_MODULE}, why);
}

Variant Call(HostedControl& control, std::string_view name, std::vector<Variant> args = {}) {
    Variant result;
    if (control.Call(name, args, &result, nullptr) != S_OK) return Variant();
    return result;
}

bool CallBool(HostedControl& control, std::string_view name, std::vector<Variant> args = {}) {
    return Call(control, name, std::move(args)).Bool() != FALSE;
}

enum class DisplayChoice { Headless, Shown, Failed };

// Puts the windows on the display the options name ($DISPLAY by default)
// unless they ask for none. Only a display named on the command line (or
// needed by --into) must open; without one the windows are drawn off screen.
DisplayChoice OpenDisplay(const PlayOptions& options, std::ostream& err) {
    if (options.Headless || !options.SnapshotPath.empty()) return DisplayChoice::Headless;
    const bool asked = options.Display || options.IntoWindow != 0;
    const char* environment = std::getenv("DISPLAY");
    if (!asked && (!environment || !*environment)) return DisplayChoice::Headless;
    std::string why;
    if (auto backend = MakeX11Backend(options.Display.value_or("").c_str(), &why)) {
        if (host::InstallBackend(std::move(backend))) return DisplayChoice::Shown;
        why = "cannot show windows on the display: this process has windows already";
    }
    if (asked) {
        err << "kestravion-play: " << why << "\n";
        return DisplayChoice::Failed;
    }
    err << "kestravion-play: " << why << "; drawing off screen\n";
    return DisplayChoice::Headless;
}

class Session {
public:
    // onDisplay: the windows are on a display, where the tool plays until
    // its window is closed; off screen it ends with the group.
    Session(const PlayOptions& options, bool onDisplay, std::ostream& out, std::ostream& err)
        : Options(options), OnDisplay(onDisplay), Out(out), Err(err) {}

    int Run() {
        std::string why;
        Window = PlayerWindow::Create(Options.Files.size(), Options.IntoWindow, why);
        if (!Window) return Fail(why);
        if (!MakeControls(why)) return Fail(why);
        for (std::size_t i = 0; i < Options.Files.size(); ++i) {
            const Variant handle = Call(*Displays[i], "GetHandle");
            if (!CallBool(*Source, "AddFile", {Variant(Options.Files[i]), handle})) {
                return Fail("cannot add " + Options.Files[i] + ": " + Call(*Source, "LastError").String());
            }
        }
        CallBool(*Source, "Prepare");
        if (Options.Zoom) {
            for (auto& display : Displays) Call(*display, "Zoom", {Variant(*Options.Zoom)});
        }
        Window->Arrange(DisplayPointers(), WithPictures());
        SetLevels();
        return Options.SnapshotPath.empty() ? Play() : Snapshot();
    }

    ~Session() {
        // The source first: its engine lets go of the displays before they go.
        Source.reset();
        Displays.clear();
        Window.reset();
    }

private:
    int Fail(const std::string& why) {
        Err << "kestravion-play: " << why << "\n";
        return kExitFailure;
    }

    bool MakeControls(std::string& why) {
        Source = MakeControl(kestravion::kVideoSourceProgId, why);
        if (!Source) return false;
        DWORD cookie = 0;
        Source->Connect([this](const EventInfo& event, std::span<Variant> args) { OnSourceEvent(event, args); },
                        cookie);
        if (FAILED(Source->Activate(Window->Handle(), Window->StripPlace()))) {
            why = "cannot show the button strip";
            return false;
        }
        for (std::size_t i = 0; i < Options.Files.size(); ++i) {
            auto display = MakeControl(kestravion::kVideoConsumerProgId, why);
            if (!display) return false;
            if (Options.TopColour) {
                display->Set("BackgroundColor", Variant::MakeColor(*Options.TopColour), nullptr);
                display->Set("BackgroundColor2", Variant::MakeColor(*Options.BottomColour), nullptr);
            }
            // A display has its window, and so a handle to give AddFile, only once active.
            if (FAILED(display->Activate(Window->Handle(), Window->DisplayPlace(i)))) {
                why = "cannot show the display of " + Options.Files[i];
                return false;
            }
            Displays.push_back(std::move(display));
        }
        return true;
    }

    std::vector<HostedControl*> DisplayPointers() const {
        std::vector<HostedControl*> displays;
        for (const auto& display : Displays) displays.push_back(display.get());
        return displays;
    }

    // Which displays show a picture: those whose stream has video.
    std::vector<bool> WithPictures() {
        std::vector<bool> with;
        for (auto& display : Displays) {
            std::int32_t width = 0, height = 0;
            with.push_back(CallBool(*display, "GetOptimalSizePixel", {Variant(&width), Variant(&height)}));
        }
        return with;
    }

    void SetLevels() {
        for (const StreamLevel& level : Options.Volumes) {
            if (!CallBool(*Source, "SetVolume", {Variant(level.Stream - 1), Variant(level.Value)})) {
                Err << "kestravion-play: stream " << level.Stream << " has no sound; --volume left out\n";
            }
        }
        for (const StreamLevel& level : Options.Pans) {
            if (!CallBool(*Source, "SetPan", {Variant(level.Stream - 1), Variant(level.Value)})) {
                Err << "kestravion-play: stream " << level.Stream << " has no sound; --pan left out\n";
            }
        }
    }

    void OnSourceEvent(const EventInfo& event, std::span<Variant> args) {
        if (event.Id == DISPID_ERROREVENT && args.size() == 7) {
            // Said here, once: the control would otherwise show it as a notice too.
            args[6].SetBool(TRUE);
            Err << "kestravion-play: " << args[1].String() << "\n";
            ++Errors;
        } else if (event.Id == kestravion::kEventComplete) {
            Out << "complete\n";
            Completed = true;
        } else if (event.Id == kestravion::kEventBufferingData) {
            Out << "buffering...\n";
        } else if (event.Id == kestravion::kEventBufferingEnd) {
            Out << "buffering ended\n";
        } else if (event.Id == kestravion::kEventPlay) {
            Out << "play\n";  // the strip's buttons, clicked
        } else if (event.Id == kestravion::kEventPause) {
            Out << "pause\n";
        } else if (event.Id == kestravion::kEventStop) {
            Out << "stop\n";
        }
        Out.flush();
    }

    int Play() {
        if (Options.SeekMs && !CallBool(*Source, "Seek", {Variant(*Options.SeekMs)})) return kExitFailure;
        if (!CallBool(*Source, "Run")) return kExitFailure;
        Out << "playing " << Options.Files.size() << (Options.Files.size() == 1 ? " file" : " files") << "\n";
        Out.flush();
        // On a display the buttons may play the group again after its end:
        // the tool goes on until its window goes.
        const auto over = [this] {
            return Interrupted.load(std::memory_order_acquire) || (OnDisplay ? !Window->Open() : Completed);
        };
        while (!over()) Window->PumpUntil(over, kPumpSlice);
        if (Interrupted.load(std::memory_order_acquire)) return kExitInterrupted;
        // The group went on without a file that failed part-way: said above, and not a success.
        return Errors == 0 ? kExitOk : kExitFailure;
    }

    int Snapshot() {
        const double at = Options.SnapshotAtMs.value_or(Options.SeekMs.value_or(0.0));
        if (!CallBool(*Source, "Pause")) return kExitFailure;
        Window->PaintAll(kPictureLimit);
        if (!CallBool(*Source, "Seek", {Variant(at)})) return kExitFailure;
        Window->AwaitNewPictures(DisplayPointers(), kPictureLimit);
        std::string why;
        if (!Window->SavePng(Options.SnapshotPath, why)) return Fail(why);
        RECT client{};
        GetClientRect(Window->Handle(), &client);
        Out << "wrote " << Options.SnapshotPath << " (" << client.right << "x" << client.bottom << ")\n";
        return kExitOk;
    }

    const PlayOptions& Options;
    const bool OnDisplay;
    std::ostream& Out;
    std::ostream& Err;
    std::unique_ptr<PlayerWindow> Window;
    std::unique_ptr<HostedControl> Source;
    std::vector<std::unique_ptr<HostedControl>> Displays;
    bool Completed = false;  // the control's thread, which is this one
    int Errors = 0;
};

}  // namespace

std::string UsageText() {
    std::string text =
        "Usage: kestravion-play [OPTIONS] FILE...\n"
        "Plays up to 16 media files (paths or URLs) as one group: they start, pause and\n"
        "seek together, each picture in a display of its own, laid out in a grid below\n"
        "the Play, Pause and Stop buttons.\n"
        "\n"
        "Options:\n";
    text += tool_support::HelpLines(OptionTable());
    text +=
        "\n"
        "Streams are numbered from 1 in the order of the files. Without --snapshot the\n"
        "group plays, and buffering, completion, errors and the buttons clicked (play,\n"
        "pause, stop) are reported as they come. When a display is there ($DISPLAY or\n"
        "--display) the window shows on it, the buttons answer the mouse and the tool\n"
        "runs until its window is closed (or the window given to --into goes); off\n"
        "screen (--headless, no display, --snapshot) it ends with the group.\n"
        "\n"
        "Examples:\n"
        "  kestravion-play a.webm b.webm                          play two files side by side\n"
        "  kestravion-play --volume 2=0.5 --pan 2=-1 a.webm b.webm  the second quieter, on the left\n"
        "  kestravion-play --snapshot out.png --at 1500 a.webm b.webm  the pictures at 1.5 s\n"
        "  kestravion-play --into 0x3a00007 a.webm b.webm         inside another program's window\n"
        "\n"
        "Exit status: 0 when the group played to its end (or its window was closed) or\n"
        "the snapshot was written, 1 when a file cannot be added (the reason is printed)\n"
        "or failed while playing, the controls cannot be made, the display or the\n"
        "--into window is not there or the snapshot not written, 2 for a bad command\n"
        "line, 130 when interrupted.\n";
    return text;
}

void RequestInterrupt() noexcept { Interrupted.store(true, std::memory_order_release); }

int RunKestravionPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Interrupted.store(false, std::memory_order_release);
    const ParseResult parsed = ParsePlayOptions(args);
    if (!parsed.Error.empty()) {
        err << "kestravion-play: " << parsed.Error << "\nTry 'kestravion-play --help'.\n";
        return kExitUsage;
    }
    if (parsed.Options.Help) {
        out << UsageText();
        return kExitOk;
    }
    if (!parsed.Options.RegistryPath.empty()) SetRegistryPath(parsed.Options.RegistryPath);
    const DisplayChoice display = OpenDisplay(parsed.Options, err);
    if (display == DisplayChoice::Failed) return kExitFailure;
    int status = Session(parsed.Options, display == DisplayChoice::Shown, out, err).Run();
    if (display == DisplayChoice::Shown) {
        // The renderers' windows go with their last references, on this thread.
        if (!PumpMessagesUntil([] { return host::InstallBackend(nullptr); }, kLetGoLimit)) status = kExitFailure;
    }
    return status;
}

}  // namespace kestravion_play
