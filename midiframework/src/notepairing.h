#pragma once

#include <cstdint>

#include "midiframework/miditrack.h"

namespace MIDI::detail {

// Pairs each note-off with the oldest pending note-on of the same key,
// whatever the channel, and stores the distance in ticks in the note-on's
// aux.duration. Pending note-ons are chained per key through their own aux
// field (the index of the next pending note-on of that key), so pairing
// needs no allocation and one look per event. Keys are data bytes taken as
// they come, so all 256 values get a chain.
//
// Events are given as an array and an index, never as pointers, so the
// array may be moved (grown) between calls.
class NotePairing {
public:
    NotePairing() {
        for (int key = 0; key < 256; ++key) {
            Head[key] = kNone;
            Tail[key] = kNone;
        }
    }

    // events[index] is a note-on.
    void NoteOn(Event* events, std::uint32_t index) {
        const std::uint8_t key = events[index].data1;
        events[index].aux.duration = kNone;
        if (Tail[key] == kNone) {
            Head[key] = index;
        } else {
            events[Tail[key]].aux.duration = index;
        }
        Tail[key] = index;
    }

    // A note-off of key at tick.
    void NoteOff(Event* events, std::uint8_t key, std::uint32_t tick) {
        if (Head[key] == kNone) {
            return;
        }
        Event& noteOn = events[Head[key]];
        const std::uint32_t next = noteOn.aux.duration;
        noteOn.aux.duration = tick - noteOn.tick;
        Head[key] = next;
        if (next == kNone) {
            Tail[key] = kNone;
        }
    }

    // Gives the note-ons still pending a duration of 0.
    void Finish(Event* events) {
        for (std::uint32_t& first : Head) {
            for (std::uint32_t i = first; i != kNone;) {
                const std::uint32_t next = events[i].aux.duration;
                events[i].aux.duration = 0;
                i = next;
            }
            first = kNone;
        }
        for (std::uint32_t& last : Tail) {
            last = kNone;
        }
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // Oldest and newest pending note-on of each key, as indices.
    std::uint32_t Head[256];
    std::uint32_t Tail[256];
};

}  // namespace MIDI::detail
