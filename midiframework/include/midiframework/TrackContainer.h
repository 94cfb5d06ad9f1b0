#pragma once

#include "midiframework/miditrack.h"

namespace MIDI {

// Up to 128 tracks in slots 0..count-1. The container owns them and destroys
// them with itself; tracks are never removed or reordered once stored.
class TrackContainer {
public:
    static constexpr int kMaxTracks = 128;

    TrackContainer();
    virtual ~TrackContainer();
    TrackContainer(const TrackContainer&) = delete;
    TrackContainer& operator=(const TrackContainer&) = delete;

    int GetTrackCount() const { return TrackCount; }
    // index 0..count-1, not checked.
    const Track* GetTrack(int index) const { return Tracks[index]; }

protected:
    // Destroys the tracks in slots 0..count-1 and leaves the container empty.
    void DestroyTracks();

    int TrackCount;
    Track* Tracks[kMaxTracks];
};

}  // namespace MIDI
