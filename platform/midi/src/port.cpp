#include <mutex>
#include <string>

#include "device.h"
#include "devices.h"

namespace platform::midi {
namespace {

// A system port. The connection is not safe for two senders at once (the
// host's thread and the timer worker both send), so a send holds a lock for
// the length of one message. A mutex rather than a spin lock: a real-time
// worker spinning on a lock that a preempted host thread holds could keep
// that thread from ever running on the same core.
class PortDevice final : public Device {
public:
    PortDevice(const OpenRequest& request, std::unique_ptr<MidiPortConnection> connection)
        : Device(request.Handle, request.Callback, request.Instance), Connection(std::move(connection)) {}

    MMRESULT SendShort(const std::uint8_t* bytes, int length) noexcept override {
        return Send(bytes, static_cast<std::size_t>(length));
    }

protected:
    MMRESULT DeliverLong(MIDIHDR* header) noexcept override {
        return Send(reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBufferLength);
    }

    void Silence() noexcept override {
        for (std::uint8_t channel = 0; channel < 16; ++channel) {
            const std::uint8_t allNotesOff[3] = {static_cast<std::uint8_t>(0xB0 | channel), 123, 0};
            Send(allNotesOff, 3);
        }
    }

    void Stop() noexcept override { Connection.reset(); }

private:
    MMRESULT Send(const std::uint8_t* bytes, std::size_t length) noexcept {
        std::lock_guard guard(SendLock);
        return Connection->Send(bytes, length) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    }

    std::unique_ptr<MidiPortConnection> Connection;
    std::mutex SendLock;
};

std::mutex BackendLock;
std::shared_ptr<MidiPortBackend> Backend;

}  // namespace

std::unique_ptr<Device> OpenPort(const OpenRequest& request, MidiPortBackend& backend, std::size_t index,
                                 MMRESULT& result) {
    std::string error;
    auto connection = backend.Open(index, error);
    if (!connection) {
        SetLastError(error.empty() ? "The MIDI port could not be opened" : error);
        result = MMSYSERR_NODRIVER;
        return nullptr;
    }
    auto device = std::make_unique<PortDevice>(request, std::move(connection));
    if (!device->StartCompletions()) {
        device->Shutdown();
        SetLastError("The MIDI port could not start its completion thread");
        result = MMSYSERR_NOMEM;
        return nullptr;
    }
    return device;
}

std::shared_ptr<MidiPortBackend> CurrentPortBackend() {
    std::lock_guard guard(BackendLock);
    if (!Backend) {
        Backend = MakeSystemPortBackend();
    }
    return Backend;
}

}  // namespace platform::midi

namespace platform {

std::shared_ptr<MidiPortBackend> SetMidiPortBackend(std::shared_ptr<MidiPortBackend> backend) {
    std::lock_guard guard(midi::BackendLock);
    auto previous = std::move(midi::Backend);
    midi::Backend = std::move(backend);
    return previous ? previous : midi::MakeSystemPortBackend();
}

}  // namespace platform
