#include "orvalis/FullChase.h"

#include <algorithm>
#include <cstring>

namespace orvalis {
namespace {

constexpr int kBankMsb = 0;
constexpr int kBankLsb = 32;
constexpr int kDataEntryMsb = 6;
constexpr int kDataEntryLsb = 38;
constexpr int kDataIncrement = 96;
constexpr int kDataDecrement = 97;
constexpr int kNrpnLsb = 98;
constexpr int kNrpnMsb = 99;
constexpr int kRpnLsb = 100;
constexpr int kRpnMsb = 101;
constexpr int kResetAllControllers = 121;
constexpr int kFirstModeMessage = 120;
constexpr std::int16_t kNullRegister = 127;

bool IsDataEntry(int controller) {
    return controller == kDataEntryMsb || controller == kDataEntryLsb || controller == kDataIncrement ||
           controller == kDataDecrement;
}

// Chased as items of their own (bank with the program, parameters), or not at all.
bool IsPlainController(int controller) {
    return controller != kBankMsb && controller != kBankLsb && !IsDataEntry(controller) &&
           (controller < kNrpnLsb || controller > kRpnMsb) && controller < kFirstModeMessage;
}

std::uint32_t Pack(int status, int data1, int data2) {
    return static_cast<std::uint32_t>(status) | static_cast<std::uint32_t>(data1) << 8 |
           static_cast<std::uint32_t>(data2) << 16;
}

bool Matches(const MIDI::EventData& data, std::initializer_list<int> pattern) {
    if (data.length != pattern.size() || data.bytes == nullptr) {
        return false;
    }
    std::size_t i = 0;
    for (int expected : pattern) {
        // -1: a device number, any value.
        if (expected >= 0 && data.bytes[i] != expected) {
            return false;
        }
        ++i;
    }
    return true;
}

}  // namespace

bool FullChase::IsStandardReset(const MIDI::EventData& data) noexcept {
    if (Matches(data, {0xF0, 0x7E, -1, 0x09, 0x01, 0xF7}) || Matches(data, {0xF0, 0x7E, -1, 0x09, 0x03, 0xF7}) ||
        Matches(data, {0xF0, 0x41, -1, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7})) {
        return true;
    }
    // XG: the device number's high nibble is 1.
    return (Matches(data, {0xF0, 0x43, -1, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}) ||
            Matches(data, {0xF0, 0x43, -1, 0x4C, 0x00, 0x00, 0x7F, 0x00, 0xF7})) &&
           (data.bytes[2] & 0xF0) == 0x10;
}

void FullChase::Prepare(const MIDI::File* song) {
    Song = nullptr;
    Capacity = kFixedItemsPerChannel * 16;
    ParameterCount = 0;
    Parameters.clear();
    Table.clear();
    Next.clear();
    Heap.clear();
    Sorted.clear();
    if (!song) {
        return;
    }
    std::size_t dataEntries = 0;
    for (int t = 0; t < song->GetTrackCount(); ++t) {
        const MIDI::Track& track = *song->GetTrack(t);
        for (int i = 0; i < track.GetEventCount(); ++i) {
            const MIDI::Event& event = *track.GetEvent(i);
            dataEntries += event.kind == MIDI::kControlChange && IsDataEntry(event.data1 & 0x7F);
        }
    }
    std::size_t tableSize = 16;
    while (tableSize < 2 * dataEntries) {
        tableSize *= 2;
    }
    const auto tracks = static_cast<std::size_t>(song->GetTrackCount());
    Parameters.resize(dataEntries);
    Table.assign(tableSize, -1);
    Next.resize(tracks);
    Heap.resize(tracks);
    Sorted.resize(std::max<std::size_t>(dataEntries, 128));
    Capacity = kFixedItemsPerChannel * 16 + 3 * dataEntries;
    Song = song;
}

void FullChase::Clear() noexcept {
    Channels.fill(ChannelFold{});
    for (std::size_t i = 0; i < ParameterCount; ++i) {
        Table[static_cast<std::size_t>(Parameters[i].Slot)] = -1;
    }
    ParameterCount = 0;
}

FullChase::Parameter* FullChase::FindParameter(std::uint32_t key) noexcept {
    const std::size_t mask = Table.size() - 1;
    // The product wraps in 32 bits on purpose: a multiplicative hash of the key.
    std::size_t slot = static_cast<std::uint32_t>(key * 2654435761u) & mask;
    while (Table[slot] >= 0) {
        Parameter& parameter = Parameters[static_cast<std::size_t>(Table[slot])];
        if (parameter.Key == key) {
            return &parameter;
        }
        slot = (slot + 1) & mask;
    }
    // Prepare counted one data entry event per possible parameter.
    if (ParameterCount == Parameters.size()) {
        return nullptr;
    }
    Table[slot] = static_cast<std::int32_t>(ParameterCount);
    Parameter& fresh = Parameters[ParameterCount++];
    fresh = Parameter{key, static_cast<std::int32_t>(slot), {}, {}, 0, 0, 0, 0};
    return &fresh;
}

void FullChase::FoldControl(ChannelFold& fold, int channel, int controller, int value) noexcept {
    const std::uint32_t order = ++Order;
    switch (controller) {
        case kRpnMsb:
        case kRpnLsb:
        case kNrpnMsb:
        case kNrpnLsb: {
            const Register r = controller == kRpnMsb    ? kSelectRpnMsb
                               : controller == kRpnLsb  ? kSelectRpnLsb
                               : controller == kNrpnMsb ? kSelectNrpnMsb
                                                        : kSelectNrpnLsb;
            fold.Registers[r] = {static_cast<std::int16_t>(value), order};
            fold.Selected = controller == kRpnMsb || controller == kRpnLsb ? kRpn : kNrpn;
            return;
        }
        case kDataEntryMsb:
        case kDataEntryLsb:
        case kDataIncrement:
        case kDataDecrement: {
            if (fold.Selected == kNoParameter) {
                return;
            }
            const int base = fold.Selected == kRpn ? kSelectRpnMsb : kSelectNrpnMsb;
            const Item& msbRegister = fold.Registers[base];
            const Item& lsbRegister = fold.Registers[base + 1];
            const int msb = msbRegister.IsSet() ? msbRegister.Value : kNullRegister;
            const int lsb = lsbRegister.IsSet() ? lsbRegister.Value : kNullRegister;
            // The null parameter takes no data.
            if (msb == kNullRegister && lsb == kNullRegister) {
                return;
            }
            const std::uint32_t key = static_cast<std::uint32_t>(channel) << 15 |
                                      static_cast<std::uint32_t>(fold.Selected - 1) << 14 |
                                      static_cast<std::uint32_t>(msb) << 7 | static_cast<std::uint32_t>(lsb);
            Parameter* parameter = FindParameter(key);
            if (!parameter) {
                return;
            }
            parameter->LastOrder = order;
            if (controller == kDataEntryMsb) {
                parameter->EntryMsb = {static_cast<std::int16_t>(value), order};
                parameter->Steps = 0;
            } else if (controller == kDataEntryLsb) {
                parameter->EntryLsb = {static_cast<std::int16_t>(value), order};
                parameter->Steps = 0;
            } else if (parameter->EntryMsb.IsSet()) {
                // A step from a value the song gave: the value it leaves.
                const int low = parameter->EntryLsb.IsSet() ? parameter->EntryLsb.Value : 0;
                const int stepped = std::clamp(
                    (parameter->EntryMsb.Value << 7 | low) + (controller == kDataIncrement ? 1 : -1), 0, 0x3FFF);
                parameter->EntryMsb = {static_cast<std::int16_t>(stepped >> 7), order};
                parameter->EntryLsb = {static_cast<std::int16_t>(stepped & 0x7F), order};
            } else if (controller == kDataIncrement) {
                // From a value only the receiver knows: the steps themselves.
                ++parameter->Steps;
                parameter->IncrementValue = static_cast<std::uint8_t>(value);
            } else {
                --parameter->Steps;
                parameter->DecrementValue = static_cast<std::uint8_t>(value);
            }
            return;
        }
        case kResetAllControllers: {
            // What a receiver resets (and nothing it keeps): modulation, the
            // pedals, expression, pitch bend, pressure and the selection.
            auto reset = [order](Item& item, std::int16_t resetValue) {
                if (item.IsSet()) {
                    item = {resetValue, order};
                }
            };
            reset(fold.Controllers[1], 0);
            reset(fold.Controllers[11], 127);
            for (int pedal = 64; pedal <= 67; ++pedal) {
                reset(fold.Controllers[static_cast<std::size_t>(pedal)], 0);
            }
            if (fold.BendMsb.IsSet()) {
                fold.BendMsb = {64, order};
                fold.BendLsb = 0;
            }
            reset(fold.Pressure, 0);
            for (Item& r : fold.Registers) {
                reset(r, kNullRegister);
            }
            return;
        }
        default:
            if (controller < kFirstModeMessage) {
                fold.Controllers[static_cast<std::size_t>(controller)] = {static_cast<std::int16_t>(value), order};
            }
            return;
    }
}

void FullChase::Fold(const MIDI::Event& event) noexcept {
    const int channel = event.channel & 0x0F;
    ChannelFold& fold = Channels[static_cast<std::size_t>(channel)];
    switch (event.kind) {
        case MIDI::kControlChange: FoldControl(fold, channel, event.data1 & 0x7F, event.data2 & 0x7F); break;
        case MIDI::kProgramChange:
            fold.Program = {static_cast<std::int16_t>(event.data1 & 0x7F), ++Order};
            fold.ProgramBank = {fold.Controllers[kBankMsb], fold.Controllers[kBankLsb]};
            break;
        case MIDI::kPitchBend:
            fold.BendMsb = {static_cast<std::int16_t>(event.data1 & 0x7F), ++Order};
            fold.BendLsb = static_cast<std::int16_t>(event.data2 & 0x7F);
            break;
        case MIDI::kChannelPressure: fold.Pressure = {static_cast<std::int16_t>(event.data1 & 0x7F), ++Order}; break;
        default: break;
    }
}

void FullChase::Compute(std::int64_t tick, ChaseList& list) noexcept {
    list.Reset = nullptr;
    list.Count = 0;
    Order = 0;
    Clear();
    if (!Song || list.Messages.size() < Capacity) {
        return;
    }
    // Merge the tracks' events before tick by (tick, track, position).
    const auto earlier = [this](std::int32_t a, std::int32_t b) {
        const std::uint32_t ta = Song->GetTrack(a)->GetEvent(Next[static_cast<std::size_t>(a)])->tick;
        const std::uint32_t tb = Song->GetTrack(b)->GetEvent(Next[static_cast<std::size_t>(b)])->tick;
        return ta != tb ? ta > tb : a > b;  // a min-heap by tick, then track
    };
    std::size_t heapSize = 0;
    const int trackCount = Song->GetTrackCount();
    for (int t = 0; t < trackCount; ++t) {
        Next[static_cast<std::size_t>(t)] = 0;
        const MIDI::Track& track = *Song->GetTrack(t);
        if (track.GetEventCount() > 0 && std::int64_t{track.GetEvent(0)->tick} < tick) {
            Heap[heapSize++] = t;
            std::push_heap(Heap.begin(), Heap.begin() + static_cast<std::ptrdiff_t>(heapSize), earlier);
        }
    }
    while (heapSize > 0) {
        std::pop_heap(Heap.begin(), Heap.begin() + static_cast<std::ptrdiff_t>(heapSize), earlier);
        const std::int32_t t = Heap[heapSize - 1];
        const MIDI::Track& track = *Song->GetTrack(t);
        std::int32_t& next = Next[static_cast<std::size_t>(t)];
        const MIDI::Event& event = *track.GetEvent(next);
        if (event.kind == MIDI::kSysEx) {
            if (event.aux.data && IsStandardReset(*event.aux.data)) {
                Clear();
                list.Reset = event.aux.data;
            }
        } else {
            Fold(event);
        }
        ++next;
        if (next < track.GetEventCount() && std::int64_t{track.GetEvent(next)->tick} < tick) {
            std::push_heap(Heap.begin(), Heap.begin() + static_cast<std::ptrdiff_t>(heapSize), earlier);
        } else {
            --heapSize;
        }
    }
    Emit(list);
}

void FullChase::Emit(ChaseList& list) noexcept {
    std::uint32_t* out = list.Messages.data();
    std::size_t count = 0;
    auto send = [&](int status, int data1, int data2) { out[count++] = Pack(status, data1, data2); };
    auto byOrder = [](const Item* a, const Item* b) { return a->Order < b->Order; };

    // The parameters of all channels, by channel and then by when last set.
    for (std::size_t i = 0; i < ParameterCount; ++i) {
        Sorted[i] = static_cast<std::uint32_t>(i);
    }
    std::sort(Sorted.begin(), Sorted.begin() + static_cast<std::ptrdiff_t>(ParameterCount),
              [this](std::uint32_t a, std::uint32_t b) {
                  const Parameter& pa = Parameters[a];
                  const Parameter& pb = Parameters[b];
                  const std::uint32_t ca = pa.Key >> 15;
                  const std::uint32_t cb = pb.Key >> 15;
                  return ca != cb ? ca < cb : pa.LastOrder < pb.LastOrder;
              });
    std::size_t nextParameter = 0;

    for (int c = 0; c < 16; ++c) {
        const ChannelFold& fold = Channels[static_cast<std::size_t>(c)];
        const int control = 0xB0 | c;

        // Banks and program: the bank the program came from, the program, and
        // a bank chosen after it (which waits for the next program change).
        const Item* banks[2] = {&fold.Controllers[kBankMsb], &fold.Controllers[kBankLsb]};
        const int bankNumbers[2] = {kBankMsb, kBankLsb};
        if (fold.Program.IsSet()) {
            const Item* before[2] = {&fold.ProgramBank[0], &fold.ProgramBank[1]};
            const bool lsbFirst = before[1]->IsSet() && before[0]->IsSet() && before[1]->Order < before[0]->Order;
            for (int k = 0; k < 2; ++k) {
                const int b = lsbFirst ? 1 - k : k;
                if (before[b]->IsSet()) {
                    send(control, bankNumbers[b], before[b]->Value);
                }
            }
            send(0xC0 | c, fold.Program.Value, 0);
        }
        const bool lsbFirst = banks[1]->IsSet() && banks[0]->IsSet() && banks[1]->Order < banks[0]->Order;
        for (int k = 0; k < 2; ++k) {
            const int b = lsbFirst ? 1 - k : k;
            if (banks[b]->IsSet() && (!fold.Program.IsSet() || banks[b]->Order > fold.Program.Order)) {
                send(control, bankNumbers[b], banks[b]->Value);
            }
        }

        // Every other controller, in the order last set.
        const Item* plain[128];
        std::size_t plainCount = 0;
        for (int n = 0; n < 128; ++n) {
            if (IsPlainController(n) && fold.Controllers[static_cast<std::size_t>(n)].IsSet()) {
                plain[plainCount++] = &fold.Controllers[static_cast<std::size_t>(n)];
            }
        }
        std::sort(plain, plain + plainCount, byOrder);
        for (std::size_t i = 0; i < plainCount; ++i) {
            send(control, static_cast<int>(plain[i] - fold.Controllers.data()), plain[i]->Value);
        }

        // Parameters, each selected and given its data, then the selection.
        std::int16_t receiver[kRegisterCount] = {kUnset, kUnset, kUnset, kUnset};
        Kind receiverSelects = kNoParameter;
        auto select = [&](Kind kind, int msb, int lsb) {
            const int base = kind == kRpn ? kSelectRpnMsb : kSelectNrpnMsb;
            send(control, kind == kRpn ? kRpnMsb : kNrpnMsb, msb);
            send(control, kind == kRpn ? kRpnLsb : kNrpnLsb, lsb);
            receiver[base] = static_cast<std::int16_t>(msb);
            receiver[base + 1] = static_cast<std::int16_t>(lsb);
            receiverSelects = kind;
        };
        for (; nextParameter < ParameterCount && (Parameters[Sorted[nextParameter]].Key >> 15) == std::uint32_t(c);
             ++nextParameter) {
            const Parameter& p = Parameters[Sorted[nextParameter]];
            select((p.Key >> 14 & 1) ? kNrpn : kRpn, static_cast<int>(p.Key >> 7 & 0x7F),
                   static_cast<int>(p.Key & 0x7F));
            const Item* entries[2] = {&p.EntryMsb, &p.EntryLsb};
            const bool entryLsbFirst = p.EntryLsb.IsSet() && p.EntryMsb.IsSet() && p.EntryLsb.Order < p.EntryMsb.Order;
            for (int k = 0; k < 2; ++k) {
                const int e = entryLsbFirst ? 1 - k : k;
                if (entries[e]->IsSet()) {
                    send(control, e == 0 ? kDataEntryMsb : kDataEntryLsb, entries[e]->Value);
                }
            }
            for (std::int32_t s = 0; s < p.Steps; ++s) {
                send(control, kDataIncrement, p.IncrementValue);
            }
            for (std::int32_t s = 0; s > p.Steps; --s) {
                send(control, kDataDecrement, p.DecrementValue);
            }
        }
        // The selection as the song left it: of each kind the registers it
        // set that the replay left otherwise, the kind selected last sent
        // last (with one of its registers at least, so that it is the one in
        // force). A register the song did not set holds the null value 127
        // on both sides.
        auto restoreSelection = [&](Kind kind, bool activate) {
            const int base = kind == kRpn ? kSelectRpnMsb : kSelectNrpnMsb;
            const int numbers[2] = {kind == kRpn ? kRpnMsb : kNrpnMsb, kind == kRpn ? kRpnLsb : kNrpnLsb};
            const Item* registers[2] = {&fold.Registers[base], &fold.Registers[base + 1]};
            const bool lowFirst =
                registers[1]->IsSet() && registers[0]->IsSet() && registers[1]->Order < registers[0]->Order;
            bool sent = false;
            for (int k = 0; k < 2; ++k) {
                const int r = lowFirst ? 1 - k : k;
                const int held = receiver[base + r] == kUnset ? kNullRegister : receiver[base + r];
                const bool last = k == 1 || !registers[lowFirst ? 0 : 1]->IsSet();
                if (registers[r]->IsSet() && (registers[r]->Value != held || (activate && last && !sent))) {
                    send(control, numbers[r], registers[r]->Value);
                    receiver[base + r] = registers[r]->Value;
                    sent = true;
                }
            }
            if (sent) {
                receiverSelects = kind;
            }
        };
        if (fold.Selected != kNoParameter) {
            restoreSelection(fold.Selected == kRpn ? kNrpn : kRpn, false);
            restoreSelection(fold.Selected, receiverSelects != fold.Selected);
        }

        if (fold.BendMsb.IsSet()) {
            send(0xE0 | c, fold.BendLsb, fold.BendMsb.Value);
        }
        if (fold.Pressure.IsSet()) {
            send(0xD0 | c, fold.Pressure.Value, 0);
        }
    }
    list.Count = count;
}

}  // namespace orvalis
