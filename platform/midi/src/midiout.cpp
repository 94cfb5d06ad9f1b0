#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "device.h"
#include "devices.h"
#include "platform/midi/midi.h"

namespace platform {
namespace {

using midi::Device;

// Open devices live in a fixed table. A handle carries its slot and the
// slot's generation, so a handle kept after its device closed is refused
// instead of reaching freed memory; senders announce themselves in Users so
// that a close waits for a send in progress rather than freeing under it.
struct Slot {
    bool InUse = false;  // guarded by TableLock
    // Written by open and close on the host's thread, read by every sender.
    std::atomic<std::uint32_t> Generation{0};
    std::atomic<bool> Open{false};
    std::atomic<int> Users{0};
    std::atomic<Device*> Dev{nullptr};
};

constexpr std::uintptr_t kSlotCount = 64;
std::array<Slot, kSlotCount> Slots;
std::mutex TableLock;

std::mutex ConfigLock;
MidiOutConfig Config;

HMIDIOUT MakeHandle(std::uintptr_t slot, std::uint32_t generation) {
    return reinterpret_cast<HMIDIOUT>((static_cast<std::uintptr_t>(generation) << 8) | (slot + 1));
}

bool DecodeHandle(HMIDIOUT handle, std::uintptr_t& slot, std::uint32_t& generation) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    std::uintptr_t index = value & 0xFF;
    if (index == 0 || index > kSlotCount) {
        return false;
    }
    slot = index - 1;
    generation = static_cast<std::uint32_t>(value >> 8);
    return true;
}

// A sender's use of a device, for the duration of one call.
class DeviceUse {
public:
    explicit DeviceUse(HMIDIOUT handle) noexcept {
        std::uintptr_t slot;
        std::uint32_t generation;
        if (!DecodeHandle(handle, slot, generation)) {
            return;
        }
        Slot& s = Slots[slot];
        s.Users.fetch_add(1, std::memory_order_seq_cst);
        if (!s.Open.load(std::memory_order_seq_cst) || s.Generation.load(std::memory_order_seq_cst) != generation) {
            s.Users.fetch_sub(1, std::memory_order_release);
            return;
        }
        Used = &s;
        Dev = s.Dev.load(std::memory_order_acquire);
    }
    ~DeviceUse() {
        if (Used) {
            Used->Users.fetch_sub(1, std::memory_order_release);
        }
    }
    DeviceUse(const DeviceUse&) = delete;
    DeviceUse& operator=(const DeviceUse&) = delete;

    Device* operator->() const noexcept { return Dev; }
    explicit operator bool() const noexcept { return Dev != nullptr; }

private:
    Slot* Used = nullptr;
    Device* Dev = nullptr;
};

bool ValidHeader(const MIDIHDR* header, std::uint32_t size) { return header && size == sizeof(MIDIHDR); }

}  // namespace

MMRESULT midiOutOpen(HMIDIOUT* handle, int deviceId, MidiOutProc callback, std::uintptr_t instance,
                     std::uint32_t flags) noexcept {
    if (!handle) {
        midi::SetLastError("No place for the handle was given");
        return MMSYSERR_INVALPARAM;
    }
    *handle = nullptr;
    if (flags != CALLBACK_NULL && flags != CALLBACK_FUNCTION) {
        midi::SetLastError("Only function callbacks are supported");
        return MMSYSERR_INVALFLAG;
    }
    if (flags == CALLBACK_FUNCTION && !callback) {
        midi::SetLastError("A function callback was asked for without a function");
        return MMSYSERR_INVALPARAM;
    }
    try {
        midi::OpenRequest request;
        request.Callback = flags == CALLBACK_FUNCTION ? callback : nullptr;
        request.Instance = instance;
        request.Config = MidiOutConfiguration();
        request.TimeSource = request.Config.TimeSource ? request.Config.TimeSource : &DefaultClock();
        if (deviceId == MIDI_MAPPER) {
            deviceId = request.Config.DefaultDevice == MIDI_MAPPER ? kSynthesizerDevice : request.Config.DefaultDevice;
        }
        std::shared_ptr<MidiPortBackend> backend;
        std::size_t portIndex = 0;
        if (deviceId >= kFirstPortDevice) {
            backend = midi::CurrentPortBackend();
            portIndex = static_cast<std::size_t>(deviceId - kFirstPortDevice);
            if (portIndex >= backend->PortNames().size()) {
                midi::SetLastError("There is no MIDI output device " + std::to_string(deviceId));
                return MMSYSERR_BADDEVICEID;
            }
        } else if (deviceId != kSynthesizerDevice && deviceId != kCaptureDevice) {
            midi::SetLastError("There is no MIDI output device " + std::to_string(deviceId));
            return MMSYSERR_BADDEVICEID;
        }

        std::uintptr_t slot = kSlotCount;
        std::uint32_t generation = 0;
        {
            std::lock_guard guard(TableLock);
            for (std::uintptr_t i = 0; i < kSlotCount; ++i) {
                if (!Slots[i].InUse) {
                    slot = i;
                    break;
                }
            }
            if (slot == kSlotCount) {
                midi::SetLastError("Too many MIDI output devices are open");
                return MMSYSERR_NOMEM;
            }
            Slots[slot].InUse = true;
            generation = Slots[slot].Generation.fetch_add(1, std::memory_order_seq_cst) + 1;
        }
        request.Handle = MakeHandle(slot, generation);

        // Devices are built outside the table lock: loading a SoundFont takes
        // a while and other hosts' devices need not wait for it.
        MMRESULT result = MMSYSERR_NOERROR;
        std::unique_ptr<Device> device;
        if (deviceId == kSynthesizerDevice) {
            device = midi::OpenSynthesizer(request, result);
        } else if (deviceId == kCaptureDevice) {
            device = midi::OpenCapture(request, result);
        } else {
            device = midi::OpenPort(request, *backend, portIndex, result);
        }
        std::lock_guard guard(TableLock);
        if (!device) {
            Slots[slot].InUse = false;
            return result;
        }
        Slots[slot].Dev.store(device.release(), std::memory_order_release);
        Slots[slot].Open.store(true, std::memory_order_seq_cst);
        *handle = request.Handle;
        return MMSYSERR_NOERROR;
    } catch (...) {
        midi::SetLastError("Out of memory while opening the MIDI output device");
        return MMSYSERR_NOMEM;
    }
}

MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) noexcept {
    DeviceUse device(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    std::uint8_t bytes[3] = {static_cast<std::uint8_t>(message), static_cast<std::uint8_t>(message >> 8),
                             static_cast<std::uint8_t>(message >> 16)};
    int length = midi::ShortMessageLength(bytes[0]);
    if (length == 0) {
        return MMSYSERR_INVALPARAM;
    }
    return device->SendShort(bytes, length);
}

MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) noexcept {
    DeviceUse device(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!ValidHeader(header, size) || !header->lpData) {
        return MMSYSERR_INVALPARAM;
    }
    header->dwFlags.fetch_or(MHDR_PREPARED, std::memory_order_acq_rel);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) noexcept {
    DeviceUse device(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!ValidHeader(header, size)) {
        return MMSYSERR_INVALPARAM;
    }
    std::uint32_t flags = header->dwFlags.load(std::memory_order_acquire);
    if (flags & MHDR_INQUEUE) {
        return MIDIERR_STILLPLAYING;
    }
    header->dwFlags.fetch_and(~MHDR_PREPARED, std::memory_order_acq_rel);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) noexcept {
    DeviceUse device(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!ValidHeader(header, size) || !header->lpData) {
        return MMSYSERR_INVALPARAM;
    }
    std::uint32_t flags = header->dwFlags.load(std::memory_order_acquire);
    if (!(flags & MHDR_PREPARED)) {
        return MIDIERR_UNPREPARED;
    }
    if (flags & MHDR_INQUEUE) {
        return MIDIERR_STILLPLAYING;
    }
    return device->SendLong(header);
}

MMRESULT midiOutReset(HMIDIOUT handle) noexcept {
    DeviceUse device(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    return device->Reset();
}

MMRESULT midiOutClose(HMIDIOUT handle) noexcept {
    std::uintptr_t slot;
    std::uint32_t generation;
    if (!DecodeHandle(handle, slot, generation)) {
        return MMSYSERR_INVALHANDLE;
    }
    Slot& s = Slots[slot];
    Device* device = nullptr;
    {
        std::lock_guard guard(TableLock);
        if (!s.Open.load(std::memory_order_seq_cst) || s.Generation.load(std::memory_order_seq_cst) != generation) {
            return MMSYSERR_INVALHANDLE;
        }
        device = s.Dev.load(std::memory_order_acquire);
        if (device->Queued() > 0) {
            return MIDIERR_STILLPLAYING;
        }
        // Refuse new senders, then wait for the ones inside a call: each
        // stays for one message only.
        s.Open.store(false, std::memory_order_seq_cst);
        while (s.Users.load(std::memory_order_seq_cst) != 0) {
            std::this_thread::yield();
        }
        if (device->Queued() > 0) {
            // A long message slipped in before the door closed.
            s.Open.store(true, std::memory_order_seq_cst);
            return MIDIERR_STILLPLAYING;
        }
        s.Generation.fetch_add(1, std::memory_order_seq_cst);
    }
    // Closing may write files and show notices; the slot stays reserved
    // (InUse) until the device is gone, without holding the table lock.
    device->Shutdown();
    delete device;
    std::lock_guard guard(TableLock);
    s.Dev.store(nullptr, std::memory_order_release);
    s.InUse = false;
    return MMSYSERR_NOERROR;
}

std::uint32_t midiOutGetNumDevs() noexcept {
    try {
        return static_cast<std::uint32_t>(kFirstPortDevice + midi::CurrentPortBackend()->PortNames().size());
    } catch (...) {
        return kFirstPortDevice;
    }
}

std::vector<MidiOutDeviceInfo> EnumerateMidiOutDevices() {
    std::vector<MidiOutDeviceInfo> devices;
    devices.push_back({kSynthesizerDevice, kSynthesizerName});
    devices.push_back({kCaptureDevice, kCaptureName});
    int number = kFirstPortDevice;
    for (auto& name : midi::CurrentPortBackend()->PortNames()) {
        devices.push_back({number++, std::move(name)});
    }
    return devices;
}

void ConfigureMidiOut(const MidiOutConfig& config) {
    std::lock_guard guard(ConfigLock);
    Config = config;
}

MidiOutConfig MidiOutConfiguration() {
    std::lock_guard guard(ConfigLock);
    return Config;
}

}  // namespace platform
