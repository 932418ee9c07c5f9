// The hidden windows that carry socket notifications to a TLinksock and ticks to a TThreadTimer.
#pragma once

#include "platform/message_window.h"

namespace kelvo {

class TLinksock;
class TThreadTimer;

// Each returns 0 when the window class cannot be registered or the window created.
// The caller destroys the window with DestroyWindow.
HWND CreateNotifyWindow(TLinksock* component);
HWND CreateTimerWindow(TThreadTimer* timer);

extern const char* const kNotifyWindowClass; // "LsockWindowClass"
extern const char* const kTimerWindowClass;  // "TmrWindowClass"

} // namespace kelvo
