// Hidden message windows: classes, reference slots, posting order, sending, timers, destruction.
#include "platform/message_window.h"

#include "tests/support/application.h"
#include "tests/support/event_loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

namespace kelvo {
namespace {

using Msg = std::tuple<HWND, UINT, WPARAM, LPARAM>;
std::vector<Msg> received;
HWND destroyInsideProc = 0;

LRESULT RecordingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    received.emplace_back(w, m, wp, lp);
    if (w == destroyInsideProc) DestroyWindow(w);
    return static_cast<LRESULT>(m) + 1;
}

LRESULT ThrowingProc(HWND, UINT, WPARAM, LPARAM) { throw std::runtime_error("procedure failed"); }

using kelvo::test::SpinUntil;

class MessageWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kelvo::test::EnsureApp();
        WNDCLASSA wc;
        wc.lpfnWndProc = RecordingProc;
        wc.cbWndExtra = 4;
        wc.lpszClassName = "RecordingClass";
        RegisterClassA(wc);
        wc.lpfnWndProc = ThrowingProc;
        wc.lpszClassName = "ThrowingClass";
        RegisterClassA(wc);
    }
    void SetUp() override {
        received.clear();
        wnd = CreateWindowExA(WS_EX_TOOLWINDOW, "RecordingClass", "", WS_POPUP, 0, 0, 0, 0);
        ASSERT_NE(wnd, 0u);
    }
    void TearDown() override { DestroyWindow(wnd); }
    HWND wnd = 0;
};

TEST_F(MessageWindowTest, ClassesRegisterOnce) {
    WNDCLASSA wc;
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = "RecordingClass";
    EXPECT_FALSE(RegisterClassA(wc));
    WNDCLASSA got;
    ASSERT_TRUE(GetClassInfoA("RecordingClass", &got));
    EXPECT_EQ(got.cbWndExtra, 4);
    EXPECT_STREQ(got.lpszClassName, "RecordingClass");
    EXPECT_FALSE(GetClassInfoA("NoSuchClass", nullptr));
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0), 0u);
}

TEST_F(MessageWindowTest, ReferenceSlotHoldsAPointer) {
    int object = 0;
    EXPECT_EQ(GetWindowLongA(wnd, 0), 0);
    SetWindowLongA(wnd, 0, reinterpret_cast<LPARAM>(&object));
    EXPECT_EQ(GetWindowLongA(wnd, 0), reinterpret_cast<LPARAM>(&object));
    EXPECT_EQ(GetWindowLongA(wnd, 4), 0); // only one slot
    EXPECT_EQ(SetWindowLongA(wnd, 4, 5), 0);
}

TEST_F(MessageWindowTest, PostedMessagesArriveInOrderAndSentOnesAtOnce) {
    PostMessageA(wnd, 1125, 7, MAKELPARAM(16, 0));
    PostMessageA(wnd, 1126, 8, MAKELPARAM(40, 11001));
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(SendMessageA(wnd, 1000, 1, 2), 1001);
    ASSERT_EQ(received.size(), 1u);
    ASSERT_TRUE(SpinUntil([] { return received.size() == 3; }));
    EXPECT_EQ(received[1], Msg(wnd, 1125, 7, MAKELPARAM(16, 0)));
    EXPECT_EQ(received[2], Msg(wnd, 1126, 8, MAKELPARAM(40, 11001)));
    EXPECT_EQ(LOWORD(std::get<3>(received[2])), 40);
    EXPECT_EQ(HIWORD(std::get<3>(received[2])), 11001);
}

TEST_F(MessageWindowTest, PostsFromOtherThreadsAndCallbacksKeepOrder) {
    std::vector<int> order;
    std::thread([&] {
        PostMessageA(wnd, 1, 0, 0);
        PostCallback(wnd, [&] { order.push_back(static_cast<int>(received.size())); });
        PostMessageA(wnd, 2, 0, 0);
    }).join();
    ASSERT_TRUE(SpinUntil([] { return received.size() == 2; }));
    EXPECT_EQ(order, std::vector<int>{1});
}

TEST_F(MessageWindowTest, MessagesForADestroyedWindowAreDropped) {
    const HWND other = CreateWindowExA(0, "RecordingClass", "", 0, 0, 0, 0, 0);
    PostMessageA(other, 5, 0, 0);
    bool called = false;
    PostCallback(other, [&] { called = true; });
    EXPECT_TRUE(DestroyWindow(other));
    EXPECT_FALSE(IsWindow(other));
    EXPECT_FALSE(PostMessageA(other, 6, 0, 0));
    EXPECT_EQ(SendMessageA(other, 7, 0, 0), 0);
    PostMessageA(wnd, 8, 0, 0);
    ASSERT_TRUE(SpinUntil([] { return !received.empty(); }));
    EXPECT_EQ(received, std::vector<Msg>{Msg(wnd, 8, 0, 0)});
    EXPECT_FALSE(called);
    EXPECT_FALSE(DestroyWindow(other));
}

TEST_F(MessageWindowTest, WindowMayDestroyItselfInItsProcedure) {
    const HWND other = CreateWindowExA(0, "RecordingClass", "", 0, 0, 0, 0, 0);
    destroyInsideProc = other;
    PostMessageA(other, 9, 0, 0);
    PostMessageA(other, 10, 0, 0);
    ASSERT_TRUE(SpinUntil([] { return !received.empty(); }));
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(received.size(), 1u);
    EXPECT_FALSE(IsWindow(other));
    destroyInsideProc = 0;
}

TEST_F(MessageWindowTest, TimersDeliverWmTimerWithTheirId) {
    ASSERT_EQ(SetTimer(wnd, 1, 20), 1u);
    EXPECT_EQ(ActiveTimerCount(wnd), 1);
    ASSERT_TRUE(SpinUntil([] { return received.size() >= 2; }));
    EXPECT_EQ(received[0], Msg(wnd, WM_TIMER, 1, 0));
    EXPECT_TRUE(KillTimer(wnd, 1));
    EXPECT_FALSE(KillTimer(wnd, 1));
    EXPECT_EQ(ActiveTimerCount(wnd), 0);
    const size_t seen = received.size();
    SpinUntil([] { return false; }, 80);
    EXPECT_EQ(received.size(), seen);
    EXPECT_EQ(SetTimer(wnd, 0, 20), 0u); // id 0 is no timer
    EXPECT_EQ(SetTimer(12345, 1, 20), 0u);
}

TEST_F(MessageWindowTest, ExceptionsStayInsideTheProcedure) {
    const HWND bad = CreateWindowExA(0, "ThrowingClass", "", 0, 0, 0, 0, 0);
    EXPECT_EQ(SendMessageA(bad, 1, 0, 0), 0);
    PostMessageA(bad, 2, 0, 0);
    PostMessageA(wnd, 3, 0, 0);
    EXPECT_TRUE(SpinUntil([] { return !received.empty(); }));
    DestroyWindow(bad);
}

} // namespace
} // namespace kelvo
