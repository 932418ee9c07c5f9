// Test helpers for the Qt event loop.
#include "event_loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace kelvo::testing {

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "kelvo_net_test";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
        new QCoreApplication(argc, argv);  // lives for the whole test program
}

bool SpinUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() >= ms)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void SpinFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace kelvo::testing
