// The timer component and the hidden windows that carry ticks and socket notifications.
#include "net/linksock.h"
#include "net/notify_window.h"
#include "net/thread_timer.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace kelvo {
namespace {

class TimerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::EnsureApp(); }
};

TEST_F(TimerTest, StartsEnabledWithOneSecondButRunsNothingYet) {
    TThreadTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.OnTimer());
    EXPECT_NE(timer.WindowHandle(), 0u);
    EXPECT_EQ(ActiveTimerCount(timer.WindowHandle()), 0);
}

TEST_F(TimerTest, RunsOnlyWithIntervalHandlerAndEnabled) {
    struct Row {
        bool enabled;
        uint32_t interval;
        bool handler;
        int running;
    };
    const Row rows[] = {
        {true, 50, true, 1},
        {true, 0, true, 0},
        {true, 50, false, 0},
        {false, 50, true, 0},
    };
    for (const Row& r : rows) {
        TThreadTimer timer;
        timer.SetInterval(r.interval);
        timer.SetEnabled(r.enabled);
        if (r.handler) timer.SetOnTimer([](QObject*) {});
        EXPECT_EQ(ActiveTimerCount(timer.WindowHandle()), r.running)
            << r.enabled << " " << r.interval << " " << r.handler;
    }
}

TEST_F(TimerTest, TicksCallOnTimerWithTheTimer) {
    TThreadTimer timer;
    std::vector<QObject*> senders;
    timer.SetInterval(20);
    timer.SetOnTimer([&](QObject* s) { senders.push_back(s); });
    EXPECT_TRUE(test::SpinUntil([&] { return senders.size() >= 3; }));
    EXPECT_EQ(senders.front(), &timer);
    timer.SetEnabled(false);
    const size_t seen = senders.size();
    test::SpinFor(100);
    EXPECT_EQ(senders.size(), seen);
}

// Measures when the first tick comes after `poke` runs half-way (300 ms) into a 600 ms
// period: a kept period ticks at 600 ms, a restarted one at 900 ms. The threshold sits
// 150 ms from either, which a loaded machine's late wake-ups stay well inside.
template <typename Poke>
qint64 FirstTickAfterPoke(Poke poke) {
    TThreadTimer timer;
    timer.SetInterval(600);
    qint64 tickAt = -1;
    QElapsedTimer clock;
    timer.SetOnTimer([&](QObject*) {
        if (tickAt < 0) tickAt = clock.elapsed();
    });
    clock.start();
    test::SpinFor(300);
    poke(timer);
    test::SpinUntil([&] { return tickAt >= 0; }, 3000);
    return tickAt;
}

TEST_F(TimerTest, SettingTheSameValueKeepsThePeriodButSettingOnTimerRestartsIt) {
    constexpr qint64 kBetween = 750;
    EXPECT_LT(FirstTickAfterPoke([](TThreadTimer& t) { t.SetEnabled(true); }), kBetween);
    EXPECT_LT(FirstTickAfterPoke([](TThreadTimer& t) { t.SetInterval(600); }), kBetween);
    EXPECT_GE(FirstTickAfterPoke([](TThreadTimer& t) { t.SetOnTimer(t.OnTimer()); }), kBetween);
    EXPECT_GE(FirstTickAfterPoke([](TThreadTimer& t) { t.SetInterval(601); }), kBetween);
}

TEST_F(TimerTest, ExceptionFromOnTimerStaysInTheTimer) {
    TThreadTimer timer;
    int ticks = 0;
    timer.SetInterval(20);
    timer.SetOnTimer([&](QObject*) {
        ++ticks;
        throw std::runtime_error("handler failed");
    });
    EXPECT_TRUE(test::SpinUntil([&] { return ticks >= 2; }));
}

class RecordingTimer : public TThreadTimer {
public:
    std::vector<UINT> seen;
    LRESULT WndProc(UINT msg, WPARAM w, LPARAM l) override {
        seen.push_back(msg);
        return TThreadTimer::WndProc(msg, w, l);
    }
};

TEST_F(TimerTest, TimerWindowSwallowsApplicationActivation) {
    RecordingTimer timer;
    SendMessageA(timer.WindowHandle(), WM_ACTIVATEAPP, 1, 0);
    EXPECT_TRUE(timer.seen.empty());
    SendMessageA(timer.WindowHandle(), WM_USER, 0, 0);
    EXPECT_EQ(timer.seen, std::vector<UINT>{WM_USER});
}

TEST_F(TimerTest, TimerMayBeDestroyedByItsOwnTick) {
    auto* timer = new TThreadTimer;
    bool gone = false;
    timer->SetInterval(10);
    timer->SetOnTimer([&](QObject*) {
        delete timer;
        gone = true;
    });
    EXPECT_TRUE(test::SpinUntil([&] { return gone; }));
    test::SpinFor(50);
}

TEST_F(TimerTest, WindowClassesAreRegisteredOnceAndReused) {
    TLinksock first;
    TLinksock second;
    WNDCLASSA wc;
    ASSERT_TRUE(GetClassInfoA(kNotifyWindowClass, &wc));
    EXPECT_EQ(wc.cbWndExtra, 4);
    EXPECT_EQ(wc.style, 0u);
    EXPECT_TRUE(GetClassInfoA(kTimerWindowClass, nullptr));
    EXPECT_NE(first.WindowHandle(), second.WindowHandle());
    EXPECT_EQ(GetWindowLongA(first.WindowHandle(), 0), reinterpret_cast<LPARAM>(&first));
    EXPECT_EQ(GetWindowLongA(second.WindowHandle(), 0), reinterpret_cast<LPARAM>(&second));
}

TEST_F(TimerTest, TimeOutTickArmsOnceAndDisarms) {
    TLinksock sock;
    std::vector<std::string> statuses;
    sock.SetReportLevel(8);
    sock.OnStatus = [&](QObject*, const std::string& s) { statuses.push_back(s); };
    sock.SetTimeOut(30);
    sock.Timer().SetInterval(30);
    sock.Timer().SetEnabled(true); // as the start of a timed wait does
    EXPECT_TRUE(test::SpinUntil([&] { return sock.TimedOut(); }));
    test::SpinFor(100);
    const std::vector<std::string> expected = {"Timer Triggered", "Timer Off", "Abort", "Canceling"};
    EXPECT_EQ(statuses, expected);
    EXPECT_TRUE(sock.Canceled());
    EXPECT_TRUE(sock.WaitDone());
    EXPECT_FALSE(sock.Timer().Enabled());
}

} // namespace
} // namespace kelvo
