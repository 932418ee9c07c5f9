// A drawing surface over a QImage that follows the Windows GDI pixel rules the shapes rely on.
#pragma once

#include "platform/types.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace kelvo {

// Raster operations of a pen or brush: copy sets the pixel, xor flips the bits of the
// colour, not-xor inverts the result of xor. Drawing a figure twice in xor or not-xor
// mode restores the image because every pixel of one figure is changed exactly once.
enum class TPenMode : uint8_t { pmCopy, pmXor, pmNotXor };
enum class TPenStyle : uint8_t { psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear };
enum class TBrushStyle : uint8_t { bsSolid, bsClear };

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

struct TPen {
    TColor Color = clBlack;
    TPenStyle Style = TPenStyle::psSolid;
    int32_t Width = 1;
    TPenMode Mode = TPenMode::pmCopy;
    friend bool operator==(const TPen&, const TPen&) = default;
};

struct TBrush {
    TColor Color = clWhite;
    TBrushStyle Style = TBrushStyle::bsSolid;
    friend bool operator==(const TBrush&, const TBrush&) = default;
};

// Height follows the Windows convention: negative is the character height in pixels,
// positive the cell height (character plus internal leading).
struct TFont {
    QString Name = QStringLiteral("MS Sans Serif");
    int32_t Height = -11;
    TColor Color = clBlack;
    uint8_t Style = 0;   // TFontStyle bits
    uint8_t Charset = 1; // DEFAULT_CHARSET; kept for the stored forms, not used for drawing
    friend bool operator==(const TFont&, const TFont&) = default;
};

// Resolves system colours such as clBtnFace to $00BBGGRR.
TColor ColorToRgb(TColor color);
QColor ColorToQColor(TColor color);
TColor QColorToColor(const QColor& color);
// The pixel value of a colour in a Format_RGB32 image.
uint32_t ColorToPixel(TColor color);

// The QFont a TFont stands for; Windows face names map to the metric-compatible
// Liberation faces so that widths are the same on every machine.
QFont ToQFont(const TFont& font);

// Draws into a Format_RGB32 image it does not own. Every figure is rasterised by the
// surface itself (no antialiasing) so that copy, xor and not-xor give identical
// coverage. The surface remembers the bounding box of everything it touched since the
// last ResetTouched, so a widget can refresh only that part.
class TSurface {
public:
    TSurface();
    explicit TSurface(QImage* image, QPoint origin = QPoint());
    ~TSurface();
    TSurface(const TSurface&) = delete;
    TSurface& operator=(const TSurface&) = delete;

    // The image holds the part of a larger drawing whose top-left pixel is at origin:
    // figures are given in the drawing's coordinates, and pixel (x, y) of the drawing is
    // pixel (x - origin) of the image. Rasterising in the drawing's coordinates makes
    // any part of a figure the same pixels, whichever part of the drawing is held.
    void SetImage(QImage* image, QPoint origin = QPoint());
    QImage* Image() const { return image_; }
    QPoint Origin() const { return origin_; }
    // Limits drawing to a rectangle of the drawing's coordinates; a null rectangle
    // leaves only the image's own bounds.
    void SetClip(const QRect& clip) { clip_ = clip; }
    QRect Clip() const { return clip_; }

    // While recording, every figure drawn is kept with its pen, brush and font, so that
    // Replay can draw them again onto another part of the drawing and give the same
    // pixels there. An xor or not-xor figure drawn again with nothing copied since
    // cancels its earlier twin, so feedback that is drawn and erased keeps nothing.
    void SetRecording(bool on) { recording_ = on; }
    bool Recording() const { return recording_; }
    void ClearRecording();
    size_t RecordedCount() const { return ops_.size(); }
    // True when more figures were drawn than can be kept (the record was dropped).
    bool RecordingLost() const { return lost_; }
    // Draws the recorded figures, in order, within the current image and clip.
    void Replay();

    // While measuring, figures are neither drawn nor recorded: each only widens Extent,
    // a box in the drawing's coordinates (held at the 32-bit limits) that holds every
    // pixel the figure would change under any clip. A text counts with the widest reach
    // its glyphs may have, so measuring one never rasterises it.
    void SetMeasuring(bool on) { measuring_ = on; }
    bool Measuring() const { return measuring_; }
    QRect Extent() const;
    void ResetExtent();

    TPen Pen;
    TBrush Brush;
    TFont Font;
    // Draws with the plain per-pixel rasterisers only. The fast paths must give the
    // same pixels; tests compare the two.
    bool ReferenceRaster = false;

    void MoveTo(int32_t x, int32_t y);
    // Draws from the current position to (x, y), leaving out (x, y) itself.
    void LineTo(int32_t x, int32_t y);
    TPoint PenPos() const { return penPos_; }

    // Cover columns min(l, r)..max(l, r) - 1 and rows min(t, b)..max(t, b) - 1.
    void Rectangle(int32_t l, int32_t t, int32_t r, int32_t b);
    void Ellipse(int32_t l, int32_t t, int32_t r, int32_t b);
    void Polygon(const std::vector<TPoint>& points);
    // Top-left corner of the text at (x, y); a solid brush paints the text box first.
    void TextOut(int32_t x, int32_t y, const QString& text);
    int32_t TextWidth(const QString& text);
    // How many texts have had their glyphs rasterised since the surface was made.
    size_t TextsRasterised() const { return textsRasterised_; }
    int32_t TextHeight(const QString& text);
    // Nearest-neighbour stretch of the whole source onto dest (no smoothing).
    void StretchDraw(const TRect& dest, const QImage& source);

    // In the drawing's coordinates.
    QRect Touched() const;
    void ResetTouched();
    void AddTouched(const QRect& r) {
        if (!r.isEmpty()) {
            Touch(r.left(), r.top(), r.right(), r.bottom());
        }
    }

    // A horizontal run of covered pixels on row Y, columns X0..X1 inclusive.
    struct Span {
        int32_t Y;
        int32_t X0;
        int32_t X1;
    };
    // The covered columns A..B of one row of a figure; A > B when the row is empty.
    struct Row {
        int64_t A;
        int64_t B;
    };

private:
    // One recorded figure; A and B are the line's ends or the box's corners.
    struct TOp {
        enum class TKind : uint8_t { Line, Rectangle, Ellipse, Polygon, Text, Stretch };
        TOp() = default;
        TOp(TKind kind, TPoint a, TPoint b = {}) : Kind(kind), A(a), B(b) {}
        TKind Kind = TKind::Line;
        TPoint A;
        TPoint B;
        std::vector<TPoint> Points;
        QString Text;
        QImage Picture;
        TPen Pen;
        TBrush Brush;
        TFont Font;
        bool SameFigure(const TOp& other) const;
    };
    void Record(TOp op);
    void DrawOp(const TOp& op);
    void DrawLine(TPoint a, TPoint b);
    void DrawPolygon(const std::vector<TPoint>& points);
    void DrawText(int32_t x, int32_t y, const QString& text);
    void DrawStretch(const TRect& dest, const QImage& source);
    // The pixel (x, y) of the drawing; it must lie within the image.
    uint32_t* At(int64_t x, int64_t y) const {
        return reinterpret_cast<uint32_t*>(bits_ + (y - oy_) * stride_) + (x - ox_);
    }

    struct TextMask {
        int32_t Width = 0;
        int32_t Height = 0;
        std::vector<Span> Spans;  // relative to the text's top-left corner, by row
        int32_t MinX = INT32_MAX; // bounds of the spans
        int32_t MaxX = INT32_MIN;
        int32_t MinY = INT32_MAX;
        int32_t MaxY = INT32_MIN;
    };
    struct TextEntry;
    struct FontCache;
    FontCache& CurrentFont();
    // The cached width (and mask, once drawn) of a text in the current font.
    TextEntry& EntryFor(const QString& text);
    const TextMask& MaskOf(TextEntry& entry, const QString& text);
    static TextMask RasteriseText(const FontCache& font, const QString& text);
    // Widens Extent by the pixels x0..x1, y0..y1 (inclusive).
    void Extend(int64_t x0, int64_t y0, int64_t x1, int64_t y1);
    // Widens Extent by a box given as to Rectangle, grown by margin on every side.
    void ExtendByBox(int32_t l, int32_t t, int32_t r, int32_t b, int64_t margin);
    // The box of pixels a text at (x, y) may change: its glyphs' widest reach.
    void TextReach(int32_t x, int32_t y, const TextEntry& entry, int64_t box[4]);
    // Adds the covered runs of row y of the rendered text, placed at (left, top).
    static void AddCoverageRuns(const QImage& img, int y, int left, int top, TextMask& mask);
    // Draws the glyphs straight into the image when they lie wholly inside it; false,
    // drawing nothing, otherwise.
    bool GlyphsInside(int32_t x, int32_t y, const TextMask& mask, uint32_t textPixel);
    // The text box in the brush colour with the glyphs in textPixel.
    void OpaqueText(int32_t x, int32_t y, const TextMask& mask, uint32_t textPixel);
    void ApplySpan(int32_t y, int32_t x0, int32_t x1, uint32_t pixel, TPenMode mode);
    void TextSpan(int64_t y, int64_t x0, int64_t x1, uint32_t pixel);
    void PlotThinLine(TPoint a, TPoint b, uint32_t pixel, TPenMode mode, TPenStyle style);
    template <TPenMode Mode>
    void FastThinLine(TPoint a, TPoint b, uint32_t pixel);
    // Cells of box: 1 takes the pen's colour, 2 the brush's, 0 stays.
    void ApplyMask(const QRect& box, const std::vector<uint8_t>& cells);
    void WideLine(TPoint a, TPoint b, int32_t width, uint32_t pixel, TPenMode mode);
    enum class TBoxKind : uint8_t { Rectangle, Ellipse };
    // Normalises the box (right and bottom edges excluded) and draws the figure in it.
    void BoxFigure(int32_t l, int32_t t, int32_t r, int32_t b, TBoxKind kind);
    // The ellipse inscribed in columns x0..x1, rows y0..y1, inclusive.
    void EllipseFigure(int64_t x0, int64_t y0, int64_t x1, int64_t y1, int32_t penWidth, bool fill);
    // A one-pixel copy-mode outline of the figure whose rows from ry0 are full.
    void ThinCopyEllipse(const std::vector<Row>& full, int64_t ry0, int64_t y0, int64_t y1, bool fill);
    // The pen on full minus inner and the brush on inner, row by row from ry0.
    void PaintRings(const std::vector<Row>& full, const std::vector<Row>& inner, int64_t ry0, bool outline, bool fill);
    void RectangleFigure(int64_t x0, int64_t y0, int64_t x1, int64_t y1, int32_t penWidth, bool fill);
    void ApplyColumn(int32_t x, int64_t y0, int64_t y1, uint32_t pixel, TPenMode mode);
    // Already clipped to the image.
    void Touch(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
        tx0_ = std::min(tx0_, x0);
        ty0_ = std::min(ty0_, y0);
        tx1_ = std::max(tx1_, x1);
        ty1_ = std::max(ty1_, y1);
    }
    // Fetches the pixel buffer once per drawing call; false when there is nothing to draw on.
    bool Begin();

    QImage* image_ = nullptr;
    QPoint origin_;
    QRect clip_;
    uint8_t* bits_ = nullptr;
    qsizetype stride_ = 0;
    int64_t ox_ = 0;
    int64_t oy_ = 0;
    // The drawable pixels of the drawing, right and bottom excluded: the image at its
    // origin within the clip. Set by Begin.
    int32_t cl_ = 0;
    int32_t ct_ = 0;
    int32_t cr_ = 0;
    int32_t cb_ = 0;
    bool recording_ = false;
    bool lost_ = false;
    std::vector<TOp> ops_;
    TPoint penPos_;
    int32_t tx0_ = INT32_MAX;
    int32_t ty0_ = INT32_MAX;
    int32_t tx1_ = INT32_MIN;
    int32_t ty1_ = INT32_MIN;
    bool measuring_ = false;
    int64_t ex0_ = INT64_MAX;
    int64_t ey0_ = INT64_MAX;
    int64_t ex1_ = INT64_MIN;
    int64_t ey1_ = INT64_MIN;
    // Widths and glyph coverage are kept per font and text: labels are measured and
    // drawn twice per shape on every paint, and rasterising text each time would
    // dominate the paint.
    std::vector<std::unique_ptr<FontCache>> fonts_;
    FontCache* lastFont_ = nullptr;
    TextEntry* lastEntry_ = nullptr;
    const FontCache* lastEntryFont_ = nullptr;
    QString lastText_;
    size_t textsRasterised_ = 0;
};

// Nearest-neighbour stretch of a whole picture to a new size, as the display stretch
// of a true-colour screen does (whole pixels repeated or dropped).
QImage StretchImage(const QImage& source, int32_t width, int32_t height);

} // namespace kelvo
