// A gate one thread opens for others: for work started early that may begin only once
// the opening thread has done its part.
#pragma once

#include <atomic>

namespace kelvo {

// Waiters first spin (yielding) for a few milliseconds, then sleep. The gates this
// program has open within milliseconds of their waiters' start, and a sleeping thread
// can take as long to be woken (1-3 ms on a busy two-core virtual machine), which
// would put the wake-up on the start-up's critical path.
class TStartGate {
public:
    TStartGate() = default;
    TStartGate(const TStartGate&) = delete;
    TStartGate& operator=(const TStartGate&) = delete;

    // Lets every waiter through, now and later.
    void Open();
    // Returns once Open() has been called.
    void Wait() const;

private:
    std::atomic<bool> open_{false};
};

} // namespace kelvo
