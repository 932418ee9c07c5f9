// The waits block in the event loop, so a test costs no processor time while it waits.
#include "event_loop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace kelvo::test {

bool SpinUntil(const std::function<bool()>& done, int ms) {
    const QDeadlineTimer deadline(ms);
    // Conditions that change on another thread post no event: look again now and then,
    // but sleep in between, so a wait costs no processor time.
    QTimer poll;
    poll.start(kPollMs);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void SpinFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace kelvo::test
