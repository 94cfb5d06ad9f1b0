#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "midiframework/midifile.h"

namespace orvalis {

// What a complete chase sends to bring a receiver to the state of a tick, in
// order: Reset (when there is one), then the first Count of Messages.
struct ChaseList {
    // The last standard reset (GM, GM2, GS or XG) before the tick, sent as it
    // stands; it points into the song, which outlives every list made from it.
    const MIDI::EventData* Reset = nullptr;
    // Packed short messages, status | data1 << 8 | data2 << 16. The vector is
    // sized once for the song (FullChase::MessageCapacity) and never resized
    // afterwards, so lists can be filled and copied without allocating.
    std::vector<std::uint32_t> Messages;
    std::size_t Count = 0;

    bool Empty() const noexcept { return Reset == nullptr && Count == 0; }
};

// Computes complete chases for one song: for each channel, everything the song
// set before a tick that a listener would hear, each item once and only what
// the song set:
//   - bank select MSB and LSB as they stood at the last program change, the
//     program, then any bank select sent after that program;
//   - every other controller's last value, in the order the values were last
//     set (so 14-bit pairs keep their MSB-then-LSB meaning); mode messages
//     (120-127) are not chased, and the data-entry controllers (6, 38, 96-101)
//     are chased as parameters instead;
//   - each RPN and NRPN parameter that received data, in the order they were
//     last set: its number (both bytes), then its data entry MSB and LSB in
//     the order they were last set; then the parameter selection of both
//     kinds as it was last left, the selection in force last. A data
//     increment or decrement steps the 14-bit value the data entry gave (its
//     result is sent as both bytes); on a parameter the song gave no data
//     entry MSB, whose value only the receiver knows, the balance of steps
//     since its last data entry byte is sent as steps;
//   - pitch bend with both bytes, and channel pressure.
// System exclusive: of the song's messages before the tick only the last
// standard reset is sent, first; channel state set before it is not chased,
// since the reset undid it. Other system exclusive (device settings of every
// kind) is not sent: it cannot be told apart from what must not be repeated,
// and whatever a reset leaves to it, the song sets again after the reset.
// Reset All Controllers (121) folds in as a receiver takes it: the values it
// resets that were set go back to their reset values.
//
// Events are taken in the song's order: by tick, then track, then position in
// the track, the order playback sends events of one tick in.
//
// Storage: every table is sized by Prepare, so Compute never allocates. Per
// channel a chase holds at most 121 fixed items (5 for banks and program, 110
// other controllers, 4 selection bytes, pitch bend, pressure) plus, for its
// RPN/NRPN parameters, 2 number bytes per parameter, the data entry bytes and
// the increment balance; a channel has at most as many parameters as data
// entry events (6, 38, 96, 97), so the parameters need at most 3 messages per
// such event. MessageCapacity is 16 x 121 + 3 x the song's data entry events.
//
// Threads: one object belongs to the host's thread.
class FullChase {
public:
    // Sizes every table for song (null: no song). Throws std::bad_alloc with
    // the object left empty when memory is short.
    void Prepare(const MIDI::File* song);

    // Messages a ChaseList needs room for, for the song Prepare was given.
    std::size_t MessageCapacity() const noexcept { return Capacity; }

    // Fills list with the chase of everything the song sends before tick.
    // list.Messages must have MessageCapacity() entries (a list sized for this
    // song). Without a song the list is empty.
    void Compute(std::int64_t tick, ChaseList& list) noexcept;

    // True for the standard resets the chase keeps: GM System On, GM2 System
    // On, GS Reset (any device number) and XG System On or All Parameter
    // Reset (any device number). data is a system-exclusive block from F0.
    static bool IsStandardReset(const MIDI::EventData& data) noexcept;

    // Items a chase of 16 channels can hold besides RPN/NRPN parameters.
    static constexpr std::size_t kFixedItemsPerChannel = 121;

private:
    static constexpr std::int16_t kUnset = -1;
    enum Register { kSelectRpnMsb, kSelectRpnLsb, kSelectNrpnMsb, kSelectNrpnLsb, kRegisterCount };
    enum Kind : std::uint8_t { kNoParameter, kRpn, kNrpn };

    // A value the song set and when: Order counts the events of the walk.
    struct Item {
        std::int16_t Value = kUnset;
        std::uint32_t Order = 0;
        bool IsSet() const { return Value != kUnset; }
    };
    struct ChannelFold {
        std::array<Item, 128> Controllers;
        Item Program;
        std::array<Item, 2> ProgramBank;  // bank MSB and LSB when the program was chosen
        Item BendMsb;
        std::int16_t BendLsb = 0;
        Item Pressure;
        std::array<Item, kRegisterCount> Registers;
        Kind Selected = kNoParameter;
    };
    struct Parameter {
        std::uint32_t Key = 0;  // channel << 15 | kind - 1 << 14 | number MSB << 7 | number LSB
        std::int32_t Slot = 0;  // where the key sits in the hash table
        Item EntryMsb;
        Item EntryLsb;
        std::int32_t Steps = 0;  // increments less decrements without a value to step
        std::uint8_t IncrementValue = 0;
        std::uint8_t DecrementValue = 0;
        std::uint32_t LastOrder = 0;
    };

    void Clear() noexcept;
    void Fold(const MIDI::Event& event) noexcept;
    void FoldControl(ChannelFold& fold, int channel, int controller, int value) noexcept;
    Parameter* FindParameter(std::uint32_t key) noexcept;
    void Emit(ChaseList& list) noexcept;

    const MIDI::File* Song = nullptr;
    std::size_t Capacity = kFixedItemsPerChannel * 16;
    std::uint32_t Order = 0;
    std::array<ChannelFold, 16> Channels;
    std::vector<Parameter> Parameters;  // capacity fixed by Prepare
    std::size_t ParameterCount = 0;
    std::vector<std::int32_t> Table;  // open addressing over Parameters; -1 free
    // The merge of the tracks: each track's next event, and a heap of tracks.
    std::vector<std::int32_t> Next;
    std::vector<std::int32_t> Heap;
    std::vector<std::uint32_t> Sorted;  // a channel's parameters in order
};

}  // namespace orvalis
