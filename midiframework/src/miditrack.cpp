#include "midiframework/miditrack.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>

#include "dumpformat.h"
#include "midiframework/midifile.h"
#include "notepairing.h"

namespace MIDI {

// A data block and its bytes live in one allocation, behind a link to the
// track's previous block: a meta event costs one allocation, and a track
// releases its blocks by walking that list instead of its whole event array.
struct detail::BlockAllocation {
    BlockAllocation* Previous;
    EventData Data;
    // the payload bytes follow
};

namespace {

using detail::BlockAllocation;

EventData* NewBlock(BlockAllocation*& newest, std::uint32_t type, int leadByte, const std::uint8_t* bytes,
                    std::uint32_t length) {
    const std::size_t total = std::size_t{length} + (leadByte >= 0 ? 1 : 0);
    if (total > UINT32_MAX) {
        return nullptr;
    }
    void* memory = ::operator new(sizeof(BlockAllocation) + total, std::nothrow);
    if (memory == nullptr) {
        return nullptr;
    }
    auto* block = static_cast<BlockAllocation*>(memory);
    auto* payload = reinterpret_cast<std::uint8_t*>(block + 1);
    block->Previous = newest;
    block->Data.type = type;
    block->Data.length = static_cast<std::uint32_t>(total);
    block->Data.bytes = payload;
    if (leadByte >= 0) {
        *payload++ = static_cast<std::uint8_t>(leadByte);
    }
    if (length != 0) {
        std::memcpy(payload, bytes, length);
    }
    newest = block;
    return &block->Data;
}

bool HasBlock(std::uint8_t kind) { return kind == kMeta || kind == kSysEx; }

}  // namespace

Track::Track() : EventCount(0), Events(nullptr), Capacity(0), NewestBlock(nullptr) {
    Name[0] = '\0';
    Events = static_cast<Event*>(std::calloc(kGrowthStep, sizeof(Event)));
    if (Events == nullptr) {
        throw std::bad_alloc();
    }
    Capacity = kGrowthStep;
}

Track::~Track() {
    for (BlockAllocation* block = NewestBlock; block != nullptr;) {
        BlockAllocation* previous = block->Previous;
        ::operator delete(block);
        block = previous;
    }
    std::free(Events);
}

bool Track::Reserve(int newCapacity) {
    if (newCapacity <= Capacity) {
        return true;
    }
    // The capacity is a signed 32-bit number, as the event count is.
    if (newCapacity > INT_MAX - (kGrowthStep - 1)) {
        return false;
    }
    newCapacity = (newCapacity + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
    // A fresh zeroed array and a copy of the events: calloc gets large arrays
    // straight from the kernel already zero, so the slots are not written twice.
    auto* grown = static_cast<Event*>(std::calloc(std::size_t(newCapacity), sizeof(Event)));
    if (grown == nullptr) {
        return false;
    }
    std::memcpy(static_cast<void*>(grown), Events, std::size_t(EventCount) * sizeof(Event));
    std::free(Events);
    Events = grown;
    Capacity = newCapacity;
    return true;
}

void Track::Trim() {
    int needed = (EventCount + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
    if (needed < kGrowthStep) {
        needed = kGrowthStep;
    }
    if (needed >= Capacity) {
        return;
    }
    // Shrinking keeps the events and the zeroed slots up to the new end; should
    // it fail, the larger array simply stays.
    auto* trimmed = static_cast<Event*>(std::realloc(Events, std::size_t(needed) * sizeof(Event)));
    if (trimmed != nullptr) {
        Events = trimmed;
        Capacity = needed;
    }
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

bool Track::AddEventWithBlock(const Event& event, std::uint32_t type, int leadByte, const std::uint8_t* bytes,
                              std::uint32_t length) {
    if (!HasRoom()) {
        return false;
    }
    EventData* block = NewBlock(NewestBlock, type, leadByte, bytes, length);
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
    detail::NotePairing pairing;
    for (int i = 0; i < EventCount; ++i) {
        const Event& event = Events[i];
        if (event.kind == kNoteOn) {
            pairing.NoteOn(Events, static_cast<std::uint32_t>(i));
        } else if (event.kind == kNoteOff) {
            pairing.NoteOff(Events, event.data1, event.tick);
        }
    }
    pairing.Finish(Events);
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
