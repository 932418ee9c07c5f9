// Runs an action on every way out of a scope: return, exception or falling off the end.
#pragma once

#include <utility>

namespace kelvo {

// The action runs from a destructor, where an exception has nowhere to go: one thrown
// by the action is dropped, so the scope's own result (or exception) stands.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F action) : action_(std::move(action)) {}
    ~ScopeExit() {
        try {
            action_();
        } catch (...) {}
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F action_;
};

} // namespace kelvo
