// TThreadTimer: a periodic tick delivered as WM_TIMER to its own hidden window on the GUI thread.
//
// Subclasses may override Tick (called once per period; the default calls OnTimer) and
// WndProc (every message of the timer window except WM_ACTIVATEAPP, which the window
// swallows). Tick may destroy the timer: nothing touches the object after it returns.
#pragma once

#include "net/socket_events.h"

#include <cstdint>
#include <memory>

namespace kelvo {

class TThreadTimer : public QObject {
public:
    explicit TThreadTimer(QObject* owner = nullptr);
    ~TThreadTimer() override;
    TThreadTimer(const TThreadTimer&) = delete;
    TThreadTimer& operator=(const TThreadTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t value);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent handler);

    HWND WindowHandle() const { return windowHandle_; }

    // The timer window's procedure hands every message but WM_ACTIVATEAPP here.
    virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);

protected:
    virtual void Tick();
    // Restarts the platform timer with a full period, or stops it. Raises Exception
    // "No Timer" when the platform refuses a timer.
    void UpdateTimer();

private:
    bool enabled_ = true;
    uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    HWND windowHandle_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // read false once the timer is gone
};

} // namespace kelvo
