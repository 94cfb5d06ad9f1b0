#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// Keeps every core busy at ordinary priority while it lives (nothing when
// constructed with false): the load under which timing is measured a second
// time.
class BusyCores {
public:
    explicit BusyCores(bool on) {
        if (!on) {
            return;
        }
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < cores; ++i) {
            Threads.emplace_back([this] {
                volatile std::uint64_t x = 0;
                while (!Stop.load(std::memory_order_relaxed)) {
                    x = x * 6364136223846793005ULL + 1;
                }
            });
        }
    }
    ~BusyCores() {
        Stop = true;
        for (auto& t : Threads) {
            t.join();
        }
    }
    BusyCores(const BusyCores&) = delete;
    BusyCores& operator=(const BusyCores&) = delete;

private:
    std::atomic<bool> Stop{false};
    std::vector<std::thread> Threads;
};
