// The zoom readout: its text and its place under the scroll box.
#include "app/zoom_readout.h"

#include "canvas/my_cad.h"

#include <QEvent>
#include <QLocale>
#include <QScrollArea>

namespace kelvo {

namespace {
constexpr int kWidth = 110;
} // namespace

TZoomReadout::TZoomReadout(QScrollArea& below, QWidget* parent) : QLabel(parent), below_(&below) {
    setObjectName(QStringLiteral("ZoomLabel"));
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    below.installEventFilter(this);
    Place();
    hide();
}

QString TZoomReadout::Text(double zoom) {
    const double percent = zoom * 100.0;
    return QStringLiteral("Zoom %1 %").arg(QLocale().toString(percent, 'f', percent < 9.95 ? 1 : 0));
}

void TZoomReadout::Show(const TMyCAD& canvas) {
    const bool shown = canvas.Picture() != nullptr;
    if (shown) {
        setText(Text(canvas.Zoom()));
    }
    setVisible(shown);
}

void TZoomReadout::Place() {
    if (below_ == nullptr) {
        return;
    }
    const QRect box = below_->geometry();
    setGeometry(box.right() + 1 - kWidth, box.bottom() + 1, kWidth, fontMetrics().height());
}

void TZoomReadout::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    // Its height is the font's.
    if (event->type() == QEvent::FontChange) {
        Place();
    }
}

bool TZoomReadout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == below_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
        Place();
    }
    return QLabel::eventFilter(watched, event);
}

} // namespace kelvo
