// Guarded: the one way code that Qt calls into keeps exceptions out of Qt's event dispatch.
#pragma once

#include <QtGlobal>

#include <exception>

namespace kelvo {

// Runs `work`; a failure is logged as "<where>: <what>" and goes no further, since Qt's
// event dispatch must never see an exception and these entry points have nobody to
// report to. Returns whether `work` finished.
template <typename F>
bool Guarded(const char* where, F&& work) noexcept {
    try {
        work();
        return true;
    } catch (const std::exception& e) {
        qWarning("%s: %s", where, e.what());
    } catch (...) {
        qWarning("%s: unknown failure", where);
    }
    return false;
}

} // namespace kelvo
