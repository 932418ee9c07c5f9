// Window procedures of the socket notification and timer windows.
#include "net/notify_window.h"

#include "net/linksock.h"
#include "net/thread_timer.h"

namespace kelvo {

const char* const kNotifyWindowClass = "LsockWindowClass";
const char* const kTimerWindowClass = "TmrWindowClass";

namespace {

LRESULT NotifyProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* component = reinterpret_cast<TLinksock*>(GetWindowLongA(wnd, 0));
    if (component != nullptr && msg >= WM_SOCKETEVENT) return component->HandleSocketMessage(msg, wParam, lParam);
    return DefWindowProcA(wnd, msg, wParam, lParam);
}

LRESULT TimerProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* timer = reinterpret_cast<TThreadTimer*>(GetWindowLongA(wnd, 0));
    if (timer == nullptr) return DefWindowProcA(wnd, msg, wParam, lParam);
    // Activation changes of the application are no business of a timer.
    if (msg == WM_ACTIVATEAPP) return 0;
    return timer->WndProc(msg, wParam, lParam);
}

HWND CreateAttached(const char* className, WNDPROC proc, void* object) {
    if (!GetClassInfoA(className, nullptr)) {
        WNDCLASSA wc;
        wc.style = 0;
        wc.lpfnWndProc = proc;
        wc.cbWndExtra = 4;
        wc.lpszClassName = className;
        if (!RegisterClassA(wc)) return 0;
    }
    const HWND wnd = CreateWindowExA(WS_EX_TOOLWINDOW, className, "", WS_POPUP, 0, 0, 0, 0);
    if (wnd != 0) SetWindowLongA(wnd, 0, reinterpret_cast<LPARAM>(object));
    return wnd;
}

} // namespace

HWND CreateNotifyWindow(TLinksock* component) { return CreateAttached(kNotifyWindowClass, NotifyProc, component); }

HWND CreateTimerWindow(TThreadTimer* timer) { return CreateAttached(kTimerWindowClass, TimerProc, timer); }

} // namespace kelvo
