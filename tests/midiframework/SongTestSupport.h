#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SmfBuilder.h"
#include "midiframework/midifile.h"

namespace songtest {

// Parses bytes from a heap block of exactly their size, so that AddressSanitizer
// reports any read past the end. Returns the thrown text, or "" on success.
inline std::string LoadBytes(MIDI::File& file, const smf::Bytes& bytes) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() ? bytes.size() : 1]);
    if (!bytes.empty()) {
        std::memcpy(exact.get(), bytes.data(), bytes.size());
    }
    try {
        file.LoadFromMemory(exact.get(), bytes.size());
    } catch (const char* text) {
        return text;
    }
    return "";
}

// A one-track file around the given events; the end of track is added unless
// the caller wrote its own.
inline smf::Bytes OneTrack(smf::TrackBuilder track, bool addEnd = true, int division = 480) {
    if (addEnd) {
        track.EndOfTrack();
    }
    return smf::SmfBuilder(0, division).AddTrack(track).Build();
}

// The events of track 0 that are not the end of track.
inline std::vector<MIDI::Event> Body(const MIDI::File& file, int trackIndex = 0) {
    std::vector<MIDI::Event> events;
    const MIDI::Track* track = file.GetTrack(trackIndex);
    for (int i = 0; i + 1 < track->GetEventCount(); ++i) {
        events.push_back(*track->GetEvent(i));
    }
    return events;
}

inline std::vector<std::uint8_t> BlockBytes(const MIDI::Event& event) {
    const MIDI::EventData* data = event.aux.data;
    return {data->bytes, data->bytes + data->length};
}

}  // namespace songtest
