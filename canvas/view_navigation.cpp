// Fit, zoom about a point and pan for the canvas in its scroll box, and the events that ask for them.
#include "canvas/view_navigation.h"

#include "canvas/my_cad.h"
#include "platform/guarded.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvo {

namespace {

// A scroll value for a position in double, held within int (a far-off point may ask
// for any).
int ScrollValue(double v) {
    if (!(v > 0.0)) {
        return 0;
    }
    return int(std::min(std::round(v), double(std::numeric_limits<int>::max())));
}

} // namespace

TViewNavigation::TViewNavigation(QScrollArea& area, TMyCAD& canvas) : QObject(&canvas), area_(&area), canvas_(&canvas) {
    canvas.installEventFilter(this);
    area.viewport()->installEventFilter(this);
}

QScrollArea* TViewNavigation::Area() const { return qobject_cast<QScrollArea*>(area_.data()); }

TMyCAD* TViewNavigation::Canvas() const { return qobject_cast<TMyCAD*>(canvas_.data()); }

bool TViewNavigation::Active() const { return Area() != nullptr && Canvas() != nullptr && Canvas()->Picture() != nullptr; }

QSize TViewNavigation::Room() const {
    // The box without scroll bars, less the canvas's margin in the box's client.
    const QPoint margin = Canvas()->mapTo(Area()->widget(), QPoint(0, 0));
    return Area()->contentsRect().size() - QSize(margin.x(), margin.y());
}

double TViewNavigation::FitZoom() const {
    if (!Active()) {
        return 0.0;
    }
    const QSize room = Room();
    const imaging::TPicture& picture = *Canvas()->Picture();
    if (room.width() < 1 || room.height() < 1) {
        return kMinZoom;
    }
    const double zoom =
        std::min(double(room.width()) / picture.Width(), double(room.height()) / picture.Height());
    return std::clamp(zoom, kMinZoom, kMaxZoom);
}

bool TViewNavigation::Fit() {
    if (!Active() || !Canvas()->SetViewZoom(FitZoom())) {
        return false;
    }
    Area()->horizontalScrollBar()->setValue(0);
    Area()->verticalScrollBar()->setValue(0);
    return true;
}

bool TViewNavigation::FitIfLarger() {
    if (!Active()) {
        return false;
    }
    const QSize room = Room();
    const QSize zoomed = Canvas()->ZoomedSize();
    return (zoomed.width() > room.width() || zoomed.height() > room.height()) && Fit();
}

bool TViewNavigation::ZoomAbout(double zoom, QPoint viewportPos) {
    if (!Active() || !std::isfinite(zoom)) {
        return false;
    }
    zoom = std::clamp(zoom, kMinZoom, kMaxZoom);
    const double before = Canvas()->Zoom();
    // The picture point under the position, in picture pixels.
    const QPoint origin = Canvas()->mapTo(Area()->viewport(), QPoint(0, 0));
    const double px = (viewportPos.x() - origin.x()) / before;
    const double py = (viewportPos.y() - origin.y()) / before;
    if (zoom == before || !Canvas()->SetViewZoom(zoom)) {
        return false;
    }
    // The canvas has its new size, and the box its new scroll ranges: scrolled so that
    // the point lies under the position again.
    const QPoint margin = Canvas()->mapTo(Area()->widget(), QPoint(0, 0));
    Area()->horizontalScrollBar()->setValue(ScrollValue(margin.x() + px * zoom - viewportPos.x()));
    Area()->verticalScrollBar()->setValue(ScrollValue(margin.y() + py * zoom - viewportPos.y()));
    return true;
}

void TViewNavigation::PanBy(QPoint delta) {
    if (!Active()) {
        return;
    }
    // The picture follows the pointer: the view moves the other way. Values are held
    // by the scroll bars' own ranges.
    QScrollBar* h = Area()->horizontalScrollBar();
    QScrollBar* v = Area()->verticalScrollBar();
    h->setValue(int(std::clamp<int64_t>(int64_t(h->value()) - delta.x(), h->minimum(), h->maximum())));
    v->setValue(int(std::clamp<int64_t>(int64_t(v->value()) - delta.y(), v->minimum(), v->maximum())));
}

QPoint TViewNavigation::ToViewport(QObject* watched, QPointF local) const {
    const QPoint p(int(std::clamp(std::floor(local.x()), -1e9, 1e9)), int(std::clamp(std::floor(local.y()), -1e9, 1e9)));
    auto* widget = static_cast<QWidget*>(watched);
    return widget == Area()->viewport() ? p : widget->mapTo(Area()->viewport(), p);
}

bool TViewNavigation::Wheel(QObject* watched, QEvent* event) {
    auto* wheel = static_cast<QWheelEvent*>(event);
    if ((wheel->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::ShiftModifier)) != Qt::AltModifier) {
        return false;
    }
    const QPoint turn = wheel->angleDelta();
    const int notches = turn.y() != 0 ? turn.y() : turn.x();
    if (notches != 0) {
        (void)ZoomAbout(Canvas()->Zoom() * std::pow(kNotchFactor, notches / 120.0), ToViewport(watched, wheel->position()));
    }
    return true;
}

bool TViewNavigation::Mouse(QEvent* event) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint global = mouse->globalPosition().toPoint();
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (mouse->button() == Qt::MiddleButton || (mouse->button() == Qt::LeftButton && spaceHeld_)) {
            panning_ = true;
            panFrom_ = global;
            return true;
        }
        return panning_;
    case QEvent::MouseMove:
        if (!panning_) {
            return false;
        }
        PanBy(global - panFrom_);
        panFrom_ = global;
        return true;
    case QEvent::MouseButtonRelease:
        if (!panning_) {
            return false;
        }
        if (mouse->buttons() == Qt::NoButton) {
            PanBy(global - panFrom_);
            panning_ = false;
        }
        return true;
    default:
        return false;
    }
}

bool TViewNavigation::Key(QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        spaceHeld_ = false;
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Space) {
        return false;
    }
    if (!key->isAutoRepeat()) {
        spaceHeld_ = event->type() == QEvent::KeyPress;
    }
    return true;
}

void TViewNavigation::ShowHand() {
    // The hand tells that a drag moves the picture, not a shape.
    if (panning_) {
        Canvas()->setCursor(Qt::ClosedHandCursor);
    } else if (spaceHeld_) {
        Canvas()->setCursor(Qt::OpenHandCursor);
    } else {
        Canvas()->unsetCursor();
    }
}

bool TViewNavigation::eventFilter(QObject* watched, QEvent* event) {
    const bool panning = panning_;
    const bool spaceHeld = spaceHeld_;
    bool used = false;
    (void)Guarded("view", [&] {
        if (!Active()) {
            panning_ = false;
            spaceHeld_ = false;
        } else {
            used = Dispatch(watched, event);
        }
        if (Canvas() != nullptr && (panning != panning_ || spaceHeld != spaceHeld_)) {
            ShowHand();
        }
    });
    return used;
}

bool TViewNavigation::Dispatch(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Wheel:
        return Wheel(watched, event);
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
        return Mouse(event);
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::FocusOut:
        return watched == canvas_ && Key(event);
    default:
        return false;
    }
}

} // namespace kelvo
