// The open polyline shapes: annotation arrow, ruler, region outline and angle gauge.
#pragma once

#include "canvas/shape.h"

#include <QString>

#include <memory>
#include <utility>

namespace kelvo {

// An annotation arrow: two points, arrowhead at point 1, label = Caption at point 1.
// Subclasses inherit its hot points (one per vertex), its hit test along the segments
// and its segment feedback; they replace Draw (no arrowhead) and DrawLabel.
class TMyLine : public TMyShape {
public:
    TShapeKind Kind() const override { return TShapeKind::Arrow; }
    std::unique_ptr<TMyShape> Clone() const override { return std::make_unique<TMyLine>(*this); }
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

    // Length of A-B in inches at the screen's resolution.
    float Distance(TPoint a, TPoint b) const;
    // The ruler's label: millimetres when the picture has a physical spacing (each
    // axis with its own, "mm at detector" where it holds there), else inches at the
    // screen's resolution.
    QString LengthText(TPoint a, TPoint b) const;
    // " @ " and the angle at V in degrees for shapes of three points or more; empty when
    // fewer points or when an arm has length zero (the angle is undefined).
    QString AngleText(TPoint a, TPoint v, TPoint b) const;
    static std::pair<TPoint, TPoint> ArrowWings(TPoint tip, TPoint shaft);
    void DrawArrow();
    void PrepareArrowBrush();

protected:
    // The segments through the screen points, each shifted by (dx, dy).
    void DrawOutline(int64_t dx, int64_t dy) override;
    void DrawOutlineExtras() override;
    virtual bool IsRuleLine() const { return false; }
    // LengthText and AngleText of the stored points, formatted again only when the
    // points or the screen's resolution changed: labels are drawn twice per shape on
    // every paint, and formatting dominated drawing them.
    const QString& MeasuredLength();
    const QString& MeasuredAngle();

private:
    struct TextMemo {
        bool Valid = false;
        int32_t Count = 0;
        int32_t Dpi = 0;
        QString Point; // the decimal separator the text was made with
        TPixelSpacing Spacing;
        TPoint P[3];
        QString Text;
    };
    TextMemo lengthMemo_;
    TextMemo angleMemo_;
};

// A ruler: its label is its length in inches, recomputed at every drawing.
class TMyRuleLine : public TMyLine {
public:
    TShapeKind Kind() const override { return TShapeKind::Ruler; }
    std::unique_ptr<TMyShape> Clone() const override { return std::make_unique<TMyRuleLine>(*this); }
    void MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext& context) const override;

protected:
    // No arrowhead.
    void DrawOutlineExtras() override {}
    bool IsRuleLine() const override { return true; }
};

// A region outline of any number of vertices, named "Roi-" and a number, label
// centred under its box.
class TMyPolyLine : public TMyRuleLine {
public:
    TShapeKind Kind() const override { return TShapeKind::Polyline; }
    std::unique_ptr<TMyShape> Clone() const override { return std::make_unique<TMyPolyLine>(*this); }
    void MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext& context) const override;
    std::optional<imaging::TRegion> Outline() const override;
    void DrawLabel(const QString& text, bool shadow) override;
};

// An angle gauge: points are first arm end, vertex, second arm end; the label is the
// angle at the vertex.
class TMySector : public TMyRuleLine {
public:
    TShapeKind Kind() const override { return TShapeKind::Angle; }
    std::unique_ptr<TMyShape> Clone() const override { return std::make_unique<TMySector>(*this); }
    void MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext& context) const override;
    void DrawLabel(const QString& text, bool shadow) override;
};

// Formats like "%<width>.2f", with the decimal separator of the user's number format
// ("." when it has none).
QString FormatFixed2(double value, int width);

// The figures the labels show, held as 32-bit floats as the labels hold them; the
// measurement list uses them too, so that one measurement shows one number.
// Length of A-B in inches at dpi pixels per inch.
float InchDistance(TPoint a, TPoint b, int32_t dpi);
// A ruler's length: millimetres when both spacings are above zero (each axis with its
// own), otherwise inches at dpi.
float RulerLength(TPoint a, TPoint b, double mmPerPixelX, double mmPerPixelY, int32_t dpi);
// Follows a unit of length or area whose spacing holds at the detector (Imager Pixel
// Spacing without a magnification factor): the patient's anatomy there is magnified.
inline const QString kAtDetector = QStringLiteral(" at detector");
// Follows a unit whose spacing the user set from a length they knew.
inline const QString kCalibrated = QStringLiteral(" calibrated");
// What follows "mm" or "mm²" measured with the spacing: kCalibrated, kAtDetector or nothing.
QString SpacingQualifier(const TPixelSpacing& spacing);
// RulerLength's unit: "mm" (kAtDetector added when atDetector), or "in".
QString LengthUnit(double mmPerPixelX, double mmPerPixelY, bool atDetector);
// The same with the qualifier of the spacing.
QString LengthUnit(const TPixelSpacing& spacing);
// The angle at V in degrees, by the law of cosines over the sides' InchDistance; NaN
// when an arm has length zero.
float GaugeAngle(TPoint a, TPoint v, TPoint b, int32_t dpi);

} // namespace kelvo
