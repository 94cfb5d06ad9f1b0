#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/clock/mmresult.h"

// MIDI output devices with the contract the output port was written against:
// open by number, packed short messages, long messages that are prepared,
// queued, completed (one MOM_DONE per message, on a thread of the device's)
// and unprepared, and a close that refuses while long messages are queued.
//
// Devices, numbered as the host sees them:
//   0   "Software synthesizer": an in-process synthesizer with a General MIDI
//       SoundFont, playing to the system's audio output or into a WAV file;
//   1   "Capture": records every message with its time (see capture.h);
//   2.. the system's MIDI output ports, named as the system names them;
//   -1  the default device (0 unless the host configured another).
namespace platform {

using HMIDIOUT = struct HmidioutTag*;

// A long-message header. The device reads lpData/dwBufferLength; dwFlags is
// written by the device's thread and read by the sender, hence atomic.
struct MIDIHDR {
    char* lpData = nullptr;
    std::uint32_t dwBufferLength = 0;
    std::uint32_t dwBytesRecorded = 0;
    std::uintptr_t dwUser = 0;
    std::atomic<std::uint32_t> dwFlags{0};
    MIDIHDR* lpNext = nullptr;    // the device's queue link
    std::uintptr_t reserved = 0;  // the device's own use
    std::uint32_t dwOffset = 0;
};

inline constexpr std::uint32_t MHDR_DONE = 0x00000001;
inline constexpr std::uint32_t MHDR_PREPARED = 0x00000002;
inline constexpr std::uint32_t MHDR_INQUEUE = 0x00000004;

// Callback messages. Only MOM_DONE is sent: once per finished long message,
// with the header's address as param1, on the device's completion thread.
inline constexpr std::uint32_t MOM_OPEN = 0x3C7;
inline constexpr std::uint32_t MOM_CLOSE = 0x3C8;
inline constexpr std::uint32_t MOM_DONE = 0x3C9;

inline constexpr std::uint32_t CALLBACK_NULL = 0x00000000;
inline constexpr std::uint32_t CALLBACK_FUNCTION = 0x00030000;

inline constexpr int MIDI_MAPPER = -1;

using MidiOutProc = void (*)(HMIDIOUT handle, std::uint32_t message, std::uintptr_t instance, std::uintptr_t param1,
                             std::uintptr_t param2);

// Opens device deviceId (see above) and stores its handle in *handle. flags is
// CALLBACK_NULL or CALLBACK_FUNCTION (then callback gets MOM_DONE). Results:
// MMSYSERR_BADDEVICEID for a number that names no device, MMSYSERR_ALLOCATED
// when the device serves one client and has one, MMSYSERR_NODRIVER when the
// device cannot start (MidiOutLastError says why), MMSYSERR_INVALPARAM or
// MMSYSERR_INVALFLAG for bad arguments.
MMRESULT midiOutOpen(HMIDIOUT* handle, int deviceId, MidiOutProc callback, std::uintptr_t instance,
                     std::uint32_t flags) noexcept;

// Sends status | data1 << 8 | data2 << 16 (the bytes the status calls for).
// Never allocates or waits. MMSYSERR_INVALHANDLE for a closed handle,
// MMSYSERR_INVALPARAM for a first byte that is not a status or is 0xF0.
MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) noexcept;

// size is sizeof(MIDIHDR). Preparing marks the header usable for LongMsg;
// unpreparing refuses with MIDIERR_STILLPLAYING while it is queued.
MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) noexcept;
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) noexcept;

// Sends the header's bytes and queues the header; the device marks it
// MHDR_DONE and sends MOM_DONE when it is finished with it. The bytes must
// stay alive until then. MIDIERR_UNPREPARED for an unprepared header,
// MIDIERR_STILLPLAYING for one that is still queued.
MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) noexcept;

// Silences the device and finishes every queued long message at once (each
// still gets its MOM_DONE). Returns when none is queued any more.
MMRESULT midiOutReset(HMIDIOUT handle) noexcept;

// Closes the device. MIDIERR_STILLPLAYING, with the device left open, while
// long messages are queued. MMSYSERR_INVALHANDLE for a closed handle.
MMRESULT midiOutClose(HMIDIOUT handle) noexcept;

// Number of devices: the synthesizer, the capture device and the system's ports.
std::uint32_t midiOutGetNumDevs() noexcept;

struct MidiOutDeviceInfo {
    int Number = 0;
    std::string Name;
};

// Every device with its number, in order. Without a system sequencer there
// are just the two built-in devices; nothing is printed either way.
std::vector<MidiOutDeviceInfo> EnumerateMidiOutDevices();

// The text of the last failure of a midiOut call on the calling thread ("" if
// none): why a device did not open, why a file could not be written.
std::string MidiOutLastError();

// What the host chooses for devices it opens from now on. There is no
// configuration file or environment variable: this call is the only way.
struct MidiOutConfig {
    // SoundFont of the synthesizer; empty: the first of
    // /usr/share/sounds/sf2/default-GM.sf2, FluidR3_GM.sf2, TimGM6mb.sf2 found.
    std::string SoundFont;
    // Audio driver of the synthesizer (a FluidSynth driver name such as
    // "pulseaudio" or "alsa"); empty: try pulseaudio, then alsa.
    std::string AudioDriver;
    // When set, the synthesizer renders into this WAV file (16-bit stereo)
    // instead of playing; its time comes from TimeSource. On a manual clock
    // each step is rendered as it is taken and a message sounds within half
    // a 64-frame block of its time; on the real clock a render thread follows
    // every 2 ms and a message sounds where the last render stopped (up to a
    // render period early).
    std::string WavPath;
    // Hz, 8000 to 96000.
    int SampleRate = 48000;
    // Output gain of the synthesizer (FluidSynth's synth.gain, 0 to 10).
    // FluidSynth's own 0.2 leaves a General MIDI song near -35 dB; 0.5 keeps
    // dense songs clear of clipping and ordinary ones at a listening level.
    double Gain = 0.5;
    // When set, the capture device writes its recording there on close: a
    // text log, and a Standard MIDI File (format 0).
    std::string CaptureLogPath;
    std::string CaptureMidiPath;
    // The device number -1 opens.
    int DefaultDevice = 0;
    // The clock that time-stamps captured messages and paces file rendering;
    // null: DefaultClock() at the time a device opens. It must outlive the
    // devices opened with it.
    Clock* TimeSource = nullptr;
};

void ConfigureMidiOut(const MidiOutConfig& config);
MidiOutConfig MidiOutConfiguration();

// Names of the built-in devices, as enumeration reports them.
inline constexpr const char* kSynthesizerName = "Software synthesizer";
inline constexpr const char* kCaptureName = "Capture";
inline constexpr int kSynthesizerDevice = 0;
inline constexpr int kCaptureDevice = 1;
inline constexpr int kFirstPortDevice = 2;

}  // namespace platform
