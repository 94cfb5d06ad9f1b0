#include "midiframework/miditrack.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>

#include "midiframework/dumpformat.h"
#include "midiframework/midifile.h"

namespace MIDI {
namespace {

// A data block and its bytes live in one allocation: the bytes follow the
// header, so a meta event costs one allocation and one release.
EventData* NewBlock(std::uint32_t type, int leadByte, const std::uint8_t* bytes,
                    std::uint32_t length) {
    const std::size_t total = std::size_t{length} + (leadByte >= 0 ? 1 : 0);
    if (total > UINT32_MAX) {
        return nullptr;
    }
    void* memory = ::operator new(sizeof(EventData) + total, std::nothrow);
    if (memory == nullptr) {
        return nullptr;
    }
    auto* block = static_cast<EventData*>(memory);
    auto* payload = reinterpret_cast<std::uint8_t*>(block + 1);
    block->type = type;
    block->length = static_cast<std::uint32_t>(total);
    block->bytes = payload;
    if (leadByte >= 0) {
        *payload++ = static_cast<std::uint8_t>(leadByte);
    }
    if (length != 0) {
        std::memcpy(payload, bytes, length);
    }
    return block;
}

void DeleteBlock(EventData* block) { ::operator delete(block); }

bool HasBlock(std::uint8_t kind) { return kind == kMeta || kind == kSysEx; }

}  // namespace

Track::Track() : EventCount(0), Events(nullptr), Capacity(0) {
    Name[0] = '\0';
    Events = static_cast<Event*>(std::calloc(kGrowthStep, sizeof(Event)));
    if (Events == nullptr) {
        throw std::bad_alloc();
    }
    Capacity = kGrowthStep;
}

Track::~Track() {
    for (int i = 0; i < EventCount; ++i) {
        if (HasBlock(Events[i].kind)) {
            DeleteBlock(Events[i].aux.data);
        }
    }
    std::free(Events);
}

bool Track::Reserve(int newCapacity) {
    if (newCapacity <= Capacity) {
        return true;
    }
    // Slots are 16 bytes; the count is a signed 32-bit number like the event count.
    if (newCapacity > INT_MAX - (kGrowthStep - 1)) {
        return false;
    }
    newCapacity = (newCapacity + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
    const std::size_t bytes = std::size_t(newCapacity) * sizeof(Event);
    // realloc keeps the events and may avoid the copy; the new slots are then
    // cleared so the array looks exactly as a fresh zeroed copy would.
    auto* grown = static_cast<Event*>(std::realloc(Events, bytes));
    if (grown == nullptr) {
        return false;
    }
    std::memset(static_cast<void*>(grown + Capacity), 0,
                std::size_t(newCapacity - Capacity) * sizeof(Event));
    Events = grown;
    Capacity = newCapacity;
    return true;
}

void Track::AddEvent(const Event& event) {
    if (HasBlock(event.kind)) {
        const EventData* data = event.aux.data;
        if (data != nullptr) {
            AddEventWithBlock(event, data->type, -1, data->bytes, data->length);
        }
        return;
    }
    if (HasRoom()) {
        Events[EventCount++] = event;
    }
}

bool Track::AddEventWithBlock(const Event& event, std::uint32_t type, int leadByte,
                              const std::uint8_t* bytes, std::uint32_t length) {
    if (!HasRoom()) {
        return false;
    }
    EventData* block = NewBlock(type, leadByte, bytes, length);
    if (block == nullptr) {
        return false;
    }
    Event& stored = Events[EventCount];
    stored = event;
    stored.aux.data = block;
    ++EventCount;
    return true;
}

void Track::SetName(const std::uint8_t* text, std::uint32_t length) {
    const std::uint32_t limit = length < kNameSize - 1 ? length : kNameSize - 1;
    std::uint32_t i = 0;
    for (; i < limit && text[i] != 0; ++i) {
        Name[i] = static_cast<char>(text[i]);
    }
    Name[i] = '\0';
}

void Track::ComputeNoteDurations() {
    // Pending note-ons are chained per key through their own aux field (the
    // index of the next pending note-on of that key), oldest first, so each
    // note-off finds its partner at the head of its key's chain. Keys are data
    // bytes taken as they come, so all 256 values get a chain.
    constexpr std::uint32_t kNone = UINT32_MAX;
    std::uint32_t head[256];
    std::uint32_t tail[256];
    for (int key = 0; key < 256; ++key) {
        head[key] = kNone;
        tail[key] = kNone;
    }
    for (int i = 0; i < EventCount; ++i) {
        Event& event = Events[i];
        const std::uint8_t key = event.data1;
        if (event.kind == kNoteOn) {
            event.aux.duration = kNone;
            if (tail[key] == kNone) {
                head[key] = static_cast<std::uint32_t>(i);
            } else {
                Events[tail[key]].aux.duration = static_cast<std::uint32_t>(i);
            }
            tail[key] = static_cast<std::uint32_t>(i);
        } else if (event.kind == kNoteOff && head[key] != kNone) {
            Event& noteOn = Events[head[key]];
            const std::uint32_t next = noteOn.aux.duration;
            noteOn.aux.duration = event.tick - noteOn.tick;
            head[key] = next;
            if (next == kNone) {
                tail[key] = kNone;
            }
        }
    }
    for (int key = 0; key < 256; ++key) {
        for (std::uint32_t i = head[key]; i != kNone;) {
            const std::uint32_t next = Events[i].aux.duration;
            Events[i].aux.duration = 0;
            i = next;
        }
    }
}

std::ostream& operator<<(std::ostream& stream, const Track& track) {
    {
        detail::DefaultFormat defaults(stream);
        stream << "Dumping track " << track.GetName() << std::endl;
        stream << "Number of events: " << track.GetEventCount();
    }
    for (int i = 0; i < track.GetEventCount(); ++i) {
        stream << *track.GetEvent(i);
    }
    return stream;
}

}  // namespace MIDI
