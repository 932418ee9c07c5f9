// What every shape shares: stored points and their zoom conversion, bounds, selection, hot points and pen presets.
#include "canvas/shape.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

namespace kelvo {

namespace {

// The zoom every conversion divides by; a value that is not a positive finite number
// (possible only if someone bypasses the canvas) is read as 1.
double CurrentZoom() {
    const double z = ShapeSettings.Zoom;
    return (std::isfinite(z) && z > 0.0) ? z : 1.0;
}

int32_t ClampToImage(int64_t v) { return int32_t(std::clamp<int64_t>(v, -kMaxImageCoordinate, kMaxImageCoordinate)); }

} // namespace

int32_t RoundToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double r = std::nearbyint(value);
    if (r <= double(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    if (r >= double(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(r);
}

QString CutCaption(const QString& text) {
    // Count code points, and cut only where a user-perceived character ends.
    if (text.size() <= kMaxCaption) {
        return text;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype cut = 0;
    int codePoints = 0;
    qsizetype last = 0;
    for (qsizetype pos = finder.toNextBoundary(); pos != -1; pos = finder.toNextBoundary()) {
        for (qsizetype k = last; k < pos; ++k) {
            if (!text.at(k).isLowSurrogate()) {
                ++codePoints;
            }
        }
        last = pos;
        if (codePoints > kMaxCaption) {
            break;
        }
        cut = pos;
    }
    return text.left(cut);
}

TMyShape::TMyShape() = default;

TMyShape::~TMyShape() = default;

TPoint TMyShape::ToImage(TPoint screen) {
    const double z = CurrentZoom();
    return TPoint{ClampToImage(RoundToInt32(screen.X / z)), ClampToImage(RoundToInt32(screen.Y / z))};
}

TPoint TMyShape::ToScreen(TPoint image) {
    const double z = CurrentZoom();
    return TPoint{RoundToInt32(image.X * z), RoundToInt32(image.Y * z)};
}

int32_t TMyShape::OffsetToImage(int32_t d) { return RoundToInt32(d / CurrentZoom()); }

TPoint TMyShape::GetPoint(int32_t index) const {
    if (index < 0 || index >= PointCount()) {
        return TPoint{0, 0};
    }
    return ToScreen(Points[size_t(index)]);
}

void TMyShape::AddPoint(TPoint p) { Points.push_back(ToImage(p)); }

void TMyShape::MovePoint(int32_t index, int32_t dx, int32_t dy) {
    MovePointX(index, dx);
    MovePointY(index, dy);
}

void TMyShape::MovePointX(int32_t index, int32_t dx) {
    if (index >= 0 && index < PointCount()) {
        Points[size_t(index)].X = ClampToImage(int64_t(Points[size_t(index)].X) + OffsetToImage(dx));
    }
}

void TMyShape::MovePointY(int32_t index, int32_t dy) {
    if (index >= 0 && index < PointCount()) {
        Points[size_t(index)].Y = ClampToImage(int64_t(Points[size_t(index)].Y) + OffsetToImage(dy));
    }
}

void TMyShape::MoveBy(int32_t dx, int32_t dy) {
    for (int32_t i = 0; i < PointCount(); ++i) {
        MovePoint(i, dx, dy);
    }
}

// Starts from (10000, 10000), not from the first point, as labels and sizes have always
// been placed: a coordinate above 10000 never raises TopLeft, and a shape without points
// is 10000 wide and high (BottomRight likewise starts from (0, 0)).
TPoint TMyShape::TopLeft() const {
    TPoint r{10000, 10000};
    for (const TPoint& p : Points) {
        r.X = std::min(r.X, p.X);
        r.Y = std::min(r.Y, p.Y);
    }
    return r;
}

TPoint TMyShape::BottomRight() const {
    TPoint r{0, 0};
    for (const TPoint& p : Points) {
        r.X = std::max(r.X, p.X);
        r.Y = std::max(r.Y, p.Y);
    }
    return r;
}

int32_t TMyShape::Width() const { return ClampToInt32(std::llabs(int64_t(BottomRight().X) - TopLeft().X)); }

int32_t TMyShape::Height() const { return ClampToInt32(std::llabs(int64_t(BottomRight().Y) - TopLeft().Y)); }

void TMyShape::Select() {
    if (!Selected) {
        Selected = true;
        DrawHotPoints();
    }
}

void TMyShape::Deselect() {
    if (Selected) {
        Selected = false;
        DrawHotPoints();
    }
}

TRect TMyShape::RectOfPoints(TPoint p1, TPoint p2) {
    return TRect{std::min(p1.X, p2.X), std::min(p1.Y, p2.Y), std::max(p1.X, p2.X), std::max(p1.Y, p2.Y)};
}

TRect TMyShape::GrowRect(TRect r, int32_t margin) {
    return TRect{SaturatingAdd(r.Left, -margin), SaturatingAdd(r.Top, -margin), SaturatingAdd(r.Right, margin),
                 SaturatingAdd(r.Bottom, margin)};
}

void TMyShape::DrawPasses() {
    if (Canvas == nullptr) {
        return;
    }
    if (ShapeSettings.Shadow) {
        PrepareShadowPen();
        DrawOutline(1, 1);
        if (ShapeSettings.DICOMStyle) {
            DrawLabel(Caption(), true);
        }
    }
    PrepareNormalPen();
    DrawOutline(0, 0);
    DrawOutlineExtras();
    if (ShapeSettings.DICOMStyle) {
        DrawLabel(Caption(), false);
    }
    if (Selected) {
        DrawHotPoints();
    }
}

void TMyShape::DrawHotPoint(TPoint p) {
    if (Canvas == nullptr) {
        return;
    }
    Canvas->Rectangle(SaturatingAdd(p.X, -HotSize), SaturatingAdd(p.Y, -HotSize), SaturatingAdd(p.X, HotSize),
                      SaturatingAdd(p.Y, HotSize));
}

void TMyShape::PreparePen(const TPenPreset& preset) {
    if (Canvas == nullptr) {
        return;
    }
    if (preset.CopiesFont) {
        Canvas->Font = Font;
    }
    Canvas->Pen.Color = preset.Color;
    Canvas->Pen.Style = preset.Style;
    Canvas->Pen.Width = Pen.Width;
    Canvas->Pen.Mode = preset.Mode;
    if (preset.SolidBrush) {
        // A solid brush always takes the pen's colour: hot squares and arrowheads are
        // filled in the colour they are outlined in.
        Canvas->Brush.Style = TBrushStyle::bsSolid;
        Canvas->Brush.Color = preset.Color;
    } else {
        Canvas->Brush.Style = TBrushStyle::bsClear;
    }
}

void TMyShape::PrepareNormalPen() { PreparePen({Pen.Color, Pen.Style, TPenMode::pmCopy, false, true}); }

void TMyShape::PrepareShadowPen() {
    PreparePen({ShapeSettings.ColorOfShadow, Pen.Style, TPenMode::pmCopy, false, true});
}

void TMyShape::PrepareShadowText() {
    PrepareNormalPen();
    if (Canvas != nullptr) {
        Canvas->Font.Color = clBlack;
    }
}

void TMyShape::PrepareXorPen() { PreparePen({clRed, TPenStyle::psSolid, TPenMode::pmXor, false, false}); }

void TMyShape::PrepareHotPen() {
    PreparePen({ShapeSettings.ColorOfHot, TPenStyle::psSolid, TPenMode::pmNotXor, true, false});
}

void SetShapePoint(TMyShape* shape, int32_t index, TPoint p) {
    if (shape == nullptr || index < 1) {
        return;
    }
    if (shape->PointCount() < index) {
        shape->Points.resize(size_t(index), TPoint{0, 0});
    }
    shape->Points[size_t(index - 1)] = TMyShape::ToImage(p);
}

} // namespace kelvo

namespace kelvo {

TPoint TMyShape::StoredPoint(int32_t index) const {
    if (index < 0 || index >= PointCount()) {
        return TPoint{0, 0};
    }
    return Points[size_t(index)];
}

void TMyShape::PrepareLabel(bool shadow) {
    if (shadow) {
        PrepareShadowText();
    } else {
        PrepareNormalPen();
    }
}

std::optional<QRect> TMyShape::NaturalLabelBox() {
    std::optional<QRect> box;
    if (Canvas == nullptr || !ShapeSettings.DICOMStyle) return box;
    const std::optional<TLabelPlace> placed = std::exchange(LabelPlace, std::nullopt);
    labelProbe_ = &box;
    DrawLabel(Caption(), false);
    labelProbe_ = nullptr;
    LabelPlace = placed;
    return box;
}

bool TMyShape::Probe(QRect box) {
    if (labelProbe_ == nullptr) return false;
    if (!box.isEmpty()) *labelProbe_ = box;
    return true;
}

void TMyShape::DrawPlacedLabel(const QStringList& lines, bool shadow) {
    // The halo stands for the shadow: one pass draws it all.
    if (shadow) return;
    const QRect& box = LabelPlace->Box;
    const QPoint anchor = LabelPlace->Anchor;
    PrepareNormalPen();
    Canvas->Pen.Style = TPenStyle::psSolid;
    Canvas->Pen.Width = 1;
    if (!box.adjusted(-2, -2, 2, 2).contains(anchor)) {
        const QPoint near(std::clamp(anchor.x(), box.left(), box.right()),
                          std::clamp(anchor.y(), box.top(), box.bottom()));
        Canvas->MoveTo(anchor.x(), anchor.y());
        Canvas->LineTo(near.x(), near.y());
    }
    const TColor text = Canvas->Font.Color;
    int32_t y = box.top();
    for (const QString& line : lines) {
        const int32_t x = box.left() + (box.width() - Canvas->TextWidth(line)) / 2;
        // Dark on every side, so that the text reads on bright and dark parts alike.
        Canvas->Font.Color = clBlack;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                if (dx != 0 || dy != 0) Canvas->TextOut(x + dx, y + dy, line);
            }
        }
        Canvas->Font.Color = text;
        Canvas->TextOut(x, y, line);
        y += Canvas->TextHeight(line);
    }
}

void TMyShape::DrawLabelAt(TPoint place, const QString& text, bool shadow) {
    if (Canvas == nullptr) {
        return;
    }
    if (labelProbe_ != nullptr) {
        PrepareNormalPen();
        (void)Probe(QRect(place.X, place.Y, Canvas->TextWidth(text), Canvas->TextHeight(text)));
        return;
    }
    if (LabelPlace) {
        DrawPlacedLabel({text}, shadow);
        return;
    }
    PrepareLabel(shadow);
    const TPoint at = shadow ? Shifted(place, 1, 1) : place;
    Canvas->TextOut(at.X, at.Y, text);
}

void TMyShape::DrawLabelUnderBox(const QString& text, bool shadow) {
    if (Canvas == nullptr) {
        return;
    }
    const TPoint tl = ToScreen(TopLeft());
    const TPoint br = ToScreen(BottomRight());
    if (labelProbe_ != nullptr || LabelPlace) {
        const QStringList lines = QStringList{text} + LabelLines;
        int32_t w = 0;
        int32_t h = 0;
        PrepareNormalPen();
        for (const QString& line : lines) {
            w = std::max(w, Canvas->TextWidth(line));
            h += Canvas->TextHeight(line);
        }
        const int32_t left = ClampToInt32(int64_t(tl.X) + (int64_t(br.X) - tl.X - w) / 2);
        if (Probe(QRect(left, br.Y, w, h))) return;
        DrawPlacedLabel(lines, shadow);
        return;
    }
    PrepareLabel(shadow);
    const int32_t shift = shadow ? 1 : 0;
    int64_t y = br.Y;
    for (qsizetype i = -1; i < LabelLines.size(); ++i) {
        const QString& line = i < 0 ? text : LabelLines[i];
        const int64_t w = Canvas->TextWidth(line);
        const int64_t x = int64_t(tl.X) + (int64_t(br.X) - tl.X - w) / 2;
        Canvas->TextOut(ClampToInt32(x + shift), ClampToInt32(y + shift), line);
        y += Canvas->TextHeight(line);
    }
}

} // namespace kelvo
