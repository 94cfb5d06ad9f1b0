#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "orvalis/Sequencer.h"

namespace orvalis_play {

// The player's end of the notifications: a single-producer, single-consumer
// ring. The producer (the sequencer's timer worker, or the control's
// notification thread) adds with one slot write and one release store, never
// a wait or an allocation; the player's thread takes. When the player falls
// behind by a whole ring, later notifications are dropped and counted.
class NotificationQueue final : public orvalis::NotificationSink {
public:
    static constexpr std::size_t kCapacity = 8192;  // a power of two

    struct Entry {
        std::uint32_t Message = 0;
        std::uintptr_t WParam = 0;
        // When it arrived, on the run's clock; -1 when it is taken at once.
        std::int64_t TimeNs = -1;
    };

    void Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t) noexcept override {
        Push({message, wParam, -1});
    }

    // Producer only.
    void Push(const Entry& entry) noexcept {
        const std::size_t head = Head.load(std::memory_order_relaxed);
        if (head - Tail.load(std::memory_order_acquire) == kCapacity) {
            Dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Ring[head & (kCapacity - 1)] = entry;
        Head.store(head + 1, std::memory_order_release);
    }

    // Consumer only: whether Take would find something.
    bool Waiting() const noexcept {
        return Tail.load(std::memory_order_relaxed) != Head.load(std::memory_order_acquire);
    }

    // Consumer only. False when nothing is waiting.
    bool Take(Entry& entry) noexcept {
        const std::size_t tail = Tail.load(std::memory_order_relaxed);
        if (tail == Head.load(std::memory_order_acquire)) {
            return false;
        }
        entry = Ring[tail & (kCapacity - 1)];
        Tail.store(tail + 1, std::memory_order_release);
        return true;
    }

    std::uint64_t DroppedCount() const noexcept { return Dropped.load(std::memory_order_relaxed); }

private:
    std::array<Entry, kCapacity> Ring{};
    // Written by the producer (the timer worker) only.
    std::atomic<std::size_t> Head{0};
    // Written by the consumer (the player's thread) only.
    std::atomic<std::size_t> Tail{0};
    std::atomic<std::uint64_t> Dropped{0};
};

}  // namespace orvalis_play
