// The region shapes spanned by two opposite corners: rectangle and inscribed ellipse.
#pragma once

#include "canvas/shape.h"

#include <QString>

#include <memory>

namespace kelvo {

// A rectangle region. Hot points are the four corners numbered 1 to 4 (point 0's
// corner, then clockwise from it in the order (G1.X, G0.Y), G1, (G0.X, G1.Y)); the whole
// box is its body for hit tests; the label is centred under the box. Subclasses change
// only the figure through Figure.
class TMyRectangle : public TMyShape {
public:
    TShapeKind Kind() const override { return TShapeKind::Rectangle; }
    std::unique_ptr<TMyShape> Clone() const override { return std::make_unique<TMyRectangle>(*this); }
    std::optional<imaging::TRegion> Outline() const override;
    void MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext& context) const override;
    void DrawHotPoints() override;
    int32_t HotPointAt(TPoint p) override;
    bool HitTest(TPoint p) override;
    void MoveHotPoint(int32_t dx, int32_t dy) override;
    void DrawLabel(const QString& text, bool shadow) override;
    void Draw() override;
    void DrawRubberBand(TPoint p1, TPoint p2) override;
    void DrawMoving(TPoint p1, TPoint p2) override;
    void DrawResizing(TPoint p1, TPoint p2) override;

protected:
    void DrawOutline(int64_t dx, int64_t dy) override;
    virtual void Figure(int32_t l, int32_t t, int32_t r, int32_t b);
};

class TMyEllipse : public TMyRectangle {
public:
    TShapeKind Kind() const override { return TShapeKind::Ellipse; }
    std::unique_ptr<TMyShape> Clone() const override { return std::make_unique<TMyEllipse>(*this); }
    std::optional<imaging::TRegion> Outline() const override;

protected:
    void Figure(int32_t l, int32_t t, int32_t r, int32_t b) override;
};

} // namespace kelvo
