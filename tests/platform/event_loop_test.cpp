// The tests' waits sleep in the event loop: a wait that spins would steal a loaded machine's processor from the code under test.
#include "tests/support/application.h"
#include "tests/support/event_loop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kelvo::test {
namespace {

class EventLoopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureApp(); }

    // How often the event loop woke during `wait`.
    template <typename Wait>
    static int WakeUpsDuring(Wait wait) {
        int wakeUps = 0;
        const auto counter = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                                              [&] { ++wakeUps; });
        wait();
        QObject::disconnect(counter);
        return wakeUps;
    }
};

// A spinning wait wakes thousands of times in 300 ms; a sleeping one only for its own
// timers (SpinUntil looks at its condition every kPollMs).
TEST_F(EventLoopTest, WaitsSleepUntilTheirDeadline) {
    EXPECT_LT(WakeUpsDuring([] { SpinFor(300); }), 20);
    bool ended = true;
    EXPECT_LT(WakeUpsDuring([&] { ended = SpinUntil([] { return false; }, 300); }), 3 * 300 / kPollMs);
    EXPECT_FALSE(ended);
}

TEST_F(EventLoopTest, SpinUntilSeesEventsAndOtherThreads) {
    bool fired = false;
    QTimer::singleShot(50, QCoreApplication::instance(), [&] { fired = true; });
    EXPECT_TRUE(SpinUntil([&] { return fired; }, 5000));

    std::atomic<bool> done{false};
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        done = true; // posts no event: the wait has to look again by itself
    });
    EXPECT_TRUE(SpinUntil([&] { return done.load(); }, 5000));
    other.join();
}

} // namespace
} // namespace kelvo::test
