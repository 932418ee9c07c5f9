// Arrow, ruler, region outline and angle gauge: segment hit tests, arrowheads, lengths and angles as labels.
#include "canvas/line_shapes.h"

#include "canvas/measurements.h"
#include "platform/screen.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvo {

namespace {

// Tolerance of the segment hit test in screen pixels (not the hot-point size).
constexpr int32_t kHitTolerance = 4;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The exact angle at V in degrees, for the export; NaN when an arm has length zero.
double AngleAt(TPoint a, TPoint v, TPoint b) {
    const double ax = double(a.X) - v.X, ay = double(a.Y) - v.Y;
    const double bx = double(b.X) - v.X, by = double(b.Y) - v.Y;
    if ((ax == 0 && ay == 0) || (bx == 0 && by == 0)) {
        return kNaN;
    }
    return std::abs(std::atan2(ax * by - ay * bx, ax * bx + ay * by)) * 57.29577951308232;
}

} // namespace

QString FormatFixed2(double value, int width) {
    // printf's layout (ASCII digits, no grouping, the field width) with the decimal
    // separator of the user's number format; what rounds to zero shows no sign.
    if (value > -0.005 && value <= 0.0) {
        value = 0.0;
    }
    QString text = QString::asprintf("%*.2f", width, value);
    const QString point = QLocale().decimalPoint();
    if (!point.isEmpty() && point != QStringLiteral(".")) {
        const qsizetype at = text.lastIndexOf(QLatin1Char('.'));
        if (at >= 0) {
            text.replace(at, 1, point);
        }
    }
    return text;
}

void TMyLine::DrawHotPoints() {
    PrepareHotPen();
    for (int32_t i = 0; i < PointCount(); ++i) {
        DrawHotPoint(GetPoint(i));
    }
}

int32_t TMyLine::HotPointAt(TPoint p) {
    HotPoint = -1;
    for (int32_t i = 0; i < PointCount(); ++i) {
        const TPoint g = GetPoint(i);
        if (PtInRect(GrowRect(RectOfPoints(g, g), HotSize), p)) {
            HotPoint = i;
        }
    }
    return HotPoint;
}

// Kept as users and stored drawings know it: a vertical segment is hit within a box
// (right edge excluded, so 4 pixels left is a hit and 4 right is not) and selects or
// deselects the line as it is tested; a slanted segment measures the tolerance
// vertically, so a steep one has a narrow band, and leaves the selection alone.
bool TMyLine::HitTest(TPoint p) {
    for (int32_t i = 0; i + 1 < PointCount(); ++i) {
        const TPoint a = GetPoint(i);
        const TPoint b = GetPoint(i + 1);
        if (a.X == b.X) {
            const TRect box{SaturatingAdd(a.X, -kHitTolerance), std::min(a.Y, b.Y), SaturatingAdd(a.X, kHitTolerance),
                            std::max(a.Y, b.Y)};
            if (PtInRect(box, p)) {
                Select();
                return true;
            }
            Deselect();
            continue;
        }
        const double y = a.Y + (double(b.Y) - a.Y) / (double(b.X) - a.X) * (double(p.X) - a.X);
        if (y - kHitTolerance <= p.Y && p.Y <= y + kHitTolerance &&
            PtInRect(GrowRect(RectOfPoints(a, b), kHitTolerance), p)) {
            return true;
        }
    }
    return false;
}

void TMyLine::MoveHotPoint(int32_t dx, int32_t dy) { MovePoint(HotPoint, dx, dy); }

void TMyLine::DrawOutline(int64_t dx, int64_t dy) {
    if (Canvas == nullptr) {
        return;
    }
    for (int32_t i = 0; i + 1 < PointCount(); ++i) {
        const TPoint a = Shifted(GetPoint(i), dx, dy);
        const TPoint b = Shifted(GetPoint(i + 1), dx, dy);
        Canvas->MoveTo(a.X, a.Y);
        Canvas->LineTo(b.X, b.Y);
    }
}

void TMyLine::DrawLabel(const QString& text, bool shadow) {
    if (Canvas == nullptr) {
        return;
    }
    QString shown = text;
    // A ruler's label is its length, whatever text it is given: drawing it also stores
    // the length as the caption, so the caption follows every move and zoom.
    if (IsRuleLine()) {
        const QString& length = MeasuredLength();
        if (Caption() != length) {
            SetCaption(length);
        }
        shown = Caption();
    }
    DrawLabelAt(GetPoint(1), shown, shadow);
}

void TMyLine::Draw() { DrawPasses(); }

void TMyLine::DrawOutlineExtras() { DrawArrow(); }

void TMyLine::DrawRubberBand(TPoint p1, TPoint p2) {
    if (Canvas == nullptr) {
        return;
    }
    PrepareXorPen();
    Canvas->MoveTo(p1.X, p1.Y);
    Canvas->LineTo(p2.X, p2.Y);
}

void TMyLine::DrawMoving(TPoint p1, TPoint p2) {
    if (Canvas == nullptr) {
        return;
    }
    PrepareXorPen();
    DrawOutline(int64_t(p2.X) - p1.X, int64_t(p2.Y) - p1.Y);
}

void TMyLine::DrawResizing(TPoint p1, TPoint p2) {
    const int32_t h = HotPoint;
    if (Canvas == nullptr || h < 0 || h >= PointCount()) {
        return;
    }
    PrepareXorPen();
    const TPoint moved = Shifted(GetPoint(h), int64_t(p2.X) - p1.X, int64_t(p2.Y) - p1.Y);
    if (h >= 1) {
        const TPoint other = GetPoint(h - 1);
        Canvas->MoveTo(moved.X, moved.Y);
        Canvas->LineTo(other.X, other.Y);
    }
    if (h + 1 < PointCount()) {
        const TPoint other = GetPoint(h + 1);
        Canvas->MoveTo(moved.X, moved.Y);
        Canvas->LineTo(other.X, other.Y);
    }
}

float InchDistance(TPoint a, TPoint b, int32_t dpi) {
    const double dx = double(a.X) - double(b.X);
    const double dy = double(a.Y) - double(b.Y);
    return static_cast<float>(std::sqrt(dx * dx + dy * dy) / std::max(1, dpi));
}

float RulerLength(TPoint a, TPoint b, double mmPerPixelX, double mmPerPixelY, int32_t dpi) {
    if (mmPerPixelX > 0.0 && mmPerPixelY > 0.0) {
        const double dx = (double(a.X) - double(b.X)) * mmPerPixelX;
        const double dy = (double(a.Y) - double(b.Y)) * mmPerPixelY;
        return static_cast<float>(std::sqrt(dx * dx + dy * dy));
    }
    return InchDistance(a, b, dpi);
}

float GaugeAngle(TPoint a, TPoint v, TPoint b, int32_t dpi) {
    const double sa = InchDistance(a, b, dpi);
    const double sb = InchDistance(v, b, dpi);
    const double sc = InchDistance(a, v, dpi);
    if (!(sb > 0.0) || !(sc > 0.0)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    double cosine = (sb * sb + sc * sc - sa * sa) / (2.0 * sb * sc);
    if (!std::isfinite(cosine)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    // Rounding can push three nearly collinear points just outside [-1, 1].
    cosine = std::clamp(cosine, -1.0, 1.0);
    return static_cast<float>(std::acos(cosine) * 57.29577951308232);
}

float TMyLine::Distance(TPoint a, TPoint b) const { return InchDistance(a, b, ScreenPixelsPerInch()); }

QString SpacingQualifier(const TPixelSpacing& spacing) {
    // A calibration replaces the file's spacing, so the detector no longer matters.
    if (spacing.Calibrated) return kCalibrated;
    return spacing.AtDetector ? kAtDetector : QString();
}

QString LengthUnit(double mmPerPixelX, double mmPerPixelY, bool atDetector) {
    return LengthUnit(TPixelSpacing{mmPerPixelX, mmPerPixelY, atDetector, false});
}

QString LengthUnit(const TPixelSpacing& spacing) {
    return spacing.InMm() ? QStringLiteral("mm") + SpacingQualifier(spacing) : QStringLiteral("in");
}

QString TMyLine::LengthText(TPoint a, TPoint b) const {
    const TPixelSpacing& s = LabelSpacing;
    return QStringLiteral("l = ") + FormatFixed2(RulerLength(a, b, s.X, s.Y, ScreenPixelsPerInch()), 9) +
           QLatin1Char(' ') + LengthUnit(s);
}

const QString& TMyLine::MeasuredLength() {
    const TPoint a = StoredPoint(0);
    const TPoint b = StoredPoint(1);
    const int32_t dpi = ScreenPixelsPerInch();
    const QString point = QLocale().decimalPoint();
    TextMemo& m = lengthMemo_;
    if (!m.Valid || m.Dpi != dpi || m.Point != point || m.P[0] != a || m.P[1] != b || m.Spacing != LabelSpacing) {
        m.Text = LengthText(a, b);
        m.P[0] = a;
        m.P[1] = b;
        m.Dpi = dpi;
        m.Point = point;
        m.Spacing = LabelSpacing;
        m.Valid = true;
    }
    return m.Text;
}

const QString& TMyLine::MeasuredAngle() {
    const TPoint a = StoredPoint(0);
    const TPoint v = StoredPoint(1);
    const TPoint b = StoredPoint(2);
    const int32_t dpi = ScreenPixelsPerInch();
    const QString point = QLocale().decimalPoint();
    TextMemo& m = angleMemo_;
    if (!m.Valid || m.Dpi != dpi || m.Point != point || m.Count != PointCount() || m.P[0] != a || m.P[1] != v ||
        m.P[2] != b) {
        m.Text = AngleText(a, v, b);
        m.P[0] = a;
        m.P[1] = v;
        m.P[2] = b;
        m.Count = PointCount();
        m.Dpi = dpi;
        m.Point = point;
        m.Valid = true;
    }
    return m.Text;
}

QString TMyLine::AngleText(TPoint a, TPoint v, TPoint b) const {
    if (PointCount() <= 2) {
        return QString();
    }
    // An arm of length zero leaves the angle undefined: show none rather than "nan".
    const float angle = GaugeAngle(a, v, b, ScreenPixelsPerInch());
    if (!std::isfinite(angle)) {
        return QString();
    }
    return QStringLiteral(" @ ") + FormatFixed2(angle, 6);
}

std::pair<TPoint, TPoint> TMyLine::ArrowWings(TPoint tip, TPoint shaft) {
    constexpr float kFlat = 1.3089969f; // 75 degrees
    float theta = kFlat;
    if (tip.Y != shaft.Y) {
        theta = static_cast<float>(std::fabs(std::atan((double(tip.X) - shaft.X) / (double(tip.Y) - shaft.Y))) -
                                   0.2617993877991494);
        if (!std::isfinite(theta)) {
            theta = kFlat;
        }
    }
    const double phi = double(theta) + 0.5235987755982989;
    constexpr double kWing = 12.0;
    TPoint w1;
    TPoint w2;
    if (tip.X > shaft.X) {
        w1.X = RoundToInt32(std::trunc(tip.X - kWing * std::sin(double(theta))));
        w2.X = RoundToInt32(std::trunc(tip.X - kWing * std::sin(phi)));
    } else {
        w1.X = RoundToInt32(std::trunc(tip.X + kWing * std::sin(double(theta))));
        w2.X = RoundToInt32(std::trunc(tip.X + kWing * std::sin(phi)));
    }
    if (tip.Y > shaft.Y) {
        w1.Y = RoundToInt32(std::trunc(tip.Y - kWing * std::cos(double(theta))));
        w2.Y = RoundToInt32(std::trunc(tip.Y - kWing * std::cos(phi)));
    } else {
        w1.Y = RoundToInt32(std::trunc(tip.Y + kWing * std::cos(double(theta))));
        w2.Y = RoundToInt32(std::trunc(tip.Y + kWing * std::cos(phi)));
    }
    return {w1, w2};
}

void TMyLine::PrepareArrowBrush() { PreparePen({Pen.Color, Pen.Style, TPenMode::pmCopy, true, true}); }

void TMyLine::DrawArrow() {
    if (Canvas == nullptr || PointCount() < 2) {
        return;
    }
    const TPoint tip = GetPoint(1);
    const TPoint shaft = GetPoint(0);
    const auto [w1, w2] = ArrowWings(tip, shaft);
    PrepareArrowBrush();
    Canvas->Polygon({tip, w1, w2});
}

void TMyPolyLine::DrawLabel(const QString& text, bool shadow) { DrawLabelUnderBox(text, shadow); }

void TMySector::DrawLabel(const QString& text, bool shadow) {
    (void)text;
    if (Canvas == nullptr) {
        return;
    }
    const QString& shown = MeasuredAngle();
    DrawLabelAt(GetPoint(1), shown, shadow);
}

void TMyLine::MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext&) const {
    m.Name = Caption().isEmpty() ? QStringLiteral("Arrow %1").arg(number) : Caption();
}

void TMyRuleLine::MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext& c) const {
    m.Name = QStringLiteral("Ruler %1").arg(number);
    const bool mm = c.MmPerPixelX > 0.0 && c.MmPerPixelY > 0.0;
    const TPoint a = StoredPoint(0);
    const TPoint b = StoredPoint(1);
    const double dx = double(a.X) - b.X;
    const double dy = double(a.Y) - b.Y;
    m.Length = mm ? std::hypot(dx * c.MmPerPixelX, dy * c.MmPerPixelY)
                  : std::hypot(dx, dy) / double(std::max(1, c.DotsPerInch));
    m.LengthUnit = LengthUnit(TPixelSpacing{c.MmPerPixelX, c.MmPerPixelY,
                                            m.Spacing == imaging::TSpacingSource::ImagerPixelSpacing, c.Calibrated});
    m.LabelFigure = RulerLength(a, b, c.MmPerPixelX, c.MmPerPixelY, c.DotsPerInch);
}

void TMySector::MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext& c) const {
    m.Name = QStringLiteral("Angle %1").arg(number);
    if (Points.size() >= 3) {
        m.Angle = AngleAt(Points[0], Points[1], Points[2]);
        m.LabelFigure = GaugeAngle(Points[0], Points[1], Points[2], c.DotsPerInch);
    }
}

std::optional<imaging::TRegion> TMyPolyLine::Outline() const {
    imaging::TRegion r;
    r.Kind = imaging::TRegionKind::Polygon;
    r.Points.reserve(Points.size());
    for (const TPoint& p : Points) {
        r.Points.push_back(imaging::TRegionPoint{p.X, p.Y});
    }
    return r;
}

void TMyPolyLine::MeasureInto(TMeasurement& m, int32_t, const TMeasureContext& c) const { MeasureRegion(*this, m, c); }

} // namespace kelvo
