// Test helpers for the Qt event loop: an application object and waiting with a deadline.
#pragma once

#include <functional>

namespace kelvo::testing {

// Creates the process's QCoreApplication on first use.
void EnsureApp();
// Dispatches events until `done` holds or `ms` pass; returns done().
bool SpinUntil(const std::function<bool()>& done, int ms = 5000);
// Dispatches events for `ms` milliseconds.
void SpinFor(int ms);

} // namespace kelvo::testing
