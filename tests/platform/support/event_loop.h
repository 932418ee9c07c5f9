// Test helpers for the Qt event loop: an application object and waiting with a deadline.
#pragma once

#include <functional>

namespace kelvo::testing {

// Creates the process's QCoreApplication on first use.
void EnsureApp();
// How often SpinUntil looks at its condition when no event comes.
constexpr int kPollMs = 10;
// Sleeps in the event loop until `done` holds or `ms` pass; returns done().
bool SpinUntil(const std::function<bool()>& done, int ms = 5000);
// Runs the event loop for `ms` milliseconds.
void SpinFor(int ms);

} // namespace kelvo::testing
