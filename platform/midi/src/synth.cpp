#include <cstdarg>

// error.h declares snd_lib_error_set_local outside its extern "C" block.
extern "C" {
#include <alsa/error.h>
}
#include <fluidsynth.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device.h"
#include "devices.h"
#include "platform/notice/notice.h"
#include "wav.h"

namespace platform::midi {
namespace {

constexpr const char* kDefaultSoundFonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
};
constexpr const char* kDefaultDrivers[] = {"pulseaudio", "alsa"};
constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 96000;
constexpr std::uint32_t kRenderPeriodMs = 2;

// FluidSynth reports through a global log function; the library never
// prints, so errors are kept per thread to explain a failed open.
thread_local std::string FluidError;

void KeepFluidLog(int level, const char* message, void*) {
    if (level == FLUID_PANIC || level == FLUID_ERR) {
        FluidError = message ? message : "";
    }
}

void SilentAlsaError(const char*, int, const char*, int, const char*, va_list) {}

void InstallFluidLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level : {FLUID_PANIC, FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG}) {
            fluid_set_log_function(level, &KeepFluidLog, nullptr);
        }
    });
}

std::string FluidReason() { return FluidError.empty() ? std::string() : " (" + FluidError + ")"; }

struct SettingsDeleter {
    void operator()(fluid_settings_t* s) const { delete_fluid_settings(s); }
};
struct SynthDeleter {
    void operator()(fluid_synth_t* s) const { delete_fluid_synth(s); }
};
struct DriverDeleter {
    void operator()(fluid_audio_driver_t* d) const { delete_fluid_audio_driver(d); }
};

// WAV files being rendered: two synthesizers must not write one file.
std::mutex WavLock;
std::set<std::string> WavInUse;

class SynthDevice final : public Device {
public:
    explicit SynthDevice(const OpenRequest& request)
        : Device(request.Handle, request.Callback, request.Instance), Time(*request.TimeSource) {}

    ~SynthDevice() override {
        if (!WavPath.empty()) {
            std::lock_guard guard(WavLock);
            WavInUse.erase(WavPath);
        }
    }

    MMRESULT Start(const MidiOutConfig& config) {
        InstallFluidLog();
        FluidError.clear();
        if (config.SampleRate < kMinSampleRate || config.SampleRate > kMaxSampleRate) {
            SetLastError("The sample rate " + std::to_string(config.SampleRate) + " Hz is outside " +
                         std::to_string(kMinSampleRate) + " to " + std::to_string(kMaxSampleRate) + " Hz");
            return MMSYSERR_INVALPARAM;
        }
        if (!(config.Gain >= 0.0 && config.Gain <= 10.0)) {
            SetLastError("The gain " + std::to_string(config.Gain) + " is outside 0 to 10");
            return MMSYSERR_INVALPARAM;
        }
        std::string soundFont = ChooseSoundFont(config.SoundFont);
        if (soundFont.empty()) {
            return MMSYSERR_NODRIVER;
        }
        Settings.reset(new_fluid_settings());
        if (!Settings) {
            SetLastError("The synthesizer could not be set up" + FluidReason());
            return MMSYSERR_NOMEM;
        }
        fluid_settings_setnum(Settings.get(), "synth.sample-rate", config.SampleRate);
        fluid_settings_setnum(Settings.get(), "synth.gain", config.Gain);
        Synth.reset(new_fluid_synth(Settings.get()));
        if (!Synth) {
            SetLastError("The synthesizer could not be created" + FluidReason());
            return MMSYSERR_NOMEM;
        }
        if (fluid_synth_sfload(Synth.get(), soundFont.c_str(), 1) == FLUID_FAILED) {
            SetLastError("The SoundFont " + soundFont + " could not be loaded" + FluidReason());
            return MMSYSERR_NODRIVER;
        }
        Rate = config.SampleRate;
        if (!config.WavPath.empty()) {
            return StartFile(config.WavPath);
        }
        return StartAudio(config.AudioDriver);
    }

    MMRESULT SendShort(const std::uint8_t* bytes, int length) noexcept override {
        for (int i = 1; i < length; ++i) {
            if (bytes[i] > 0x7F) {
                return MMSYSERR_INVALPARAM;
            }
        }
        fluid_synth_t* synth = Synth.get();
        int channel = bytes[0] & 0x0F;
        int data1 = length > 1 ? bytes[1] : 0;
        int data2 = length > 2 ? bytes[2] : 0;
        // A note-off for a note that is not sounding "fails" in FluidSynth;
        // that is no error of the message, so results are not passed on.
        switch (bytes[0] & 0xF0) {
            case 0x80: fluid_synth_noteoff(synth, channel, data1); break;
            case 0x90: fluid_synth_noteon(synth, channel, data1, data2); break;
            case 0xA0: fluid_synth_key_pressure(synth, channel, data1, data2); break;
            case 0xB0: fluid_synth_cc(synth, channel, data1, data2); break;
            case 0xC0: fluid_synth_program_change(synth, channel, data1); break;
            case 0xD0: fluid_synth_channel_pressure(synth, channel, data1); break;
            case 0xE0: fluid_synth_pitch_bend(synth, channel, data1 | (data2 << 7)); break;
            default:
                if (bytes[0] == 0xFF) {
                    fluid_synth_system_reset(synth);
                }
                break;
        }
        return MMSYSERR_NOERROR;
    }

protected:
    MMRESULT DeliverLong(MIDIHDR* header) noexcept override {
        // FluidSynth wants system exclusive without its framing bytes.
        const char* data = header->lpData;
        int length = static_cast<int>(header->dwBufferLength);
        if (length > 0 && static_cast<std::uint8_t>(data[0]) == 0xF0) {
            ++data;
            --length;
        }
        if (length > 0 && static_cast<std::uint8_t>(data[length - 1]) == 0xF7) {
            --length;
        }
        if (length > 0) {
            fluid_synth_sysex(Synth.get(), data, length, nullptr, nullptr, nullptr, 0);
        }
        return MMSYSERR_NOERROR;
    }

    void Silence() noexcept override { fluid_synth_all_notes_off(Synth.get(), -1); }

    void Stop() noexcept override {
        if (ObserverId) {
            Time.RemoveStepObserver(ObserverId);
        }
        if (RenderEventId) {
            Time.KillEvent(RenderEventId);
        }
        if (RenderPulse) {
            QuitRender.store(true, std::memory_order_release);
            RenderPulse->Pulse();
            RenderThread.JoinFor(kWorkerJoinLimit);
        }
        if (Wav) {
            std::string error;
            {
                std::lock_guard guard(RenderLock);
                RenderTo(FramesAt(Time.NowNs()), true);
            }
            if (!Wav->Close(error)) {
                SetLastError(error);
                ShowNotice("The synthesizer's recording is incomplete. " + error);
            }
        }
        Driver.reset();
        Synth.reset();
        Settings.reset();
    }

private:
    static std::string ChooseSoundFont(const std::string& wanted) {
        if (!wanted.empty()) {
            if (!fluid_is_soundfont(wanted.c_str())) {
                SetLastError("The SoundFont " + wanted + " is missing or is not a SoundFont");
                return {};
            }
            return wanted;
        }
        std::error_code ec;
        for (const char* candidate : kDefaultSoundFonts) {
            if (std::filesystem::exists(candidate, ec) && fluid_is_soundfont(candidate)) {
                return candidate;
            }
        }
        SetLastError(
            "No General MIDI SoundFont was found in /usr/share/sounds/sf2: install one (for example "
            "the timgm6mb-soundfont package) or name one in the MIDI output configuration");
        return {};
    }

    MMRESULT StartAudio(const std::string& wanted) {
        std::vector<std::string> drivers;
        if (!wanted.empty()) {
            drivers.push_back(wanted);
        } else {
            drivers.assign(std::begin(kDefaultDrivers), std::end(kDefaultDrivers));
        }
        std::string tried;
        for (const auto& name : drivers) {
            FluidError.clear();
            fluid_settings_setstr(Settings.get(), "audio.driver", name.c_str());
            // ALSA prints its configuration errors unless told otherwise.
            snd_local_error_handler_t previous = snd_lib_error_set_local(&SilentAlsaError);
            Driver.reset(new_fluid_audio_driver(Settings.get(), Synth.get()));
            snd_lib_error_set_local(previous);
            if (Driver) {
                return MMSYSERR_NOERROR;
            }
            tried += (tried.empty() ? "" : "; ") + name + (FluidError.empty() ? "" : ": " + FluidError);
        }
        SetLastError("No audio output could be opened (" + tried +
                     "); render to a WAV file instead, or start a sound server");
        return MMSYSERR_NODRIVER;
    }

    MMRESULT StartFile(const std::string& path) {
        {
            std::lock_guard guard(WavLock);
            if (!WavInUse.insert(path).second) {
                SetLastError("The WAV file " + path + " is already being rendered by another synthesizer");
                return MMSYSERR_ALLOCATED;
            }
        }
        WavPath = path;
        Wav = std::make_unique<WavWriter>();
        std::string error;
        if (!Wav->Open(path, Rate, error)) {
            Wav.reset();
            SetLastError(error);
            return MMSYSERR_NODRIVER;
        }
        Block = fluid_synth_get_internal_bufsize(Synth.get());
        BlockBuffer.resize(static_cast<std::size_t>(Block) * 2);
        OpenedAt = Time.NowNs();
        // A stepped clock renders each step as it is taken; real time gets a
        // render thread on the clock's own pulse.
        ObserverId = Time.AddStepObserver([this](std::int64_t, std::int64_t to) {
            std::lock_guard guard(RenderLock);
            RenderTo(FramesAt(to), false);
        });
        if (ObserverId) {
            return MMSYSERR_NOERROR;
        }
        RenderPulse = std::make_shared<PulseEvent>();
        if (!RenderThread.Start("synth render", [this] { RenderLoop(); })) {
            SetLastError("The synthesizer could not start its render thread");
            return MMSYSERR_NOMEM;
        }
        RenderEventId = Time.SetEvent(kRenderPeriodMs, 0, RenderPulse, TIME_PERIODIC | TIME_CALLBACK_EVENT_PULSE);
        if (!RenderEventId) {
            SetLastError("The synthesizer could not start its render clock");
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

    void RenderLoop() {
        for (;;) {
            RenderPulse->Wait();
            if (QuitRender.load(std::memory_order_acquire)) {
                RenderPulse->Leave();
                return;
            }
            std::lock_guard guard(RenderLock);
            RenderTo(FramesAt(Time.NowNs()), false);
        }
    }

    std::int64_t FramesAt(std::int64_t timeNs) const {
        constexpr std::int64_t kNsPerSecond = 1000000000;
        std::int64_t ns = std::max<std::int64_t>(0, timeNs - OpenedAt);
        return ns / kNsPerSecond * Rate + (ns % kNsPerSecond * Rate + kNsPerSecond / 2) / kNsPerSecond;
    }

    // Brings the file up to target frames. FluidSynth renders whole blocks
    // (64 frames) and a message takes effect at the next block it starts, so
    // the synthesizer is kept at the block boundary nearest to the target:
    // a message sent at the current time then sounds within half a block of
    // it, early or late. Frames rendered past the target wait in Pending.
    // exact: render at least up to target (the final flush).
    void RenderTo(std::int64_t target, bool exact) {
        if (!Wav) {
            return;
        }
        std::int64_t half = Block / 2;
        while (exact ? SynthFrames < target : SynthFrames + half <= target) {
            fluid_synth_write_s16(Synth.get(), Block, BlockBuffer.data(), 0, 2, BlockBuffer.data(), 1, 2);
            Pending.insert(Pending.end(), BlockBuffer.begin(), BlockBuffer.end());
            SynthFrames += Block;
        }
        std::int64_t writable = std::min(SynthFrames, target) - WrittenFrames;
        if (writable > 0) {
            Wav->Append(Pending.data(), static_cast<std::size_t>(writable));
            Pending.erase(Pending.begin(), Pending.begin() + writable * 2);
            WrittenFrames += writable;
        }
    }

    Clock& Time;
    std::unique_ptr<fluid_settings_t, SettingsDeleter> Settings;
    std::unique_ptr<fluid_synth_t, SynthDeleter> Synth;
    std::unique_ptr<fluid_audio_driver_t, DriverDeleter> Driver;
    int Rate = 0;

    // File rendering; everything below is guarded by RenderLock.
    std::string WavPath;
    std::unique_ptr<WavWriter> Wav;
    std::mutex RenderLock;
    std::int64_t OpenedAt = 0;
    int Block = 64;
    std::int64_t SynthFrames = 0;
    std::int64_t WrittenFrames = 0;
    std::vector<std::int16_t> BlockBuffer;
    std::vector<std::int16_t> Pending;

    int ObserverId = 0;
    std::uint32_t RenderEventId = 0;
    std::shared_ptr<PulseEvent> RenderPulse;
    // Written by the host (close), read by the render thread.
    std::atomic<bool> QuitRender{false};
    WorkerThread RenderThread;
};

}  // namespace

std::unique_ptr<Device> OpenSynthesizer(const OpenRequest& request, MMRESULT& result) {
    auto device = std::make_unique<SynthDevice>(request);
    result = device->Start(request.Config);
    if (result == MMSYSERR_NOERROR && !device->StartCompletions()) {
        SetLastError("The synthesizer could not start its completion thread");
        result = MMSYSERR_NOMEM;
    }
    if (result != MMSYSERR_NOERROR) {
        std::string reason = MidiOutLastError();
        device->Shutdown();
        SetLastError(reason);
        return nullptr;
    }
    return device;
}

}  // namespace platform::midi
