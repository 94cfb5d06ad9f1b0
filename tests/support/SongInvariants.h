#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "midiframework/midifile.h"

// What every consumer of a loaded song relies on. Returns "" when the song
// keeps all of it, else a sentence naming the first broken rule. Used by the
// tests and by the fuzz target, which aborts on any answer but "".
namespace smf {

// True when every byte of the record is zero, as in a slot past the event
// count. Compared byte by byte, not with an Event{}: that leaves the union's
// bytes past its first member unspecified.
inline bool IsZeroFilled(const MIDI::Event& event) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&event);
    return std::all_of(bytes, bytes + sizeof event, [](unsigned char b) { return b == 0; });
}

inline std::string CheckLoadedSong(const MIDI::File& file) {
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        const MIDI::Track* track = file.GetTrack(t);
        const std::string where = "track " + std::to_string(t) + ": ";
        if (track == nullptr) {
            return where + "slot is empty";
        }
        const int count = track->GetEventCount();
        const int capacity = track->GetCapacity();
        const int expectedCapacity = std::max(1024, (count + 1023) / 1024 * 1024);
        if (capacity != expectedCapacity) {
            return where + "capacity " + std::to_string(capacity) + " for " + std::to_string(count) + " events";
        }
        if (std::strlen(track->GetName()) > 127) {
            return where + "name longer than 127 characters";
        }
        if (count == 0) {
            return where + "no events";
        }
        const MIDI::Event* last = track->GetEvent(count - 1);
        if (last->kind != MIDI::kMeta || last->aux.data == nullptr || last->aux.data->type != MIDI::kMetaEndOfTrack) {
            return where + "last event is not the end of track";
        }
        for (int i = 0; i < count; ++i) {
            const MIDI::Event& event = *track->GetEvent(i);
            const std::string at = where + "event " + std::to_string(i) + ": ";
            if (i > 0 && event.tick < track->GetEvent(i - 1)->tick) {
                return at + "tick decreases";
            }
            if (event.kind == MIDI::kNoteOn && event.data2 == 0) {
                return at + "note-on with velocity 0";
            }
            if (event.kind == MIDI::kNoteOn && std::uint64_t{event.tick} + event.aux.duration > last->tick) {
                return at + "note lasts past the end of its track";
            }
            if (event.kind == MIDI::kMeta || event.kind == MIDI::kSysEx) {
                const MIDI::EventData* data = event.aux.data;
                if (data == nullptr) {
                    return at + "no data block";
                }
                if (data->length != 0 && data->bytes == nullptr) {
                    return at + "data block without bytes";
                }
                if (event.kind == MIDI::kSysEx && (data->type != 0xF0 || data->length == 0 || data->bytes[0] != 0xF0)) {
                    return at + "system-exclusive block does not start with F0";
                }
            }
        }
        for (int i = count; i < capacity; ++i) {
            if (!IsZeroFilled(*track->GetEvent(i))) {
                return where + "slot " + std::to_string(i) + " beyond the count is not zero";
            }
        }
    }
    return "";
}

}  // namespace smf
