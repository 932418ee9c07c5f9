// Waiting in the Qt event loop with a deadline, instead of sleeping a guessed time.
#pragma once

#include <functional>

namespace kelvo::test {

// How often SpinUntil looks at its condition when no event comes.
constexpr int kPollMs = 10;
// Sleeps in the event loop until `done` holds or `ms` pass; returns done().
bool SpinUntil(const std::function<bool()>& done, int ms = 5000);
// Runs the event loop for `ms` milliseconds.
void SpinFor(int ms);

} // namespace kelvo::test
