// The drawing surface's rasterisers: lines, boxes, ellipses, polygons, text and picture stretching, pixel by pixel.
#include "platform/surface.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QPalette>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <list>

namespace kelvo {

namespace {

__extension__ using Wide = __int128;

constexpr uint32_t kRgbMask = 0x00FFFFFF;
constexpr uint32_t kOpaque = 0xFF000000;

// Exact floor and ceiling of finite values within the 64-bit range; std::floor and
// std::ceil are library calls on the baseline instruction set, once per figure row.
inline int64_t FloorToInt(double v) {
    const int64_t i = int64_t(v);
    return double(i) > v ? i - 1 : i;
}

inline int64_t CeilToInt(double v) {
    const int64_t i = int64_t(v);
    return double(i) < v ? i + 1 : i;
}

inline void ApplyPixel(uint32_t& p, uint32_t c, TPenMode mode) {
    switch (mode) {
    case TPenMode::pmCopy:
        p = c;
        break;
    case TPenMode::pmXor:
        p ^= c & kRgbMask;
        break;
    case TPenMode::pmNotXor:
        p = (~(p ^ c) & kRgbMask) | kOpaque;
        break;
    }
}

// The line a-b without b, as Bresenham steps it: pixel i (0 <= i < N) lies at
// Major0 + SMaj i on the major axis and at Minor0 + SMin floor((2 i AMin + AMaj) / (2 AMaj))
// on the minor one. First..Last are the pixels whose major coordinate is in the clip.
struct LineWalk {
    bool XMajor;
    int64_t AMaj;
    int64_t AMin;
    int64_t Major0;
    int64_t Minor0;
    int64_t SMaj;
    int64_t SMin;
    int64_t First;
    int64_t Last;

    // The minor offset of pixel i (quotient) and its error term (remainder).
    void OffsetOf(int64_t i, int64_t& q, int64_t& r) const {
        // 2 i AMin passes 63 bits for lines across the whole coordinate range.
        const Wide num = Wide(2) * i * AMin + AMaj;
        q = int64_t(num / (2 * AMaj));
        r = int64_t(num % (2 * AMaj));
    }
    int64_t X(int64_t i, int64_t q) const { return XMajor ? Major0 + SMaj * i : Minor0 + SMin * q; }
    int64_t Y(int64_t i, int64_t q) const { return XMajor ? Minor0 + SMin * q : Major0 + SMaj * i; }
};

// A box of pixels, right and bottom excluded.
struct ClipBox {
    int64_t L;
    int64_t T;
    int64_t R;
    int64_t B;
};

// Sets up the walk of a-b over the pixels whose major coordinate lies within the box's
// range on that axis grown by margin either side; false when no pixel does (or the line
// is empty).
[[gnu::always_inline]] inline bool SetUpLine(TPoint a, TPoint b, const ClipBox& clip, int32_t margin, LineWalk& w) {
    const int64_t dx = int64_t(b.X) - a.X;
    const int64_t dy = int64_t(b.Y) - a.Y;
    const int64_t adx = std::llabs(dx);
    const int64_t ady = std::llabs(dy);
    const int64_t n = std::max(adx, ady);
    if (n == 0) {
        return false;
    }
    w.XMajor = adx >= ady;
    w.AMaj = w.XMajor ? adx : ady;
    w.AMin = w.XMajor ? ady : adx;
    w.Major0 = w.XMajor ? a.X : a.Y;
    w.Minor0 = w.XMajor ? a.Y : a.X;
    w.SMaj = (w.XMajor ? dx : dy) < 0 ? -1 : 1;
    w.SMin = (w.XMajor ? dy : dx) < 0 ? -1 : 1;
    const int64_t lo = (w.XMajor ? clip.L : clip.T) - margin;
    const int64_t hi = (w.XMajor ? clip.R : clip.B) + margin - 1;
    w.First = std::max<int64_t>(0, w.SMaj > 0 ? lo - w.Major0 : w.Major0 - hi);
    w.Last = std::min<int64_t>(n - 1, w.SMaj > 0 ? hi - w.Major0 : w.Major0 - lo);
    return w.First <= w.Last;
}

// Calls f(i, x, y) for the pixels of the line a-b without b, i counting from a. Only
// pixels whose major coordinate lies within the box's range grown by margin are
// visited, so a line running far outside the image costs nothing.
template <typename F>
[[gnu::always_inline]] inline void ForEachLinePixel(TPoint a, TPoint b, const ClipBox& clip, int32_t margin, F&& f) {
    LineWalk w;
    if (!SetUpLine(a, b, clip, margin, w)) {
        return;
    }
    // One division finds the first visible pixel's offset, the error term steps the rest.
    const int64_t den = 2 * w.AMaj;
    int64_t q = 0;
    int64_t r = 0;
    w.OffsetOf(w.First, q, r);
    for (int64_t i = w.First; i <= w.Last; ++i) {
        f(i, w.X(i, q), w.Y(i, q));
        r += 2 * w.AMin;
        if (r >= den) {
            r -= den;
            ++q;
        }
    }
}

// On/off run lengths of the cosmetic pen styles, in pixels.
bool StyleOn(TPenStyle style, int64_t i) {
    static constexpr int kDash[] = {18, 6};
    static constexpr int kDot[] = {3, 3};
    static constexpr int kDashDot[] = {9, 6, 3, 6};
    static constexpr int kDashDotDot[] = {9, 3, 3, 3, 3, 3};
    const int* pattern = nullptr;
    int count = 0;
    switch (style) {
    case TPenStyle::psSolid:
        return true;
    case TPenStyle::psClear:
        return false;
    case TPenStyle::psDash:
        pattern = kDash;
        count = 2;
        break;
    case TPenStyle::psDot:
        pattern = kDot;
        count = 2;
        break;
    case TPenStyle::psDashDot:
        pattern = kDashDot;
        count = 4;
        break;
    case TPenStyle::psDashDotDot:
        pattern = kDashDotDot;
        count = 6;
        break;
    }
    int period = 0;
    for (int k = 0; k < count; ++k) {
        period += pattern[k];
    }
    int64_t pos = i % period;
    for (int k = 0; k < count; ++k) {
        if (pos < pattern[k]) {
            return k % 2 == 0;
        }
        pos -= pattern[k];
    }
    return true;
}

QString MapFamily(const QString& name) {
    static const QHash<QString, QString> kFaces = {
        {QStringLiteral("arial"), QStringLiteral("Liberation Sans")},
        {QStringLiteral("ms sans serif"), QStringLiteral("Liberation Sans")},
        {QStringLiteral("tahoma"), QStringLiteral("Liberation Sans")},
        {QStringLiteral("helvetica"), QStringLiteral("Liberation Sans")},
        {QStringLiteral("times new roman"), QStringLiteral("Liberation Serif")},
        {QStringLiteral("courier new"), QStringLiteral("Liberation Mono")},
    };
    return kFaces.value(name.toLower(), name);
}

using Row = TSurface::Row;

} // namespace

TColor ColorToRgb(TColor color) {
    if ((color & 0xFF000000u) != 0x80000000u) {
        return color & kRgbMask;
    }
    QPalette palette;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        palette = QGuiApplication::palette();
    }
    QColor c;
    switch (color & 0xFF) {
    case 5: // window
        c = palette.color(QPalette::Base);
        break;
    case 8: // window text
        c = palette.color(QPalette::Text);
        break;
    case 13: // highlight
        c = palette.color(QPalette::Highlight);
        break;
    case 14: // highlight text
        c = palette.color(QPalette::HighlightedText);
        break;
    case 18: // button text
        c = palette.color(QPalette::ButtonText);
        break;
    default: // button face and every other system colour
        c = palette.color(QPalette::Button);
        break;
    }
    return QColorToColor(c);
}

QColor ColorToQColor(TColor color) {
    const TColor rgb = ColorToRgb(color);
    return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

TColor QColorToColor(const QColor& color) {
    const QColor c = color.toRgb();
    return RGB(static_cast<uint8_t>(c.red()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.blue()));
}

uint32_t ColorToPixel(TColor color) {
    const TColor rgb = ColorToRgb(color);
    return kOpaque | (uint32_t(GetRValue(rgb)) << 16) | (uint32_t(GetGValue(rgb)) << 8) | uint32_t(GetBValue(rgb));
}

QFont ToQFont(const TFont& font) {
    QFont f(MapFamily(font.Name));
    int32_t pixels = 11;
    if (font.Height < 0) {
        pixels = -font.Height;
    } else if (font.Height > 0) {
        // A positive height is the cell height; Windows faces spend about a seventh of
        // it on internal leading.
        pixels = std::max(1, static_cast<int32_t>(std::lround(font.Height / 1.15)));
    }
    f.setPixelSize(std::clamp(pixels, 1, 4096));
    f.setBold((font.Style & fsBold) != 0);
    f.setItalic((font.Style & fsItalic) != 0);
    f.setUnderline((font.Style & fsUnderline) != 0);
    f.setStrikeOut((font.Style & fsStrikeOut) != 0);
    f.setStyleStrategy(QFont::NoAntialias);
    f.setKerning(false);
    return f;
}

// A text's advance, and its glyph runs once it has been drawn: measuring a label never
// rasterises it, and a label wholly outside the part painted is never rasterised.
struct TSurface::TextEntry {
    int32_t Width = 0;
    std::unique_ptr<TextMask> Mask;
};

namespace {

// Texts kept per font before the cache has seen that it needs more.
constexpr size_t kFirstTextCapacity = 4096;
// Glyph runs kept per font at most, whatever the work asks for.
constexpr size_t kMaxMaskBytes = size_t(128) << 20;

} // namespace

// The texts of one font, least recently used first out. A paint uses every label's
// text in turn, so a cache smaller than the labels of one paint would lose each text
// just before it is used again; when a text comes back soon after it was dropped, the
// cache doubles instead (up to kMaxMaskBytes of glyph runs).
struct TSurface::FontCache {
    explicit FontCache(const TFont& font)
        : Name(font.Name), Height(font.Height), Style(font.Style), QtFont(ToQFont(font)), Metrics(QtFont),
          LineHeight(Metrics.height()), Reach(2 * LineHeight + Metrics.maxWidth()) {}
    bool Matches(const TFont& font) const {
        // Shapes copy their font into the surface, so the name usually shares its text.
        return Height == font.Height && Style == font.Style &&
               ((Name.constData() == font.Name.constData() && Name.size() == font.Name.size()) || Name == font.Name);
    }
    using Texts = std::list<std::pair<QString, TextEntry>>;
    // The entry of text, most recent now; a new one may drop the least recent ones.
    TextEntry& Find(const QString& text) {
        const auto it = Index.constFind(text);
        if (it != Index.constEnd()) {
            Order.splice(Order.begin(), Order, *it);
            return Order.front().second;
        }
        if (Dropped.remove(text) && Capacity < Order.size() * 2 + 2) {
            Capacity = std::max(Capacity, Order.size()) * 2;
        }
        Order.emplace_front(text, TextEntry{Metrics.horizontalAdvance(text), nullptr});
        Index.insert(text, Order.begin());
        while (Order.size() > 1 && (Order.size() > Capacity || MaskBytes > kMaxMaskBytes)) {
            DropLeastRecent();
        }
        return Order.front().second;
    }
    void DropLeastRecent() {
        auto& [text, entry] = Order.back();
        if (entry.Mask != nullptr) {
            MaskBytes -= BytesOf(*entry.Mask);
        }
        Index.remove(text);
        Dropped.insert(text);
        DroppedOrder.push_back(text);
        while (DroppedOrder.size() > Capacity) {
            Dropped.remove(DroppedOrder.front());
            DroppedOrder.pop_front();
        }
        Order.pop_back();
    }
    static size_t BytesOf(const TextMask& mask) { return sizeof(TextMask) + mask.Spans.capacity() * sizeof(Span); }

    QString Name;
    int32_t Height;
    uint8_t Style;
    QFont QtFont;
    QFontMetrics Metrics;
    int32_t LineHeight;
    // How far glyphs may reach beyond the text box (RasteriseText keeps no more).
    int32_t Reach;
    Texts Order;
    QHash<QString, Texts::iterator> Index;
    size_t Capacity = kFirstTextCapacity;
    size_t MaskBytes = 0;
    // Texts dropped lately, oldest first: one asked for again shows the cache too small.
    QSet<QString> Dropped;
    std::deque<QString> DroppedOrder;
};

TSurface::TSurface() = default;

TSurface::TSurface(QImage* image, QPoint origin) { SetImage(image, origin); }

TSurface::~TSurface() = default;

void TSurface::SetImage(QImage* image, QPoint origin) {
    image_ = image;
    origin_ = origin;
    if (image_ != nullptr && !image_->isNull() && image_->format() != QImage::Format_RGB32) {
        *image_ = image_->convertToFormat(QImage::Format_RGB32);
    }
}

bool TSurface::Begin() {
    bits_ = nullptr;
    cl_ = ct_ = cr_ = cb_ = 0;
    if (image_ == nullptr || image_->isNull()) {
        return false;
    }
    QRect area(origin_, image_->size());
    if (!clip_.isNull()) {
        area = area.intersected(clip_);
    }
    if (area.isEmpty()) {
        return false;
    }
    bits_ = image_->bits();
    stride_ = image_->bytesPerLine();
    ox_ = origin_.x();
    oy_ = origin_.y();
    cl_ = area.left();
    ct_ = area.top();
    cr_ = area.left() + area.width();
    cb_ = area.top() + area.height();
    return true;
}

QRect TSurface::Touched() const {
    if (tx0_ > tx1_ || ty0_ > ty1_) {
        return QRect();
    }
    return QRect(QPoint(tx0_, ty0_), QPoint(tx1_, ty1_));
}

void TSurface::ResetTouched() {
    tx0_ = ty0_ = INT32_MAX;
    tx1_ = ty1_ = INT32_MIN;
}

QRect TSurface::Extent() const {
    if (ex0_ > ex1_ || ey0_ > ey1_) {
        return QRect();
    }
    const auto held = [](int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
    return QRect(QPoint(held(ex0_), held(ey0_)), QPoint(held(ex1_), held(ey1_)));
}

void TSurface::ResetExtent() {
    ex0_ = ey0_ = INT64_MAX;
    ex1_ = ey1_ = INT64_MIN;
}

void TSurface::Extend(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    if (x0 > x1 || y0 > y1) {
        return;
    }
    ex0_ = std::min(ex0_, x0);
    ey0_ = std::min(ey0_, y0);
    ex1_ = std::max(ex1_, x1);
    ey1_ = std::max(ey1_, y1);
}

void TSurface::ExtendByBox(int32_t l, int32_t t, int32_t r, int32_t b, int64_t margin) {
    // Right and bottom edges are left out; a wide pen may reach past the box.
    Extend(int64_t(std::min(l, r)) - margin, int64_t(std::min(t, b)) - margin,
           int64_t(std::max(l, r)) - 1 + margin, int64_t(std::max(t, b)) - 1 + margin);
}

// Inlined: figures are drawn as runs of a few pixels each, so the call would cost
// more than the run.
[[gnu::always_inline]] inline void TSurface::ApplySpan(int32_t y, int32_t x0, int32_t x1, uint32_t pixel,
                                                       TPenMode mode) {
    if (bits_ == nullptr || y < ct_ || y >= cb_) {
        return;
    }
    x0 = std::max(x0, cl_);
    x1 = std::min(x1, cr_ - 1);
    if (x0 > x1) {
        return;
    }
    uint32_t* run = At(x0, y);
    const int32_t n = x1 - x0 + 1;
    if (mode == TPenMode::pmCopy) {
        std::fill(run, run + n, pixel);
    } else {
        for (int32_t k = 0; k < n; ++k) {
            ApplyPixel(run[k], pixel, mode);
        }
    }
    Touch(x0, y, x1, y);
}

void TSurface::MoveTo(int32_t x, int32_t y) { penPos_ = TPoint{x, y}; }

void TSurface::LineTo(int32_t x, int32_t y) {
    const TPoint a = penPos_;
    const TPoint b{x, y};
    penPos_ = b;
    if (measuring_) {
        if (Pen.Style != TPenStyle::psClear) {
            // A wide pen stamps a square of its width on every pixel of the thin line.
            const int64_t m = std::max(1, Pen.Width);
            Extend(int64_t(std::min(a.X, b.X)) - m, int64_t(std::min(a.Y, b.Y)) - m, int64_t(std::max(a.X, b.X)) + m,
                   int64_t(std::max(a.Y, b.Y)) + m);
        }
        return;
    }
    if (recording_ && Pen.Style != TPenStyle::psClear) Record(TOp(TOp::TKind::Line, a, b));
    DrawLine(a, b);
}

void TSurface::DrawLine(TPoint a, TPoint b) {
    if (Pen.Style == TPenStyle::psClear || !Begin()) {
        return;
    }
    const uint32_t pixel = ColorToPixel(Pen.Color);
    if (Pen.Width <= 1) {
        if (Pen.Style == TPenStyle::psSolid && !ReferenceRaster) {
            switch (Pen.Mode) {
            case TPenMode::pmCopy:
                FastThinLine<TPenMode::pmCopy>(a, b, pixel);
                break;
            case TPenMode::pmXor:
                FastThinLine<TPenMode::pmXor>(a, b, pixel);
                break;
            case TPenMode::pmNotXor:
                FastThinLine<TPenMode::pmNotXor>(a, b, pixel);
                break;
            }
        } else {
            PlotThinLine(a, b, pixel, Pen.Mode, Pen.Style);
        }
    } else {
        WideLine(a, b, Pen.Width, pixel, Pen.Mode);
    }
}

void TSurface::PlotThinLine(TPoint a, TPoint b, uint32_t pixel, TPenMode mode, TPenStyle style) {
    const ClipBox clip{cl_, ct_, cr_, cb_};
    const bool solid = style == TPenStyle::psSolid;
    int64_t minX = INT64_MAX, minY = INT64_MAX, maxX = INT64_MIN, maxY = INT64_MIN;
    ForEachLinePixel(
        a, b, clip, 0, [&](int64_t i, int64_t x, int64_t y) __attribute__((always_inline)) {
            if (x < clip.L || y < clip.T || x >= clip.R || y >= clip.B || (!solid && !StyleOn(style, i))) {
                return;
            }
            ApplyPixel(*At(x, y), pixel, mode);
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
        });
    if (minX <= maxX) {
        Touch(int32_t(minX), int32_t(minY), int32_t(maxX), int32_t(maxY));
    }
}

namespace {

// Moves the walk's start to its first pixel whose minor coordinate lies in
// [minorLo, minorHi), giving that pixel's offset q and error r and the last visible
// offset qLast; false when no pixel is visible. The minor coordinate is monotonic in i,
// so its visible part is one range of offsets.
[[gnu::always_inline]] inline bool ClipMinor(LineWalk& w, int64_t minorLo, int64_t minorHi, int64_t& q, int64_t& r,
                                             int64_t& qLast) {
    const int64_t qFirst = w.SMin > 0 ? minorLo - w.Minor0 : w.Minor0 - (minorHi - 1);
    qLast = w.SMin > 0 ? minorHi - 1 - w.Minor0 : w.Minor0 - minorLo;
    if (qFirst > qLast) {
        return false;
    }
    w.OffsetOf(w.First, q, r);
    if (q < qFirst) {
        if (w.AMin == 0) {
            return false;
        }
        // First i whose offset reaches qFirst: 2 i AMin + AMaj >= qFirst * 2 AMaj.
        const Wide need = Wide(qFirst) * (2 * w.AMaj) - w.AMaj;
        w.First = std::max<int64_t>(w.First, int64_t((need + 2 * w.AMin - 1) / (2 * w.AMin)));
        if (w.First > w.Last) {
            return false;
        }
        w.OffsetOf(w.First, q, r);
    }
    return q <= qLast;
}

template <TPenMode Mode>
[[gnu::always_inline]] inline void PutPixel(uint32_t* p, uint32_t pixel) {
    if constexpr (Mode == TPenMode::pmCopy) {
        *p = pixel;
    } else if constexpr (Mode == TPenMode::pmXor) {
        *p ^= pixel & kRgbMask;
    } else {
        *p = (~(*p ^ pixel) & kRgbMask) | kOpaque;
    }
}

// Writes the clipped walk from its first pixel (offset q, error r) by pointer, with no
// bounds test inside the loop; stops after the last pixel or the last visible offset.
// Returns the number of pixels written.
template <TPenMode Mode>
[[gnu::always_inline]] inline int64_t StepThinLine(const LineWalk& w, uint32_t* p, ptrdiff_t stride, int64_t q,
                                                   int64_t r, int64_t qLast, uint32_t pixel) {
    const ptrdiff_t stepMajor = w.XMajor ? ptrdiff_t(w.SMaj) : ptrdiff_t(w.SMaj) * stride;
    const ptrdiff_t stepMinor = w.XMajor ? ptrdiff_t(w.SMin) * stride : ptrdiff_t(w.SMin);
    const int64_t den = 2 * w.AMaj;
    const int64_t twoMin = 2 * w.AMin;
    const int64_t left = w.Last - w.First + 1;
    int64_t done = 0;
    while (done < left) {
        PutPixel<Mode>(p, pixel);
        ++done;
        p += stepMajor;
        r += twoMin;
        if (r >= den) {
            r -= den;
            p += stepMinor;
            if (++q > qLast) {
                break;
            }
        }
    }
    return done;
}

} // namespace

template <TPenMode Mode>
void TSurface::FastThinLine(TPoint a, TPoint b, uint32_t pixel) {
    // The same pixels as PlotThinLine, but clipped once up front and stepped by pointer:
    // outlines are most of what a paint draws.
    LineWalk w;
    int64_t q = 0;
    int64_t r = 0;
    int64_t qLast = 0;
    const ClipBox clip{cl_, ct_, cr_, cb_};
    if (!SetUpLine(a, b, clip, 0, w) ||
        !ClipMinor(w, w.XMajor ? clip.T : clip.L, w.XMajor ? clip.B : clip.R, q, r, qLast)) {
        return;
    }
    const int64_t x0 = w.X(w.First, q);
    const int64_t y0 = w.Y(w.First, q);
    uint32_t* p = At(x0, y0);
    const int64_t done = StepThinLine<Mode>(w, p, ptrdiff_t(stride_ / 4), q, r, qLast, pixel);
    // The pixels run monotonically in both axes, so the first and the last bound them.
    const int64_t lastI = w.First + done - 1;
    int64_t lastQ = 0;
    int64_t unused = 0;
    w.OffsetOf(lastI, lastQ, unused);
    const int64_t x1 = w.X(lastI, lastQ);
    const int64_t y1 = w.Y(lastI, lastQ);
    Touch(int32_t(std::min(x0, x1)), int32_t(std::min(y0, y1)), int32_t(std::max(x0, x1)), int32_t(std::max(y0, y1)));
}

void TSurface::WideLine(TPoint a, TPoint b, int32_t width, uint32_t pixel, TPenMode mode) {
    // A square stamp of the pen's width at every pixel of the thin line; each row of
    // the union is one run, so the coverage is collected per row and applied once.
    const int32_t lo = -(width - 1) / 2;
    const int32_t hi = width / 2;
    const int64_t yTop = std::max<int64_t>(std::min<int64_t>(a.Y, b.Y) + lo, ct_);
    const int64_t yBottom = std::min<int64_t>(std::max<int64_t>(a.Y, b.Y) + hi, cb_ - 1);
    if (yTop > yBottom) {
        return;
    }
    std::vector<Row> rows(size_t(yBottom - yTop + 1), Row{INT64_MAX, INT64_MIN});
    ForEachLinePixel(a, b, ClipBox{cl_, ct_, cr_, cb_}, width, [&](int64_t, int64_t x, int64_t y) {
        for (int64_t yy = y + lo; yy <= y + hi; ++yy) {
            if (yy < yTop || yy > yBottom) {
                continue;
            }
            Row& r = rows[size_t(yy - yTop)];
            r.A = std::min(r.A, x + lo);
            r.B = std::max(r.B, x + hi);
        }
    });
    for (size_t k = 0; k < rows.size(); ++k) {
        if (rows[k].A <= rows[k].B) {
            const int64_t x0 = std::max<int64_t>(rows[k].A, INT32_MIN);
            const int64_t x1 = std::min<int64_t>(rows[k].B, INT32_MAX);
            ApplySpan(int32_t(yTop + int64_t(k)), int32_t(x0), int32_t(x1), pixel, mode);
        }
    }
}

void TSurface::Rectangle(int32_t l, int32_t t, int32_t r, int32_t b) {
    if (measuring_) {
        ExtendByBox(l, t, r, b, int64_t(std::max(1, Pen.Width)));
        return;
    }
    if (recording_) Record(TOp(TOp::TKind::Rectangle, {l, t}, {r, b}));
    BoxFigure(l, t, r, b, TBoxKind::Rectangle);
}

void TSurface::Ellipse(int32_t l, int32_t t, int32_t r, int32_t b) {
    if (measuring_) {
        ExtendByBox(l, t, r, b, int64_t(std::max(1, Pen.Width)));
        return;
    }
    if (recording_) Record(TOp(TOp::TKind::Ellipse, {l, t}, {r, b}));
    BoxFigure(l, t, r, b, TBoxKind::Ellipse);
}

void TSurface::BoxFigure(int32_t l, int32_t t, int32_t r, int32_t b, TBoxKind kind) {
    if (!Begin()) {
        return;
    }
    const int64_t x0 = std::min(l, r);
    const int64_t x1 = int64_t(std::max(l, r)) - 1;
    const int64_t y0 = std::min(t, b);
    const int64_t y1 = int64_t(std::max(t, b)) - 1;
    if (x1 < x0 || y1 < y0) {
        return;
    }
    const int32_t penWidth = Pen.Style != TPenStyle::psClear ? std::max(1, Pen.Width) : 0;
    const bool fill = Brush.Style == TBrushStyle::bsSolid;
    if (kind == TBoxKind::Rectangle) {
        RectangleFigure(x0, y0, x1, y1, penWidth, fill);
    } else {
        EllipseFigure(x0, y0, x1, y1, penWidth, fill);
    }
}

namespace {

constexpr Row kEmptyRow{1, 0};

// Row k of the figure y0..y1 (rows[k] is row y) after one erosion step in the
// 4-neighbourhood: a pixel stays when its four neighbours are in the figure.
[[gnu::always_inline]] inline Row ErodedRow(const std::vector<Row>& rows, size_t k, int64_t y, int64_t y0, int64_t y1) {
    const Row& cur = rows[k];
    // Rows outside the computed range are beyond the image; they repeat their neighbour.
    const Row up = (y - 1 < y0) ? kEmptyRow : (k == 0 ? cur : rows[k - 1]);
    const Row down = (y + 1 > y1) ? kEmptyRow : (k + 1 == rows.size() ? cur : rows[k + 1]);
    if (cur.A > cur.B || up.A > up.B || down.A > down.B) {
        return kEmptyRow;
    }
    return Row{std::max({cur.A + 1, up.A, down.A}), std::min({cur.B - 1, up.B, down.B})};
}

// The rows ry0.. of the pixels whose centres lie inside the ellipse inscribed in the
// box x0..x1, y0..y1 (one row per element of rows).
void EllipseRows(int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t ry0, std::vector<Row>& rows) {
    const double cx = (double(x0) + double(x1) + 1.0) / 2.0;
    const double cy = (double(y0) + double(y1) + 1.0) / 2.0;
    const double rx = (double(x1) - double(x0) + 1.0) / 2.0;
    const double ry = (double(y1) - double(y0) + 1.0) / 2.0;
    for (size_t k = 0; k < rows.size(); ++k) {
        const double ty = (double(ry0 + int64_t(k)) + 0.5 - cy) / ry;
        const double hw = rx * std::sqrt(std::max(0.0, 1.0 - ty * ty));
        int64_t a = std::max(CeilToInt(cx - hw - 0.5), x0);
        int64_t b = std::min(FloorToInt(cx + hw - 0.5), x1);
        if (a > b) {
            // A row through the box always holds the pixel at the centre column.
            a = b = FloorToInt(cx);
        }
        rows[k] = Row{a, b};
    }
}

} // namespace

void TSurface::EllipseFigure(int64_t x0, int64_t y0, int64_t x1, int64_t y1, int32_t penWidth, bool fill) {
    // Rows beyond the image matter only as neighbours of the erosion, which reaches
    // penWidth rows, so only those are computed.
    const int64_t ry0 = std::max(y0, int64_t(ct_) - penWidth - 1);
    const int64_t ry1 = std::min(y1, int64_t(cb_) + penWidth);
    if (ry0 > ry1) {
        return;
    }
    // Kept between figures: a paint draws hundreds of them.
    static thread_local std::vector<Row> full;
    full.resize(size_t(ry1 - ry0 + 1));
    EllipseRows(x0, y0, x1, y1, ry0, full);
    if (penWidth == 1 && Pen.Mode == TPenMode::pmCopy && !ReferenceRaster) {
        ThinCopyEllipse(full, ry0, y0, y1, fill);
        return;
    }
    // Erode penWidth times: what remains is the inside, the rest is the outline. Rows of
    // a convex figure stay single runs.
    static thread_local std::vector<Row> inner;
    static thread_local std::vector<Row> next;
    inner.assign(full.begin(), full.end());
    next.resize(full.size());
    for (int32_t step = 0; step < penWidth; ++step) {
        for (size_t k = 0; k < inner.size(); ++k) {
            next[k] = ErodedRow(inner, k, ry0 + int64_t(k), y0, y1);
        }
        std::swap(inner, next);
    }
    PaintRings(full, inner, ry0, penWidth > 0, fill);
}

void TSurface::ThinCopyEllipse(const std::vector<Row>& full, int64_t ry0, int64_t y0, int64_t y1, bool fill) {
    // The common outline of a paint: the single erosion step done row by row as the runs
    // are written, with one touched box for the figure.
    const uint32_t penPixel = ColorToPixel(Pen.Color);
    const uint32_t brushPixel = ColorToPixel(Brush.Color);
    int64_t minX = INT64_MAX, maxX = INT64_MIN, minY = INT64_MAX, maxY = INT64_MIN;
    const auto put = [&](int64_t y, int64_t a, int64_t b, uint32_t pixel) {
        a = std::max<int64_t>(a, cl_);
        b = std::min<int64_t>(b, cr_ - 1);
        if (a > b) {
            return;
        }
        uint32_t* run = At(a, y);
        std::fill(run, run + (b - a + 1), pixel);
        minX = std::min(minX, a);
        maxX = std::max(maxX, b);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    };
    for (size_t k = 0; k < full.size(); ++k) {
        const int64_t y = ry0 + int64_t(k);
        const Row& f = full[k];
        if (y < ct_ || y >= cb_ || f.A > f.B) {
            continue;
        }
        const Row in = ErodedRow(full, k, y, y0, y1);
        if (in.A > in.B) {
            put(y, f.A, f.B, penPixel);
            continue;
        }
        put(y, f.A, in.A - 1, penPixel);
        put(y, in.B + 1, f.B, penPixel);
        if (fill) {
            put(y, in.A, in.B, brushPixel);
        }
    }
    if (minX <= maxX) {
        Touch(int32_t(minX), int32_t(minY), int32_t(maxX), int32_t(maxY));
    }
}

void TSurface::PaintRings(const std::vector<Row>& full, const std::vector<Row>& inner, int64_t ry0, bool outline,
                          bool fill) {
    const uint32_t penPixel = ColorToPixel(Pen.Color);
    const uint32_t brushPixel = ColorToPixel(Brush.Color);
    for (size_t k = 0; k < full.size(); ++k) {
        const int64_t y = ry0 + int64_t(k);
        const Row& f = full[k];
        const Row& in = inner[k];
        if (y < ct_ || y >= cb_ || f.A > f.B) {
            continue;
        }
        if (in.A > in.B) {
            // All outline; without a pen the brush covers it.
            if (outline || fill) {
                ApplySpan(int32_t(y), ClampToInt32(f.A), ClampToInt32(f.B), outline ? penPixel : brushPixel, Pen.Mode);
            }
            continue;
        }
        if (outline && in.A > f.A) {
            ApplySpan(int32_t(y), ClampToInt32(f.A), ClampToInt32(in.A - 1), penPixel, Pen.Mode);
        }
        if (outline && in.B < f.B) {
            ApplySpan(int32_t(y), ClampToInt32(in.B + 1), ClampToInt32(f.B), penPixel, Pen.Mode);
        }
        if (fill) {
            ApplySpan(int32_t(y), ClampToInt32(in.A), ClampToInt32(in.B), brushPixel, Pen.Mode);
        }
    }
}

void TSurface::ApplyColumn(int32_t x, int64_t y0, int64_t y1, uint32_t pixel, TPenMode mode) {
    if (x < cl_ || x >= cr_) {
        return;
    }
    y0 = std::max<int64_t>(y0, ct_);
    y1 = std::min<int64_t>(y1, cb_ - 1);
    if (y0 > y1) {
        return;
    }
    auto* p = reinterpret_cast<uint8_t*>(At(x, y0));
    for (int64_t y = y0; y <= y1; ++y, p += stride_) {
        ApplyPixel(*reinterpret_cast<uint32_t*>(p), pixel, mode);
    }
    Touch(x, int32_t(y0), x, int32_t(y1));
}

void TSurface::RectangleFigure(int64_t x0, int64_t y0, int64_t x1, int64_t y1, int32_t penWidth, bool fill) {
    // The rectangle's outline is the box minus the box shrunk by the pen width; the
    // outline rows are whole runs, the rows between have a band at either side.
    const uint32_t penPixel = ColorToPixel(Pen.Color);
    const uint32_t brushPixel = ColorToPixel(Brush.Color);
    const TPenMode mode = Pen.Mode;
    const int64_t ix0 = x0 + penWidth;
    const int64_t ix1 = x1 - penWidth;
    const int64_t iy0 = y0 + penWidth;
    const int64_t iy1 = y1 - penWidth;
    if (ix0 > ix1 || iy0 > iy1) {
        // No inside: the whole box is outline (or fill without a pen).
        const uint32_t pixel = penWidth > 0 ? penPixel : brushPixel;
        if (penWidth == 0 && !fill) {
            return;
        }
        for (int64_t y = std::max<int64_t>(y0, ct_); y <= std::min<int64_t>(y1, cb_ - 1); ++y) {
            ApplySpan(int32_t(y), ClampToInt32(x0), ClampToInt32(x1), pixel, mode);
        }
        return;
    }
    for (int64_t y = std::max<int64_t>(y0, ct_); y < std::min<int64_t>(iy0, cb_); ++y) {
        ApplySpan(int32_t(y), ClampToInt32(x0), ClampToInt32(x1), penPixel, mode);
    }
    for (int64_t y = std::max<int64_t>(iy1 + 1, ct_); y <= std::min<int64_t>(y1, cb_ - 1); ++y) {
        ApplySpan(int32_t(y), ClampToInt32(x0), ClampToInt32(x1), penPixel, mode);
    }
    for (int64_t x = x0; x < ix0; ++x) {
        if (x >= cl_ && x < cr_) {
            ApplyColumn(int32_t(x), iy0, iy1, penPixel, mode);
        }
    }
    for (int64_t x = ix1 + 1; x <= x1; ++x) {
        if (x >= cl_ && x < cr_) {
            ApplyColumn(int32_t(x), iy0, iy1, penPixel, mode);
        }
    }
    if (fill) {
        for (int64_t y = std::max<int64_t>(iy0, ct_); y <= std::min<int64_t>(iy1, cb_ - 1); ++y) {
            ApplySpan(int32_t(y), ClampToInt32(ix0), ClampToInt32(ix1), brushPixel, mode);
        }
    }
}

namespace {

// Which pixels of a figure's box it covers, and how: every covered pixel is changed once,
// with the colour of its part.
struct CoverMask {
    enum : uint8_t { kNone = 0, kOutline = 1, kInside = 2 };
    QRect Box;
    std::vector<uint8_t> Cells;

    explicit CoverMask(const QRect& box) : Box(box), Cells(size_t(box.width()) * size_t(box.height()), kNone) {}
    void Set(int64_t x, int64_t y, uint8_t v) {
        if (x >= Box.left() && x <= Box.right() && y >= Box.top() && y <= Box.bottom()) {
            Cells[size_t((y - Box.top()) * Box.width() + (x - Box.left()))] = v;
        }
    }
};

// The box of the points grown by the pen width, clipped to the clip box; empty when
// nothing of it is visible.
QRect PolygonBox(const std::vector<TPoint>& points, int32_t pw, const ClipBox& clip) {
    int64_t minX = INT64_MAX, minY = INT64_MAX, maxX = INT64_MIN, maxY = INT64_MIN;
    for (const TPoint& p : points) {
        minX = std::min<int64_t>(minX, p.X);
        maxX = std::max<int64_t>(maxX, p.X);
        minY = std::min<int64_t>(minY, p.Y);
        maxY = std::max<int64_t>(maxY, p.Y);
    }
    const int64_t l = std::max<int64_t>(minX - pw, clip.L);
    const int64_t t = std::max<int64_t>(minY - pw, clip.T);
    const int64_t r = std::min<int64_t>(maxX + pw, clip.R - 1);
    const int64_t b = std::min<int64_t>(maxY + pw, clip.B - 1);
    if (l > r || t > b) {
        return QRect();
    }
    return QRect{QPoint(int(l), int(t)), QPoint(int(r), int(b))};
}

// Marks the pixels whose centres lie inside the closed polygon (even-odd rule) as inside.
void FillPolygon(const std::vector<TPoint>& points, CoverMask& mask) {
    const size_t count = points.size();
    std::vector<double> xs;
    for (int y = mask.Box.top(); y <= mask.Box.bottom(); ++y) {
        const double sy = y + 0.5;
        xs.clear();
        for (size_t k = 0; k < count; ++k) {
            const TPoint& p = points[k];
            const TPoint& q = points[(k + 1) % count];
            const double py = p.Y + 0.5;
            const double qy = q.Y + 0.5;
            if ((py <= sy && qy > sy) || (qy <= sy && py > sy)) {
                xs.push_back(p.X + 0.5 + (sy - py) * double(q.X - p.X) / (qy - py));
            }
        }
        std::sort(xs.begin(), xs.end());
        for (size_t k = 0; k + 1 < xs.size(); k += 2) {
            const int64_t a = std::max<int64_t>(CeilToInt(xs[k] - 0.5), mask.Box.left());
            const int64_t e = std::min<int64_t>(CeilToInt(xs[k + 1] - 0.5) - 1, mask.Box.right());
            for (int64_t x = a; x <= e; ++x) {
                mask.Set(x, y, CoverMask::kInside);
            }
        }
    }
}

// Marks the closed outline through the points, drawn with a square pen of width pw, as
// outline; a single point is one pixel.
void StrokePolygon(const std::vector<TPoint>& points, int32_t pw, CoverMask& mask) {
    const size_t count = points.size();
    const int32_t lo = -(pw - 1) / 2;
    const int32_t hi = pw / 2;
    const ClipBox clip{mask.Box.left(), mask.Box.top(), int64_t(mask.Box.right()) + 1, int64_t(mask.Box.bottom()) + 1};
    for (size_t k = 0; k < count; ++k) {
        const TPoint& p = points[k];
        const TPoint& q = points[(k + 1) % count];
        if (pw <= 1) {
            ForEachLinePixel(p, q, clip, 0,
                             [&](int64_t, int64_t x, int64_t y) { mask.Set(x, y, CoverMask::kOutline); });
            continue;
        }
        ForEachLinePixel(p, q, clip, pw, [&](int64_t, int64_t x, int64_t y) {
            for (int64_t yy = y + lo; yy <= y + hi; ++yy) {
                for (int64_t xx = x + lo; xx <= x + hi; ++xx) {
                    mask.Set(xx, yy, CoverMask::kOutline);
                }
            }
        });
    }
    if (count == 1) {
        mask.Set(points[0].X, points[0].Y, CoverMask::kOutline);
    }
}

} // namespace

void TSurface::Polygon(const std::vector<TPoint>& points) {
    if (measuring_) {
        const int64_t m = std::max(1, Pen.Width);
        for (const TPoint& p : points) {
            Extend(int64_t(p.X) - m, int64_t(p.Y) - m, int64_t(p.X) + m, int64_t(p.Y) + m);
        }
        return;
    }
    if (recording_ && !points.empty()) {
        TOp op(TOp::TKind::Polygon, {});
        op.Points = points;
        Record(std::move(op));
    }
    DrawPolygon(points);
}

void TSurface::DrawPolygon(const std::vector<TPoint>& points) {
    if (points.empty() || !Begin()) {
        return;
    }
    const int32_t pw = std::max(1, Pen.Width);
    const QRect box = PolygonBox(points, pw, ClipBox{cl_, ct_, cr_, cb_});
    if (box.isEmpty()) {
        return;
    }
    CoverMask mask(box);
    if (Brush.Style == TBrushStyle::bsSolid && points.size() >= 3) {
        FillPolygon(points, mask);
    }
    if (Pen.Style != TPenStyle::psClear) {
        StrokePolygon(points, pw, mask);
    }
    ApplyMask(mask.Box, mask.Cells);
}

void TSurface::ApplyMask(const QRect& box, const std::vector<uint8_t>& cells) {
    const uint32_t penPixel = ColorToPixel(Pen.Color);
    const uint32_t brushPixel = ColorToPixel(Brush.Color);
    for (int y = box.top(); y <= box.bottom(); ++y) {
        uint32_t* row = At(box.left(), y);
        const uint8_t* m = cells.data() + size_t(y - box.top()) * size_t(box.width());
        for (int x = box.left(); x <= box.right(); ++x) {
            const uint8_t v = m[x - box.left()];
            if (v != 0) {
                ApplyPixel(row[x - box.left()], v == 1 ? penPixel : brushPixel, Pen.Mode);
                Touch(x, y, x, y);
            }
        }
    }
}

TSurface::FontCache& TSurface::CurrentFont() {
    if (lastFont_ != nullptr && lastFont_->Matches(Font)) {
        return *lastFont_;
    }
    for (auto& f : fonts_) {
        if (f->Matches(Font)) {
            lastFont_ = f.get();
            return *lastFont_;
        }
    }
    if (fonts_.size() >= 32) {
        fonts_.clear();
        lastEntry_ = nullptr;
    }
    fonts_.push_back(std::make_unique<FontCache>(Font));
    lastFont_ = fonts_.back().get();
    return *lastFont_;
}

TSurface::TextEntry& TSurface::EntryFor(const QString& text) {
    FontCache& font = CurrentFont();
    // A label is measured and drawn, for its shadow and itself, from one shared string:
    // the same text block means the same text.
    if (lastEntry_ != nullptr && lastEntryFont_ == &font && text.constData() == lastText_.constData() &&
        text.size() == lastText_.size()) {
        return *lastEntry_;
    }
    // A new text may drop others.
    lastEntry_ = nullptr;
    TextEntry& entry = font.Find(text);
    lastEntry_ = &entry;
    lastEntryFont_ = &font;
    lastText_ = text;
    return entry;
}

const TSurface::TextMask& TSurface::MaskOf(TextEntry& entry, const QString& text) {
    if (entry.Mask == nullptr) {
        FontCache& font = CurrentFont();
        entry.Mask = std::make_unique<TextMask>(RasteriseText(font, text));
        ++textsRasterised_;
        entry.Mask->Spans.shrink_to_fit();
        font.MaskBytes += FontCache::BytesOf(*entry.Mask);
    }
    return *entry.Mask;
}

TSurface::TextMask TSurface::RasteriseText(const FontCache& font, const QString& text) {
    TextMask mask;
    mask.Width = font.Metrics.horizontalAdvance(text);
    mask.Height = font.Metrics.height();
    if (text.isEmpty()) {
        return mask;
    }
    // The glyphs may reach beyond the advance and the line height (italics, accents),
    // though never by more than a few lines: Qt's bounding box of a text with tabs in
    // it is a hundred thousand pixels each way, a mask of gigabytes for nothing drawn.
    const int ascent = font.Metrics.ascent();
    const QRect br = font.Metrics.boundingRect(text);
    const int reach = 2 * mask.Height + font.Metrics.maxWidth();
    const int left = std::max(-reach, std::min(0, br.left()));
    const int right = std::min(mask.Width + reach, std::max(mask.Width, br.right() + 1));
    const int top = std::max(-reach, std::min(0, ascent + br.top()));
    const int bottom = std::min(mask.Height + reach, std::max(mask.Height, ascent + br.bottom() + 1));
    QImage img(right - left, bottom - top, QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) {
        // Too long a text to render at once: it keeps its size, and shows nothing.
        return mask;
    }
    img.fill(0);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::TextAntialiasing, false);
        p.setFont(font.QtFont);
        p.setPen(Qt::black);
        p.drawText(-left, ascent - top, text);
    }
    for (int y = 0; y < img.height(); ++y) {
        AddCoverageRuns(img, y, left, top, mask);
    }
    return mask;
}

void TSurface::AddCoverageRuns(const QImage& img, int y, int left, int top, TextMask& mask) {
    const auto* row = reinterpret_cast<const uint32_t*>(img.constScanLine(y));
    int x = 0;
    while (x < img.width()) {
        while (x < img.width() && qAlpha(row[x]) < 128) {
            ++x;
        }
        const int start = x;
        while (x < img.width() && qAlpha(row[x]) >= 128) {
            ++x;
        }
        if (x > start) {
            mask.Spans.push_back(Span{y + top, start + left, x - 1 + left});
            mask.MinX = std::min(mask.MinX, start + left);
            mask.MaxX = std::max(mask.MaxX, x - 1 + left);
            mask.MinY = std::min(mask.MinY, y + top);
            mask.MaxY = std::max(mask.MaxY, y + top);
        }
    }
}

int32_t TSurface::TextWidth(const QString& text) { return EntryFor(text).Width; }

int32_t TSurface::TextHeight(const QString&) { return CurrentFont().LineHeight; }

void TSurface::TextReach(int32_t x, int32_t y, const TextEntry& entry, int64_t box[4]) {
    const FontCache& font = CurrentFont();
    // The text box with its glyphs once they are known, else the widest reach they may have.
    const TextMask* mask = entry.Mask.get();
    const bool glyphs = mask != nullptr && !mask->Spans.empty();
    const int64_t reach = mask != nullptr ? 0 : font.Reach;
    box[0] = int64_t(x) + std::min<int64_t>(-reach, glyphs ? mask->MinX : 0);
    box[1] = int64_t(y) + std::min<int64_t>(-reach, glyphs ? mask->MinY : 0);
    box[2] = int64_t(x) + std::max<int64_t>(entry.Width + reach, glyphs ? mask->MaxX + 1 : 0) - 1;
    box[3] = int64_t(y) + std::max<int64_t>(font.LineHeight + reach, glyphs ? mask->MaxY + 1 : 0) - 1;
}

// A run of a text placed anywhere: the row and ends come in 64 bits (text near the
// 32-bit limits reaches past them) and are clipped to the image before drawing.
void TSurface::TextSpan(int64_t y, int64_t x0, int64_t x1, uint32_t pixel) {
    if (y < ct_ || y >= cb_ || x1 < cl_ || x0 >= cr_) {
        return;
    }
    ApplySpan(int32_t(y), int32_t(std::max<int64_t>(x0, cl_)), int32_t(std::min<int64_t>(x1, cr_ - 1)), pixel,
              Pen.Mode);
}

void TSurface::TextOut(int32_t x, int32_t y, const QString& text) {
    if (measuring_) {
        int64_t box[4];
        TextReach(x, y, EntryFor(text), box);
        Extend(box[0], box[1], box[2], box[3]);
        return;
    }
    if (recording_) {
        TOp op(TOp::TKind::Text, {x, y});
        op.Text = text;
        op.Font = Font;
        Record(std::move(op));
    }
    DrawText(x, y, text);
}

void TSurface::DrawText(int32_t x, int32_t y, const QString& text) {
    if (!Begin()) {
        return;
    }
    TextEntry& entry = EntryFor(text);
    int64_t box[4];
    TextReach(x, y, entry, box);
    if (box[2] < cl_ || box[0] >= cr_ || box[3] < ct_ || box[1] >= cb_) {
        return;
    }
    const TextMask& mask = MaskOf(entry, text);
    const uint32_t textPixel = ColorToPixel(Font.Color);
    if (Brush.Style == TBrushStyle::bsSolid) {
        OpaqueText(x, y, mask, textPixel);
    } else if (!mask.Spans.empty() && !GlyphsInside(x, y, mask, textPixel)) {
        for (const Span& s : mask.Spans) {
            TextSpan(int64_t(y) + s.Y, int64_t(x) + s.X0, int64_t(x) + s.X1, textPixel);
        }
    }
}

bool TSurface::GlyphsInside(int32_t x, int32_t y, const TextMask& mask, uint32_t textPixel) {
    const int64_t left = int64_t(x) + mask.MinX;
    const int64_t right = int64_t(x) + mask.MaxX;
    const int64_t top = int64_t(y) + mask.MinY;
    const int64_t bottom = int64_t(y) + mask.MaxY;
    if (left < cl_ || top < ct_ || right >= cr_ || bottom >= cb_) {
        return false;
    }
    // Labels are drawn twice per shape on every paint: the glyph runs go straight to the
    // pixels, with no clipping and one touched box.
    const TPenMode mode = Pen.Mode;
    for (const Span& s : mask.Spans) {
        uint32_t* run = At(int64_t(x) + s.X0, int64_t(y) + s.Y);
        const int32_t n = s.X1 - s.X0 + 1;
        if (mode == TPenMode::pmCopy) {
            std::fill(run, run + n, textPixel);
        } else {
            for (int32_t k = 0; k < n; ++k) {
                ApplyPixel(run[k], textPixel, mode);
            }
        }
    }
    Touch(int32_t(left), int32_t(top), int32_t(right), int32_t(bottom));
    return true;
}

void TSurface::OpaqueText(int32_t x, int32_t y, const TextMask& mask, uint32_t textPixel) {
    // Brush colour around the glyphs, text colour on them, each pixel of the box changed
    // once. Glyph runs above or below the box (spans are sorted by row) take only the
    // text colour.
    const uint32_t brushPixel = ColorToPixel(Brush.Color);
    const auto text = [&](const Span& s) {
        TextSpan(int64_t(y) + s.Y, int64_t(x) + s.X0, int64_t(x) + s.X1, textPixel);
    };
    size_t k = 0;
    for (int32_t row = 0; row < mask.Height; ++row) {
        for (; k < mask.Spans.size() && mask.Spans[k].Y < row; ++k) {
            text(mask.Spans[k]);
        }
        int32_t cursor = 0;
        for (; k < mask.Spans.size() && mask.Spans[k].Y == row; ++k) {
            const Span& s = mask.Spans[k];
            const int32_t a = std::max(s.X0, cursor);
            if (a > cursor && cursor < mask.Width) {
                TextSpan(int64_t(y) + row, int64_t(x) + cursor, int64_t(x) + std::min(a, mask.Width) - 1, brushPixel);
            }
            if (s.X1 >= a) {
                TextSpan(int64_t(y) + row, int64_t(x) + a, int64_t(x) + s.X1, textPixel);
            }
            cursor = std::max(cursor, s.X1 + 1);
        }
        if (cursor < mask.Width) {
            TextSpan(int64_t(y) + row, int64_t(x) + cursor, int64_t(x) + mask.Width - 1, brushPixel);
        }
    }
    for (; k < mask.Spans.size(); ++k) {
        text(mask.Spans[k]);
    }
}

namespace {

void StretchInto(const QImage& src, uint32_t* dst, qsizetype dstStride, int32_t dx0, int32_t dy0, int32_t dw,
                 int32_t dh, const QRect& clip) {
    const int32_t sw = src.width();
    const int32_t sh = src.height();
    const int32_t cx0 = std::max(dx0, clip.left());
    const int32_t cx1 = std::min<int64_t>(int64_t(dx0) + dw - 1, clip.right());
    const int32_t cy0 = std::max(dy0, clip.top());
    const int32_t cy1 = std::min<int64_t>(int64_t(dy0) + dh - 1, clip.bottom());
    if (cx0 > cx1 || cy0 > cy1) {
        return;
    }
    std::vector<int32_t> xmap(size_t(cx1 - cx0 + 1));
    for (int32_t x = cx0; x <= cx1; ++x) {
        xmap[size_t(x - cx0)] = int32_t((int64_t(x - dx0) * sw) / dw);
    }
    int32_t lastSy = -1;
    const uint32_t* lastRow = nullptr;
    for (int32_t y = cy0; y <= cy1; ++y) {
        const int32_t sy = int32_t((int64_t(y - dy0) * sh) / dh);
        auto* out = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(dst) + y * dstStride) + cx0;
        if (sy == lastSy && lastRow != nullptr) {
            std::copy(lastRow, lastRow + xmap.size(), out);
            continue;
        }
        const auto* in = reinterpret_cast<const uint32_t*>(src.constScanLine(sy));
        if (sw == dw) {
            std::copy(in + (cx0 - dx0), in + (cx0 - dx0) + xmap.size(), out);
        } else {
            for (size_t k = 0; k < xmap.size(); ++k) {
                out[k] = in[xmap[k]];
            }
        }
        lastSy = sy;
        lastRow = out;
    }
}

QImage AsRgb32(const QImage& source) {
    if (source.format() == QImage::Format_RGB32) {
        return source;
    }
    return source.convertToFormat(QImage::Format_RGB32);
}

} // namespace

void TSurface::StretchDraw(const TRect& dest, const QImage& source) {
    if (measuring_) {
        ExtendByBox(dest.Left, dest.Top, dest.Right, dest.Bottom, 0);
        return;
    }
    if (recording_) {
        TOp op(TOp::TKind::Stretch, {dest.Left, dest.Top}, {dest.Right, dest.Bottom});
        op.Picture = source;
        Record(std::move(op));
    }
    DrawStretch(dest, source);
}

void TSurface::DrawStretch(const TRect& dest, const QImage& source) {
    if (source.isNull() || !Begin()) {
        return;
    }
    const int32_t l = std::min(dest.Left, dest.Right);
    const int32_t t = std::min(dest.Top, dest.Bottom);
    const int64_t w = std::llabs(int64_t(dest.Right) - dest.Left);
    const int64_t h = std::llabs(int64_t(dest.Bottom) - dest.Top);
    // The stretch works in the image's coordinates; the source pixel of each target
    // pixel depends only on its distance from the destination's corner.
    const int64_t il = int64_t(l) - ox_;
    const int64_t it = int64_t(t) - oy_;
    if (w == 0 || h == 0 || w > INT32_MAX || h > INT32_MAX || il < INT32_MIN || il > INT32_MAX || it < INT32_MIN ||
        it > INT32_MAX) {
        return;
    }
    const QRect clip(int(cl_ - ox_), int(ct_ - oy_), cr_ - cl_, cb_ - ct_);
    const QImage src = AsRgb32(source);
    StretchInto(src, reinterpret_cast<uint32_t*>(bits_), stride_, int32_t(il), int32_t(it), int32_t(w), int32_t(h),
                clip);
    const int64_t x0 = std::max<int64_t>(l, cl_);
    const int64_t y0 = std::max<int64_t>(t, ct_);
    const int64_t x1 = std::min<int64_t>(int64_t(l) + w, cr_) - 1;
    const int64_t y1 = std::min<int64_t>(int64_t(t) + h, cb_) - 1;
    if (x0 <= x1 && y0 <= y1) {
        Touch(int32_t(x0), int32_t(y0), int32_t(x1), int32_t(y1));
    }
}

namespace {

// Beyond this many kept figures the record is dropped: feedback that is drawn and
// erased cancels itself, so only a runaway caller gets here.
constexpr size_t kMaxRecorded = 65536;
// How far back an xor figure looks for its twin; an erase follows its draw closely.
constexpr size_t kTwinSearch = 64;

} // namespace

bool TSurface::TOp::SameFigure(const TOp& other) const {
    return Kind == other.Kind && A == other.A && B == other.B && Points == other.Points && Text == other.Text &&
           Pen == other.Pen && Brush == other.Brush && (Kind != TKind::Text || Font == other.Font) &&
           Kind != TKind::Stretch;
}

void TSurface::Record(TOp op) {
    op.Pen = Pen;
    op.Brush = Brush;
    // Drawing an xor or not-xor figure twice changes nothing, provided nothing was
    // copied over it in between: both are dropped.
    if (op.Pen.Mode != TPenMode::pmCopy) {
        const size_t stop = ops_.size() > kTwinSearch ? ops_.size() - kTwinSearch : 0;
        for (size_t k = ops_.size(); k > stop; --k) {
            const TOp& earlier = ops_[k - 1];
            if (earlier.Pen.Mode == TPenMode::pmCopy || earlier.Kind == TOp::TKind::Stretch) {
                break;
            }
            if (earlier.SameFigure(op)) {
                ops_.erase(ops_.begin() + ptrdiff_t(k - 1));
                return;
            }
        }
    }
    if (ops_.size() >= kMaxRecorded) {
        ops_.clear();
        lost_ = true;
        recording_ = false;
        return;
    }
    ops_.push_back(std::move(op));
}

void TSurface::ClearRecording() {
    ops_.clear();
    lost_ = false;
}

void TSurface::DrawOp(const TOp& op) {
    Pen = op.Pen;
    Brush = op.Brush;
    switch (op.Kind) {
    case TOp::TKind::Line:
        DrawLine(op.A, op.B);
        break;
    case TOp::TKind::Rectangle:
        BoxFigure(op.A.X, op.A.Y, op.B.X, op.B.Y, TBoxKind::Rectangle);
        break;
    case TOp::TKind::Ellipse:
        BoxFigure(op.A.X, op.A.Y, op.B.X, op.B.Y, TBoxKind::Ellipse);
        break;
    case TOp::TKind::Polygon:
        DrawPolygon(op.Points);
        break;
    case TOp::TKind::Text:
        Font = op.Font;
        DrawText(op.A.X, op.A.Y, op.Text);
        break;
    case TOp::TKind::Stretch:
        DrawStretch(TRect{op.A.X, op.A.Y, op.B.X, op.B.Y}, op.Picture);
        break;
    }
}

void TSurface::Replay() {
    const TPen pen = Pen;
    const TBrush brush = Brush;
    const TFont font = Font;
    const bool recording = recording_;
    recording_ = false;
    for (const TOp& op : ops_) {
        DrawOp(op);
    }
    recording_ = recording;
    Pen = pen;
    Brush = brush;
    Font = font;
}

QImage StretchImage(const QImage& source, int32_t width, int32_t height) {
    if (source.isNull() || width <= 0 || height <= 0) {
        return QImage();
    }
    QImage out(width, height, QImage::Format_RGB32);
    if (out.isNull()) {
        return out;
    }
    const QImage src = AsRgb32(source);
    StretchInto(src, reinterpret_cast<uint32_t*>(out.bits()), out.bytesPerLine(), 0, 0, width, height, out.rect());
    return out;
}

} // namespace kelvo
