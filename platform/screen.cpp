// The logical resolution of the primary screen, with a fixed fallback where there is none.
#include "platform/screen.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace kelvo {

int32_t ScreenPixelsPerInch() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return 96;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return 96;
    }
    const double dpi = screen->logicalDotsPerInch();
    if (!std::isfinite(dpi) || dpi < 1.0 || dpi > 10000.0) {
        return 96;
    }
    return static_cast<int32_t>(std::nearbyint(dpi));
}

} // namespace kelvo
