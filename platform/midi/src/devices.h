#pragma once

#include <cstddef>
#include <memory>

#include "device.h"
#include "platform/midi/midi.h"
#include "platform/midi/portbackend.h"

// Factories of the concrete devices. Each returns null with result and the
// last-error text set when the device cannot open.
namespace platform::midi {

struct OpenRequest {
    HMIDIOUT Handle = nullptr;
    MidiOutProc Callback = nullptr;
    std::uintptr_t Instance = 0;
    MidiOutConfig Config;
    Clock* TimeSource = nullptr;
};

std::unique_ptr<Device> OpenSynthesizer(const OpenRequest& request, MMRESULT& result);
std::unique_ptr<Device> OpenCapture(const OpenRequest& request, MMRESULT& result);
std::unique_ptr<Device> OpenPort(const OpenRequest& request, MidiPortBackend& backend, std::size_t index,
                                 MMRESULT& result);

std::shared_ptr<MidiPortBackend> CurrentPortBackend();
std::shared_ptr<MidiPortBackend> MakeSystemPortBackend();

}  // namespace platform::midi
