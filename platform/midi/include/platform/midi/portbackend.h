#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The system's MIDI output ports behind a small interface: the ALSA sequencer
// through RtMidi normally, a stand-in in tests (there is no sequencer on a
// build machine).
namespace platform {

class MidiPortConnection {
public:
    virtual ~MidiPortConnection() = default;
    // Sends one complete message. False when the system refused it.
    virtual bool Send(const std::uint8_t* bytes, std::size_t length) noexcept = 0;
};

class MidiPortBackend {
public:
    virtual ~MidiPortBackend() = default;
    // Names of the output ports, in the system's order; empty when there are
    // none or no sequencer. Never prints.
    virtual std::vector<std::string> PortNames() noexcept = 0;
    // Connects to port index; null, with error filled, when it cannot.
    virtual std::unique_ptr<MidiPortConnection> Open(std::size_t index, std::string& error) noexcept = 0;
};

// Replaces the backend for devices opened and enumerated from now on; null
// restores the system's. Returns the previous one.
std::shared_ptr<MidiPortBackend> SetMidiPortBackend(std::shared_ptr<MidiPortBackend> backend);

}  // namespace platform
