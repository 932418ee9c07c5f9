// Test helpers for the Qt event loop.
#include "event_loop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace kelvo::testing {

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "kelvo_test";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
        new QCoreApplication(argc, argv);  // lives for the whole test program
}

bool SpinUntil(const std::function<bool()>& done, int ms)
{
    const QDeadlineTimer deadline(ms);
    // Conditions that change on another thread post no event: look again now and then,
    // but sleep in between, so a wait costs no processor time.
    QTimer poll;
    poll.start(kPollMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void SpinFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace kelvo::testing
