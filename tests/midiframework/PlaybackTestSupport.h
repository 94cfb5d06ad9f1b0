#pragma once

#include "midifixture.h"

// Playback tests share the MIDI layer's fixture: a manual clock, the capture
// device or the synthesizer rendering to a file, a scratch folder.
using PlaybackTest = MidiLayerTest;
