// TThreadTimer: starts and stops the window timer as its properties change.
#include "net/thread_timer.h"

#include "net/notify_window.h"
#include "platform/exceptions.h"
#include "platform/guarded.h"

#include <QDebug>

namespace kelvo {

TThreadTimer::TThreadTimer(QObject* owner) : QObject(owner) { windowHandle_ = CreateTimerWindow(this); }

TThreadTimer::~TThreadTimer() {
    *alive_ = false;
    enabled_ = false;
    try {
        UpdateTimer();
    } catch (...) {
        // Stopping never fails; nothing may leave a destructor anyway.
    }
    if (windowHandle_ != 0) DestroyWindow(windowHandle_);
}

void TThreadTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(uint32_t value) {
    if (value == interval_) return;
    interval_ = value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    KillTimer(windowHandle_, 1);
    if (interval_ != 0 && enabled_ && onTimer_) {
        if (SetTimer(windowHandle_, 1, interval_) == 0) throw Exception("No Timer");
    }
}

void TThreadTimer::Tick() {
    // The handler may replace OnTimer or destroy the timer; nothing follows here either way.
    (void)Fire(alive_, onTimer_, this);
}

LRESULT TThreadTimer::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_TIMER) return DefWindowProcA(windowHandle_, msg, wParam, lParam);
    // The application's handler: show the message, keep the event loop going.
    (void)Guarded("timer", [this] { Tick(); });
    return 0;
}

} // namespace kelvo
