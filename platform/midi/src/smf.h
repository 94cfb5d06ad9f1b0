#pragma once

#include <string>
#include <vector>

#include "platform/midi/capture.h"

namespace platform::midi {

// A Standard MIDI File (format 0, one track) holding the messages at their
// times: 1000 ticks per quarter note at 120 beats per minute, so a tick is
// half a millisecond. Short system messages and long messages that are not
// system exclusive are stored as escaped (F7) events.
std::string BuildCaptureMidiFile(const std::vector<CapturedMessage>& messages);

}  // namespace platform::midi
