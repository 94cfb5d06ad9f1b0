#include "midiframework/TrackContainer.h"

namespace MIDI {

TrackContainer::TrackContainer() : TrackCount(0), Tracks{} {}

TrackContainer::~TrackContainer() { DestroyTracks(); }

void TrackContainer::DestroyTracks() {
    for (int i = 0; i < TrackCount; ++i) {
        delete Tracks[i];
        Tracks[i] = nullptr;
    }
    TrackCount = 0;
}

}  // namespace MIDI
