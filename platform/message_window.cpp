// Hidden message windows over QObject: posted messages are QEvents, timers are QObject timers.
#include "platform/message_window.h"

#include "platform/guarded.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>

#include <climits>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kelvo {
namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct MessageEvent : QEvent {
    MessageEvent(UINT m, WPARAM w, LPARAM l) : QEvent(kMessageEvent), msg(m), wParam(w), lParam(l) {}
    MessageEvent(std::function<void()> c) : QEvent(kMessageEvent), call(std::move(c)) {}
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::function<void()> call;
};

struct ClassInfo {
    std::string name;
    WNDCLASSA wc;
};

class MessageWindow;

// Process-wide tables. Deliberately never destroyed: lookup threads may still
// post into them while the process exits.
struct Registry {
    std::mutex mutex;
    std::map<std::string, ClassInfo> classes;
    std::map<HWND, MessageWindow*> windows;
    HWND next = 0x100;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

class MessageWindow : public QObject {
public:
    MessageWindow(HWND h, WNDPROC proc, int slotCount)
        : handle_(h), proc_(proc), slots_(static_cast<size_t>(slotCount), 0) {}

    LRESULT Call(UINT msg, WPARAM w, LPARAM l) {
        if (dead_ || proc_ == nullptr) return 0;
        ++depth_;
        LRESULT r = 0;
        (void)Guarded("window procedure", [&] { r = proc_(handle_, msg, w, l); });
        --depth_;
        FinishIfDead();
        return r;
    }

    bool event(QEvent* e) override {
        if (e->type() == kMessageEvent) {
            auto* m = static_cast<MessageEvent*>(e);
            if (dead_) return true;
            if (m->call) {
                ++depth_;
                (void)Guarded("posted callback", [m] { m->call(); });
                --depth_;
                FinishIfDead();
            } else {
                Call(m->msg, m->wParam, m->lParam);
            }
            return true;
        }
        if (e->type() == QEvent::Timer) {
            const int qtId = static_cast<QTimerEvent*>(e)->timerId();
            for (const auto& [id, q] : timers_) {
                if (q == qtId) {
                    Call(WM_TIMER, id, 0);
                    break;
                }
            }
            return true;
        }
        return QObject::event(e);
    }

    uintptr_t SetTimer(uintptr_t id, UINT ms) {
        KillTimer(id);
        // The original platform raises periods below 10 ms to 10 ms and caps huge ones.
        const int period = static_cast<int>(std::min<UINT>(std::max<UINT>(ms, 10), INT_MAX));
        const int q = startTimer(period, Qt::PreciseTimer);
        if (q == 0) return 0;
        timers_[id] = q;
        return id;
    }

    bool KillTimer(uintptr_t id) {
        auto it = timers_.find(id);
        if (it == timers_.end()) return false;
        killTimer(it->second);
        timers_.erase(it);
        return true;
    }

    int TimerCount() const { return static_cast<int>(timers_.size()); }

    // Called with the window already out of the registry.
    void Destroy() {
        for (const auto& t : timers_) killTimer(t.second);
        timers_.clear();
        dead_ = true;
        if (depth_ == 0) delete this;
        // Otherwise its own procedure is on the stack: FinishIfDead deletes it on the way out.
    }

    std::vector<LPARAM>& Slots() { return slots_; }

private:
    void FinishIfDead() {
        if (dead_ && depth_ == 0) deleteLater();
    }

    HWND handle_;
    WNDPROC proc_;
    std::vector<LPARAM> slots_;
    std::map<uintptr_t, int> timers_;
    int depth_ = 0;
    bool dead_ = false;
};

MessageWindow* find(HWND wnd) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(wnd);
    return it == r.windows.end() ? nullptr : it->second;
}

} // namespace

bool RegisterClassA(const WNDCLASSA& wc) {
    if (wc.lpszClassName == nullptr || wc.lpfnWndProc == nullptr || wc.cbWndExtra < 0) return false;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.classes.count(wc.lpszClassName)) return false;
    ClassInfo info{wc.lpszClassName, wc};
    auto& stored = r.classes[info.name] = info;
    stored.wc.lpszClassName = stored.name.c_str();
    return true;
}

bool GetClassInfoA(const char* className, WNDCLASSA* out) {
    if (className == nullptr) return false;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.classes.find(className);
    if (it == r.classes.end()) return false;
    if (out) *out = it->second.wc;
    return true;
}

HWND CreateWindowExA(uint32_t, const char* className, const char*, uint32_t, int, int, int, int) {
    if (className == nullptr) return 0;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.classes.find(className);
    if (it == r.classes.end()) return 0;
    const HWND h = r.next++;
    const int slotCount = (it->second.wc.cbWndExtra + 3) / 4;
    r.windows[h] = new MessageWindow(h, it->second.wc.lpfnWndProc, slotCount);
    return h;
}

bool DestroyWindow(HWND wnd) {
    MessageWindow* w = nullptr;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.windows.find(wnd);
        if (it == r.windows.end()) return false;
        w = it->second;
        r.windows.erase(it);
    }
    w->Destroy();
    return true;
}

bool IsWindow(HWND wnd) { return find(wnd) != nullptr; }

LPARAM SetWindowLongA(HWND wnd, int index, LPARAM value) {
    MessageWindow* w = find(wnd);
    if (w == nullptr || index < 0 || index % 4 != 0 || static_cast<size_t>(index / 4) >= w->Slots().size()) return 0;
    LPARAM old = w->Slots()[static_cast<size_t>(index / 4)];
    w->Slots()[static_cast<size_t>(index / 4)] = value;
    return old;
}

LPARAM GetWindowLongA(HWND wnd, int index) {
    MessageWindow* w = find(wnd);
    if (w == nullptr || index < 0 || index % 4 != 0 || static_cast<size_t>(index / 4) >= w->Slots().size()) return 0;
    return w->Slots()[static_cast<size_t>(index / 4)];
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(wnd);
    if (it == r.windows.end()) return false;
    QCoreApplication::postEvent(it->second, new MessageEvent(msg, wParam, lParam));
    return true;
}

bool PostCallback(HWND wnd, std::function<void()> call) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(wnd);
    if (it == r.windows.end()) return false;
    QCoreApplication::postEvent(it->second, new MessageEvent(std::move(call)));
    return true;
}

LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MessageWindow* w = find(wnd);
    return w ? w->Call(msg, wParam, lParam) : 0;
}

uintptr_t SetTimer(HWND wnd, uintptr_t id, UINT elapseMs) {
    MessageWindow* w = find(wnd);
    return (w && id != 0) ? w->SetTimer(id, elapseMs) : 0;
}

bool KillTimer(HWND wnd, uintptr_t id) {
    MessageWindow* w = find(wnd);
    return w ? w->KillTimer(id) : false;
}

int ActiveTimerCount(HWND wnd) {
    MessageWindow* w = find(wnd);
    return w ? w->TimerCount() : 0;
}

} // namespace kelvo
