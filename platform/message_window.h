// Hidden message windows and window timers: a window procedure receiving (number, wParam, lParam) on the GUI thread.
#pragma once

#include <cstdint>
#include <functional>

namespace kelvo {

using HWND = uintptr_t; // 0 = no window
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

constexpr UINT WM_ACTIVATEAPP = 28;
constexpr UINT WM_TIMER = 275;
constexpr UINT WM_USER = 1024;

constexpr uint32_t WS_EX_TOOLWINDOW = 0x80;
constexpr uint32_t WS_POPUP = 0x80000000u;

inline constexpr uint16_t LOWORD(LPARAM v) { return static_cast<uint16_t>(static_cast<uintptr_t>(v) & 0xFFFF); }
inline constexpr uint16_t HIWORD(LPARAM v) { return static_cast<uint16_t>((static_cast<uintptr_t>(v) >> 16) & 0xFFFF); }
inline constexpr LPARAM MAKELPARAM(uint16_t low, uint16_t high) {
    return static_cast<LPARAM>((static_cast<uint32_t>(high) << 16) | low);
}

// A window class: a name, its procedure and the number of reference slots each
// window carries (one slot per 4 extra bytes, each wide enough for a pointer).
struct WNDCLASSA {
    UINT style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbWndExtra = 0;
    const char* lpszClassName = nullptr;
};

// Classes are registered once per process; a second registration of the same
// name fails, as it does on the original platform.
bool RegisterClassA(const WNDCLASSA& wc);
bool GetClassInfoA(const char* className, WNDCLASSA* out);

// Creates a hidden window of a registered class on the calling (GUI) thread.
// Returns 0 when the class is unknown.
HWND CreateWindowExA(uint32_t exStyle, const char* className, const char* title, uint32_t style, int x, int y,
                     int width, int height);
bool DestroyWindow(HWND wnd);
bool IsWindow(HWND wnd);

// Reference slot `index` (a byte offset, multiple of 4) of the window.
LPARAM SetWindowLongA(HWND wnd, int index, LPARAM value);
LPARAM GetWindowLongA(HWND wnd, int index);

// Default processing: nothing to do for a hidden window.
LRESULT DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Posting queues the message behind every pending event and may be called from
// any thread; a message posted to a window destroyed meanwhile is dropped.
// Sending calls the window procedure at once (GUI thread only).
bool PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Runs `call` on the window's thread in posting order, unless the window is
// destroyed before it gets there. Any thread may post.
bool PostCallback(HWND wnd, std::function<void()> call);

// Window timers deliver WM_TIMER (wParam = id) to the window procedure every
// `elapseMs` milliseconds. Setting an existing id restarts it with the new period.
// SetTimer returns id (never 0 for a valid id) or 0 when no timer could be made.
uintptr_t SetTimer(HWND wnd, uintptr_t id, UINT elapseMs);
bool KillTimer(HWND wnd, uintptr_t id);

// The number of platform timers running on a window (for diagnostics and tests).
int ActiveTimerCount(HWND wnd);

} // namespace kelvo
