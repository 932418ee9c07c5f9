// The base of all measurement shapes: points in picture pixels, zoom conversion, selection and hot points.
#pragma once

#include "canvas/shape_kinds.h"
#include "imaging/region_stats.h"
#include "platform/surface.h"
#include "platform/types.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace kelvo {

// Drawing settings shared by every canvas and every shape of the process. Canvas
// setters write them; shapes read them at the moment they draw or convert.
struct TShapeSettings {
    TColor ColorOfHot = clBlack;
    TColor ColorOfShadow = clBlack;
    double Zoom = 1.0; // always finite and above zero: the canvas refuses other values
    bool Shadow = true;
    bool DICOMStyle = true;
};

inline TShapeSettings ShapeSettings;

// The spacing lengths and areas are measured with: the picture's own, one the user set
// by calibrating a ruler, or none (lengths in inches, areas in pixels). Each canvas
// takes it from the picture it shows, so two canvases never share it.
struct TPixelSpacing {
    // Millimetres per picture pixel along x (column spacing) and y (row spacing).
    double X = 0.0;
    double Y = 0.0;
    // The file's spacing holds at the detector, not at the patient: units say so.
    bool AtDetector = false;
    // Set by the user from a length they know: units say so, whatever the file holds.
    bool Calibrated = false;
    bool InMm() const { return X > 0.0 && Y > 0.0; }
    bool operator==(const TPixelSpacing&) const = default;
};

// Rounds halves to even and saturates at the 32-bit limits, so no conversion of a
// huge or non-finite value is undefined.
int32_t RoundToInt32(double value);

// Screen arithmetic near the 32-bit limits: sums and differences are taken in 64 bits
// and held at the limits (ClampToInt32), so far-off points stay far off instead of
// wrapping round.
inline int32_t SaturatingAdd(int64_t a, int64_t b) { return ClampToInt32(a + b); }
inline TPoint Shifted(TPoint p, int64_t dx, int64_t dy) {
    return TPoint{SaturatingAdd(p.X, dx), SaturatingAdd(p.Y, dy)};
}

// Stored picture coordinates stay within +-kMaxImageCoordinate: far beyond any picture,
// and far enough from the 32-bit limits that shapes can be converted, drawn and hit at
// every zoom a picture can take.
constexpr int32_t kMaxImageCoordinate = (1 << 28) - 1;

// The longest caption a shape keeps, in characters.
constexpr int kMaxCaption = 50;
// Keeps at most the first kMaxCaption characters, never cutting a character
// (surrogate pair or combining sequence) in two.
QString CutCaption(const QString& text);

struct TMeasurement;
struct TMeasureContext;

// Contract for subclasses: a kind names itself in Kind (its row in the kind table),
// copies itself in Clone and measures itself in MeasureInto (regions give their Outline
// and call MeasureRegion); it supplies HotPointAt and HitTest and overrides Draw,
// DrawLabel, DrawHotPoints, MoveHotPoint and the three feedback operations as it needs.
// Draw follows the drawing passes: shadow pass (PrepareShadowPen, outline shifted by
// (+1, +1), DrawLabel(Caption, true) when DICOMStyle), normal pass (PrepareNormalPen,
// outline, DrawLabel(Caption, false) when DICOMStyle), then DrawHotPoints when Selected.
// DrawPasses runs them; a kind's Draw calls it after supplying DrawOutline (and
// DrawOutlineExtras for what only the normal pass adds, such as an arrowhead).
// Feedback operations begin with PrepareXorPen so that a second identical call erases
// the first; they never change Points. All operations take and give screen coordinates;
// Points holds picture (image) coordinates.
class TMyShape {
public:
    TMyShape();
    virtual ~TMyShape();
    TMyShape& operator=(const TMyShape&) = delete;

    virtual TShapeKind Kind() const = 0;
    // A copy holding everything the shape holds, drawing on the same surface.
    virtual std::unique_ptr<TMyShape> Clone() const = 0;
    // The region the shape outlines in picture coordinates; nothing for shapes that are
    // not regions.
    virtual std::optional<imaging::TRegion> Outline() const { return std::nullopt; }
    // Gives the record its name and figures; the common fields (kind, points, spacing,
    // file, frame) are already set. number counts the shapes of this kind measured so
    // far, this one included.
    virtual void MeasureInto(TMeasurement& m, int32_t number, const TMeasureContext& context) const = 0;

    TSurface* Canvas = nullptr; // borrowed from the canvas
    bool Selected = false;
    int32_t HotPoint = 0;
    uint8_t HotSize = 4;
    TPen Pen;
    TFont Font;
    std::vector<TPoint> Points; // image coordinates
    // Further lines under a region's name, centred like it, one text height apart (the
    // region's statistics); empty for the name alone.
    QStringList LabelLines;
    // The image of a series the shape was drawn on (SOP Instance UID, frame); an empty
    // UID is the single picture shown, on which every shape stands.
    QString ImageUid;
    int32_t ImageFrame = 0;
    // The spacing of the picture the shape was last labelled on (its measuring sets it
    // before each paint); a ruler's label is measured with it.
    TPixelSpacing LabelSpacing;
    // Where the label stands when labels are laid out apart to stay legible (its
    // measuring sets it before each paint, and clears it otherwise): its box in screen
    // coordinates and the point of the shape it belongs to. It is drawn over a dark
    // halo, with a leader line to the anchor once it is away from it.
    struct TLabelPlace {
        QRect Box;
        QPoint Anchor;
    };
    std::optional<TLabelPlace> LabelPlace;
    // How far the user dragged the label from where its kind puts it, in screen pixels.
    QPoint LabelShift{0, 0};
    // The label's box where its kind puts it, in screen coordinates; nothing without a
    // surface or with nothing to show.
    std::optional<QRect> NaturalLabelBox();

    const QString& Caption() const { return caption_; }
    void SetCaption(const QString& text) { caption_ = CutCaption(text); }

    virtual void DrawHotPoints() {}
    virtual int32_t HotPointAt(TPoint p) = 0;
    virtual bool HitTest(TPoint p) = 0;
    virtual void MoveHotPoint(int32_t dx, int32_t dy) {
        (void)dx;
        (void)dy;
    }
    virtual void MoveBy(int32_t dx, int32_t dy);
    virtual void DrawLabel(const QString& text, bool shadow) {
        (void)text;
        (void)shadow;
    }
    virtual void Draw() {}
    virtual void DrawRubberBand(TPoint p1, TPoint p2) {
        (void)p1;
        (void)p2;
    }
    virtual void DrawMoving(TPoint p1, TPoint p2) {
        (void)p1;
        (void)p2;
    }
    virtual void DrawResizing(TPoint p1, TPoint p2) {
        (void)p1;
        (void)p2;
    }

    int32_t PointCount() const { return static_cast<int32_t>(Points.size()); }
    TPoint GetPoint(int32_t index) const;
    void AddPoint(TPoint p);
    void MovePoint(int32_t index, int32_t dx, int32_t dy);
    void MovePointX(int32_t index, int32_t dx);
    void MovePointY(int32_t index, int32_t dy);
    TPoint TopLeft() const;
    TPoint BottomRight() const;
    int32_t Width() const;
    int32_t Height() const;
    void Select();
    void Deselect();
    static TRect RectOfPoints(TPoint p1, TPoint p2);
    static TRect GrowRect(TRect r, int32_t margin);
    void DrawHotPoint(TPoint p);

    // How a drawing sets the surface: pen colour, style and raster mode (the width is
    // always the shape's), a brush solid in the pen colour or clear, and whether the
    // shape's font is copied (drawings that may carry a label).
    struct TPenPreset {
        TColor Color;
        TPenStyle Style;
        TPenMode Mode;
        bool SolidBrush;
        bool CopiesFont;
    };
    void PreparePen(const TPenPreset& preset);
    void PrepareNormalPen();
    void PrepareShadowPen();
    void PrepareShadowText();
    void PrepareXorPen();
    void PrepareHotPen();

    // Conversions with the shared zoom.
    static TPoint ToImage(TPoint screen);
    static TPoint ToScreen(TPoint image);
    static int32_t OffsetToImage(int32_t d);

protected:
    // For Clone only: shapes are not otherwise copied or assigned.
    TMyShape(const TMyShape&) = default;
    // The three drawing passes shared by every kind.
    void DrawPasses();
    // The outline with every screen point shifted by (dx, dy).
    virtual void DrawOutline(int64_t dx, int64_t dy) {
        (void)dx;
        (void)dy;
    }
    // Drawn after the outline in the normal pass only.
    virtual void DrawOutlineExtras() {}

    // Stored point index in image coordinates, or (0, 0) when there is none.
    TPoint StoredPoint(int32_t index) const;
    // Sets the surface for the shadow copy of a label or for the label itself.
    void PrepareLabel(bool shadow);
    // Draws text with its top-left corner at the screen point place, one pixel right and
    // down for the shadow copy.
    void DrawLabelAt(TPoint place, const QString& text, bool shadow);
    // Draws text centred under the screen bounding box, one pixel right and down for the
    // shadow copy (the label of regions).
    void DrawLabelUnderBox(const QString& text, bool shadow);

private:
    // Draws the label's lines into LabelPlace's box: halo and leader line, then the text.
    void DrawPlacedLabel(const QStringList& lines, bool shadow);
    // Where the label would go, and what it holds, instead of drawing it.
    bool Probe(QRect box);

    QString caption_;
    std::optional<QRect>* labelProbe_ = nullptr;
};

// Grows the shape to at least index points (new ones (0, 0)) and sets point index - 1
// to p in image coordinates. Index counts from 1; values below 1 are ignored.
void SetShapePoint(TMyShape* shape, int32_t index, TPoint p);

} // namespace kelvo
