// The statistics of a region being drawn, moved or resized, over the canvas and outside its pixels.
#include "app/live_label.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cstdint>

namespace kelvo {
namespace {

// Glyphs may reach a little beyond their advance and line height (italics, accents).
constexpr int kGlyphMargin = 2;

int ClampToInt(int64_t v) { return int(std::clamp<int64_t>(v, INT32_MIN / 2, INT32_MAX / 2)); }

} // namespace

TLiveLabel::TLiveLabel(QWidget* canvas) : QWidget(canvas) {
    setObjectName(QStringLiteral("LiveStatistics"));
    // The canvas keeps every press and move, and paints what lies under the text.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::NoFocus);
    hide();
}

void TLiveLabel::ShowLines(const QStringList& lines, TPoint topLeft, TPoint bottomRight, const TFont& font,
                           TColor color, bool shadow) {
    if (lines.isEmpty()) {
        Clear();
        return;
    }
    font_ = ToQFont(font);
    color_ = ColorToQColor(color);
    shadow_ = shadow;
    lines_ = lines;
    places_.clear();
    // Placed as the canvas places label lines: each centred on the box, the division
    // rounding towards zero, the first one a line below the box for the name.
    const QFontMetrics metrics(font_);
    const int64_t height = metrics.height();
    int64_t y = int64_t(bottomRight.Y) + height;
    QRect covered;
    for (const QString& line : lines_) {
        const int64_t w = metrics.horizontalAdvance(line);
        const int64_t x = int64_t(topLeft.X) + (int64_t(bottomRight.X) - topLeft.X - w) / 2;
        const QPoint place(ClampToInt(x), ClampToInt(y));
        places_.push_back(place);
        covered |= QRect(place, QSize(int(w) + 1, int(height) + 1))
                       .adjusted(-kGlyphMargin, -kGlyphMargin, kGlyphMargin, kGlyphMargin);
        y += height;
    }
    const QRect area = parentWidget() ? covered & parentWidget()->rect() : covered;
    if (area.isEmpty()) {
        hide();
        return;
    }
    if (geometry() != area) {
        setGeometry(area);
    }
    update();
    show();
    raise();
}

void TLiveLabel::Clear() {
    if (lines_.isEmpty() && isHidden()) {
        return;
    }
    lines_.clear();
    places_.clear();
    hide();
}

QPoint TLiveLabel::LinePlace(qsizetype i) const {
    return i >= 0 && size_t(i) < places_.size() ? places_[size_t(i)] : QPoint();
}

void TLiveLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing, false);
    p.setFont(font_);
    const int ascent = QFontMetrics(font_).ascent();
    const QPoint origin = pos();
    for (int pass = shadow_ ? 0 : 1; pass < 2; ++pass) {
        // The shadow copy first, black, one pixel right and down, as the canvas draws it.
        const int shift = pass == 0 ? 1 : 0;
        p.setPen(pass == 0 ? QColor(Qt::black) : color_);
        for (size_t i = 0; i < places_.size(); ++i) {
            const QPoint at = places_[i] - origin + QPoint(shift, shift + ascent);
            p.drawText(at, lines_[qsizetype(i)]);
        }
    }
}

} // namespace kelvo
