// The gate: a flag with a short spin before the sleep.
#include "platform/start_gate.h"

#include <chrono>
#include <thread>

namespace kelvo {

void TStartGate::Open() {
    open_.store(true, std::memory_order_release);
    open_.notify_all();
}

void TStartGate::Wait() const {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point spinUntil = Clock::now() + std::chrono::milliseconds(5);
    while (!open_.load(std::memory_order_acquire)) {
        if (Clock::now() >= spinUntil) {
            // wait() returns at once if the gate opened since the last look.
            open_.wait(false, std::memory_order_acquire);
        } else {
            std::this_thread::yield();
        }
    }
}

} // namespace kelvo
