// Rectangle and ellipse regions: corner hot points, box hit tests, outlines and the label under the box.
#include "canvas/area_shapes.h"

#include "canvas/measurements.h"

#include <algorithm>

namespace kelvo {

void TMyRectangle::Figure(int32_t l, int32_t t, int32_t r, int32_t b) {
    if (Canvas != nullptr) {
        Canvas->Rectangle(l, t, r, b);
    }
}

void TMyEllipse::Figure(int32_t l, int32_t t, int32_t r, int32_t b) {
    if (Canvas != nullptr) {
        Canvas->Ellipse(l, t, r, b);
    }
}

namespace {

// The box spanned by the first two points (as many as there are).
imaging::TRegion Box(const std::vector<TPoint>& points, imaging::TRegionKind kind) {
    imaging::TRegion r;
    r.Kind = kind;
    const size_t n = std::min<size_t>(2, points.size());
    for (size_t i = 0; i < n; ++i) {
        r.Points.push_back(imaging::TRegionPoint{points[i].X, points[i].Y});
    }
    return r;
}

} // namespace

std::optional<imaging::TRegion> TMyRectangle::Outline() const { return Box(Points, imaging::TRegionKind::Rectangle); }

std::optional<imaging::TRegion> TMyEllipse::Outline() const { return Box(Points, imaging::TRegionKind::Ellipse); }

void TMyRectangle::MeasureInto(TMeasurement& m, int32_t, const TMeasureContext& c) const { MeasureRegion(*this, m, c); }

void TMyRectangle::DrawHotPoints() {
    const TPoint g0 = GetPoint(0);
    const TPoint g1 = GetPoint(1);
    PrepareHotPen();
    DrawHotPoint(g0);
    DrawHotPoint(g1);
    DrawHotPoint(TPoint{g1.X, g0.Y});
    DrawHotPoint(TPoint{g0.X, g1.Y});
}

int32_t TMyRectangle::HotPointAt(TPoint p) {
    const TPoint g0 = GetPoint(0);
    const TPoint g1 = GetPoint(1);
    const TPoint corners[4] = {g0, TPoint{g1.X, g0.Y}, g1, TPoint{g0.X, g1.Y}};
    HotPoint = -1;
    for (int32_t k = 0; k < 4; ++k) {
        if (PtInRect(GrowRect(RectOfPoints(corners[k], corners[k]), HotSize), p)) {
            HotPoint = k + 1;
        }
    }
    return HotPoint;
}

bool TMyRectangle::HitTest(TPoint p) {
    if (PtInRect(RectOfPoints(GetPoint(0), GetPoint(1)), p)) {
        Select();
        return true;
    }
    Deselect();
    return false;
}

void TMyRectangle::MoveHotPoint(int32_t dx, int32_t dy) {
    switch (HotPoint) {
    case 1:
        MovePoint(0, dx, dy);
        break;
    case 2:
        MovePointX(1, dx);
        MovePointY(0, dy);
        break;
    case 3:
        MovePoint(1, dx, dy);
        break;
    case 4:
        MovePointX(0, dx);
        MovePointY(1, dy);
        break;
    default:
        break;
    }
}

void TMyRectangle::DrawLabel(const QString& text, bool shadow) { DrawLabelUnderBox(text, shadow); }

void TMyRectangle::Draw() { DrawPasses(); }

void TMyRectangle::DrawOutline(int64_t dx, int64_t dy) {
    const TPoint g0 = Shifted(GetPoint(0), dx, dy);
    const TPoint g1 = Shifted(GetPoint(1), dx, dy);
    Figure(g0.X, g0.Y, g1.X, g1.Y);
}

void TMyRectangle::DrawRubberBand(TPoint p1, TPoint p2) {
    PrepareXorPen();
    Figure(p1.X, p1.Y, p2.X, p2.Y);
}

void TMyRectangle::DrawMoving(TPoint p1, TPoint p2) {
    PrepareXorPen();
    DrawOutline(int64_t(p2.X) - p1.X, int64_t(p2.Y) - p1.Y);
}

void TMyRectangle::DrawResizing(TPoint p1, TPoint p2) {
    const TPoint g0 = GetPoint(0);
    const TPoint g1 = GetPoint(1);
    // Both corners moved by the drag; each case takes the coordinates its corner moves.
    const TPoint m0 = Shifted(g0, int64_t(p2.X) - p1.X, int64_t(p2.Y) - p1.Y);
    const TPoint m1 = Shifted(g1, int64_t(p2.X) - p1.X, int64_t(p2.Y) - p1.Y);
    PrepareXorPen();
    switch (HotPoint) {
    case 1:
        Figure(m0.X, m0.Y, g1.X, g1.Y);
        break;
    case 2:
        Figure(g0.X, m0.Y, m1.X, g1.Y);
        break;
    case 3:
        Figure(g0.X, g0.Y, m1.X, m1.Y);
        break;
    case 4:
        Figure(m0.X, g0.Y, g1.X, m1.Y);
        break;
    default:
        break;
    }
}

} // namespace kelvo
