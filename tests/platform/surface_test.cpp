#include "platform/screen.h"
#include "platform/surface.h"

#include "tests/support/application.h"

#include <gtest/gtest.h>

#include <limits>

#include <QFontInfo>
#include <QGuiApplication>

#include <functional>
#include <random>
#include <string>

using namespace kelvo;

namespace {

const auto* const kEnv = test::AddApplicationEnvironment(test::AppKind::Gui);

constexpr uint32_t kWhite = 0xFFFFFFFF;

QImage Blank(int w = 64, int h = 48) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(kWhite);
    return img;
}

QImage Noise(int w = 80, int h = 60) {
    QImage img(w, h, QImage::Format_RGB32);
    std::mt19937 rng(42);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            row[x] = 0xFF000000u | (rng() & 0xFFFFFFu);
        }
    }
    return img;
}

uint32_t Px(const QImage& img, int x, int y) { return img.pixel(x, y) | 0xFF000000u; }

int CountChanged(const QImage& before, const QImage& after) {
    int n = 0;
    for (int y = 0; y < before.height(); ++y) {
        for (int x = 0; x < before.width(); ++x) {
            n += Px(before, x, y) != Px(after, x, y);
        }
    }
    return n;
}

QRect ChangedBox(const QImage& before, const QImage& after) {
    QRect r;
    for (int y = 0; y < before.height(); ++y) {
        for (int x = 0; x < before.width(); ++x) {
            if (Px(before, x, y) != Px(after, x, y)) {
                r = r.united(QRect(x, y, 1, 1));
            }
        }
    }
    return r;
}

// Arial text of `height` pixels drawn at (x, y) without a text box on a blank 200 x 40
// picture: the box of the pixels it changed, and the surface's own measures of it.
struct TDrawnText {
    QRect Box;
    int32_t Width = 0;
    int32_t Height = 0;
};
TDrawnText DrawnText(int32_t x, int32_t y, const QString& text, int32_t height) {
    QImage img = Blank(200, 40);
    const QImage before = img;
    TSurface s(&img);
    s.Font.Name = QStringLiteral("Arial");
    s.Font.Height = -height;
    s.Brush.Style = TBrushStyle::bsClear;
    s.TextOut(x, y, text);
    return {ChangedBox(before, img), s.TextWidth(text), s.TextHeight(text)};
}

} // namespace

struct LineCase {
    const char* name;
    int dx;
    int dy;
};

class LineDirection : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineDirection, LeavesOutItsEndPixel) {
    const LineCase c = GetParam();
    QImage img = Blank();
    const QImage before = img;
    TSurface s(&img);
    s.Pen.Color = clBlack;
    s.MoveTo(30, 20);
    s.LineTo(30 + c.dx, 20 + c.dy);
    EXPECT_EQ(Px(img, 30, 20), 0xFF000000u) << "start pixel";
    EXPECT_EQ(Px(img, 30 + c.dx, 20 + c.dy), kWhite) << "end pixel";
    EXPECT_EQ(CountChanged(before, img), std::max(std::abs(c.dx), std::abs(c.dy)));
    EXPECT_EQ(s.PenPos(), (TPoint{30 + c.dx, 20 + c.dy}));
}

INSTANTIATE_TEST_SUITE_P(EightDirections, LineDirection,
                         ::testing::Values(LineCase{"East", 10, 0}, LineCase{"West", -10, 0}, LineCase{"South", 0, 10},
                                           LineCase{"North", 0, -10}, LineCase{"SouthEast", 10, 10},
                                           LineCase{"NorthWest", -10, -10}, LineCase{"NorthEast", 10, -10},
                                           LineCase{"SouthWest", -10, 10}, LineCase{"Shallow", 13, 4},
                                           LineCase{"Steep", -3, -11}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Surface, ZeroLengthLineDrawsNothingAndFarLinesAreClipped) {
    QImage img = Blank();
    const QImage before = img;
    TSurface s(&img);
    s.MoveTo(5, 5);
    s.LineTo(5, 5);
    EXPECT_EQ(CountChanged(before, img), 0);
    // A line from far outside crosses the image: only its visible pixels are drawn.
    s.MoveTo(-2000000000, 10);
    s.LineTo(2000000000, 10);
    EXPECT_EQ(CountChanged(before, img), img.width());
}

struct BoxCase {
    const char* name;
    int l, t, r, b;
};

class BoxCorners : public ::testing::TestWithParam<BoxCase> {};

TEST_P(BoxCorners, RectangleCoversLeftToRightMinusOne) {
    const BoxCase c = GetParam();
    QImage img = Blank();
    TSurface s(&img);
    s.Pen.Color = clBlack;
    s.Brush.Style = TBrushStyle::bsClear;
    s.Rectangle(c.l, c.t, c.r, c.b);
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const bool inside = x >= 10 && x <= 29 && y >= 5 && y <= 19;
            const bool edge = inside && (x == 10 || x == 29 || y == 5 || y == 19);
            ASSERT_EQ(Px(img, x, y) == 0xFF000000u, edge) << x << "," << y;
        }
    }
}

TEST_P(BoxCorners, FilledRectangleAndEllipseStayInTheirBox) {
    const BoxCase c = GetParam();
    for (bool ellipse : {false, true}) {
        QImage img = Blank();
        const QImage before = img;
        TSurface s(&img);
        s.Pen.Color = clBlack;
        s.Brush.Color = clRed;
        if (ellipse) {
            s.Ellipse(c.l, c.t, c.r, c.b);
        } else {
            s.Rectangle(c.l, c.t, c.r, c.b);
        }
        EXPECT_EQ(ChangedBox(before, img), QRect(QPoint(10, 5), QPoint(29, 19))) << ellipse;
        if (ellipse) {
            EXPECT_EQ(Px(img, 10, 5), kWhite) << "corner outside the curve";
            EXPECT_EQ(Px(img, 20, 12), 0xFFFF0000u) << "filled centre";
            // The outline touches the middle of every side of the box.
            EXPECT_EQ(Px(img, 10, 12), 0xFF000000u);
            EXPECT_EQ(Px(img, 29, 12), 0xFF000000u);
            EXPECT_EQ(Px(img, 20, 5), 0xFF000000u);
            EXPECT_EQ(Px(img, 20, 19), 0xFF000000u);
        } else {
            EXPECT_EQ(CountChanged(before, img), 20 * 15);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AnyOrder, BoxCorners,
                         ::testing::Values(BoxCase{"TopLeftFirst", 10, 5, 30, 20},
                                           BoxCase{"BottomRightFirst", 30, 20, 10, 5},
                                           BoxCase{"TopRightFirst", 30, 5, 10, 20},
                                           BoxCase{"BottomLeftFirst", 10, 20, 30, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Surface, EmptyBoxDrawsNothing) {
    QImage img = Blank();
    const QImage before = img;
    TSurface s(&img);
    s.Rectangle(10, 10, 10, 30);
    s.Ellipse(10, 10, 30, 10);
    EXPECT_EQ(CountChanged(before, img), 0);
}

struct XorFigure {
    const char* name;
    std::function<void(TSurface&)> draw;
};

class XorTwice : public ::testing::TestWithParam<std::tuple<TPenMode, int>> {};

// Every figure drawn twice in xor or not-xor mode restores the image byte for byte,
// and drawn once it changes every covered pixel exactly once.
TEST_P(XorTwice, RestoresTheImage) {
    const auto [mode, width] = GetParam();
    const std::vector<XorFigure> figures = {
        // clang-format off
        {"line", [](TSurface& s) { s.MoveTo(3, 4); s.LineTo(70, 41); }},
        {"polyline", [](TSurface& s) { s.MoveTo(5, 50); s.LineTo(40, 10); s.LineTo(75, 50); s.LineTo(5, 50); }},
        {"outlined rectangle", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsClear; s.Rectangle(60, 50, 8, 6); }},
        {"filled rectangle", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsSolid; s.Rectangle(8, 6, 60, 50); }},
        {"outlined ellipse", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsClear; s.Ellipse(2, 3, 77, 57); }},
        {"filled ellipse", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsSolid; s.Ellipse(20, 10, 31, 45); }},
        {"polygon", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsSolid; s.Polygon({{40, 5}, {75, 55}, {5, 40}}); }},
        {"text", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsClear; s.TextOut(4, 20, QStringLiteral("Roi-12 @ 90")); }},
        {"opaque text", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsSolid; s.TextOut(4, 20, QStringLiteral("l = 1.04 in")); }},
        {"clipped rectangle", [](TSurface& s) { s.Brush.Style = TBrushStyle::bsSolid; s.Rectangle(-10, -10, 20, 90); }},
        // clang-format on
    };
    for (const XorFigure& f : figures) {
        QImage img = Noise();
        const QImage original = img;
        TSurface s(&img);
        s.Pen.Mode = mode;
        s.Pen.Width = width;
        s.Pen.Color = clRed;
        s.Brush.Color = clYellow;
        s.Font.Name = QStringLiteral("Arial");
        s.Font.Height = -12;
        s.Font.Color = clLime;
        f.draw(s);
        EXPECT_GT(CountChanged(original, img), 0) << f.name;
        if (mode == TPenMode::pmXor && std::string(f.name) != "polyline") {
            // Changed once: each pixel differs from the original by one of the colours.
            for (int y = 0; y < img.height(); ++y) {
                for (int x = 0; x < img.width(); ++x) {
                    const uint32_t d = (Px(img, x, y) ^ Px(original, x, y)) & 0xFFFFFFu;
                    ASSERT_TRUE(d == 0 || d == 0xFF0000u || d == 0xFFFF00u || d == 0x00FF00u)
                        << f.name << " at " << x << "," << y << " diff " << std::hex << d;
                }
            }
        }
        f.draw(s);
        ASSERT_EQ(img, original) << f.name << " width " << width;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, XorTwice,
                         ::testing::Combine(::testing::Values(TPenMode::pmXor, TPenMode::pmNotXor),
                                            ::testing::Values(1, 3)));

TEST(Surface, NotXorWithBlackInvertsAndCopySetsThePenColour) {
    QImage img = Blank();
    TSurface s(&img);
    s.Pen.Mode = TPenMode::pmNotXor;
    s.Pen.Color = clBlack;
    s.Brush.Color = clBlack;
    s.Rectangle(0, 0, 8, 8); // a hot-point square: outlined and filled once
    EXPECT_EQ(Px(img, 0, 0), 0xFF000000u);
    EXPECT_EQ(Px(img, 4, 4), 0xFF000000u);
    EXPECT_EQ(Px(img, 8, 8), kWhite);
    s.Pen.Mode = TPenMode::pmCopy;
    s.Pen.Color = clYellow;
    s.MoveTo(20, 20);
    s.LineTo(30, 20);
    EXPECT_EQ(Px(img, 25, 20), 0xFFFFFF00u);
}

TEST(Surface, WidePenLineCoversItsWidth) {
    QImage img = Blank();
    TSurface s(&img);
    s.Pen.Width = 3;
    s.MoveTo(10, 20);
    s.LineTo(40, 20);
    for (int y = 18; y <= 22; ++y) {
        EXPECT_EQ(Px(img, 25, y) == 0xFF000000u, y >= 19 && y <= 21) << y;
    }
}

TEST(Surface, TouchedCoversExactlyTheDrawnPixels) {
    QImage img = Blank();
    TSurface s(&img);
    s.Rectangle(10, 5, 30, 20);
    EXPECT_EQ(s.Touched(), QRect(QPoint(10, 5), QPoint(29, 19)));
    s.ResetTouched();
    EXPECT_TRUE(s.Touched().isEmpty());
    s.MoveTo(-5, 3);
    s.LineTo(5, 3);
    EXPECT_EQ(s.Touched(), QRect(QPoint(0, 3), QPoint(4, 3)));
}

TEST(SurfaceText, ArialWidthIsStableAndFromLiberationSans) {
    QImage img = Blank(200, 40);
    TSurface s(&img);
    s.Font.Name = QStringLiteral("Arial");
    s.Font.Height = -12;
    EXPECT_EQ(QFontInfo(ToQFont(s.Font)).family(), QStringLiteral("Liberation Sans"));
    const int w = s.TextWidth(QStringLiteral("Roi-1"));
    EXPECT_EQ(w, 29);
    EXPECT_EQ(s.TextWidth(QStringLiteral("Roi-1")), w);
    EXPECT_EQ(s.TextWidth(QString()), 0);
    EXPECT_GT(s.TextWidth(QStringLiteral("Roi-10")), w);
    // A bigger font gives a wider text; returning gives the same width again.
    s.Font.Height = -24;
    EXPECT_GT(s.TextWidth(QStringLiteral("Roi-1")), w);
    s.Font.Height = -12;
    EXPECT_EQ(s.TextWidth(QStringLiteral("Roi-1")), w);
}

// A paint measures every label and draws it twice: measuring rasterises nothing, nor
// does a text wholly outside the image, and more texts than a first cache holds are
// rasterised once however often they are drawn again.
TEST(SurfaceText, TextsAreRasterisedOnceAndOnlyWhereTheyShow) {
    QImage img = Blank(300, 40);
    TSurface s(&img);
    s.Font.Name = QStringLiteral("Arial");
    s.Font.Height = -12;
    const int count = 6000;
    const auto each = [&](const std::function<void(const QString&)>& f) {
        for (int i = 0; i < count; ++i) f(QStringLiteral("Roi-%1").arg(i));
    };
    each([&](const QString& t) { EXPECT_GT(s.TextWidth(t), 0); });
    each([&](const QString& t) { s.TextOut(-200, 10, t); });
    EXPECT_EQ(s.TextsRasterised(), 0u) << "measured, and drawn off the image";
    for (int pass = 1; pass <= 3; ++pass) {
        each([&](const QString& t) { s.TextOut(10, 10, t); });
        EXPECT_EQ(s.TextsRasterised(), size_t(count)) << "pass " << pass;
    }
}

// While measuring nothing is drawn, and the extent holds every pixel each figure draws.
TEST(Surface, MeasuringDrawsNothingAndItsExtentHoldsWhatIsDrawn) {
    const std::function<void(TSurface&)> figures[] = {
        [](TSurface& s) { s.MoveTo(70, 9), s.LineTo(12, 40); },
        [](TSurface& s) { s.Rectangle(60, 50, 20, 30); },
        [](TSurface& s) { s.Ellipse(20, 30, 61, 52); },
        [](TSurface& s) { s.Polygon({{30, 10}, {70, 25}, {20, 45}}); },
        [](TSurface& s) { s.TextOut(21, 17, QStringLiteral("fjQ_")); },
    };
    for (const int32_t width : {1, 4}) {
        for (const auto& figure : figures) {
            QImage img = Blank(90, 70);
            TSurface s(&img);
            s.Font.Style = fsItalic;
            s.Pen.Width = width;
            s.SetMeasuring(true);
            figure(s);
            EXPECT_EQ(img, Blank(90, 70));
            s.SetMeasuring(false);
            figure(s);
            EXPECT_TRUE(s.Extent().contains(s.Touched())) << width;
            EXPECT_FALSE(s.Touched().isEmpty());
        }
    }
}

TEST(SurfaceText, TextHasItsTopLeftCornerAtThePoint) {
    const TDrawnText t = DrawnText(50, 10, QStringLiteral("HH"), 12);
    EXPECT_GE(t.Box.left(), 50);
    EXPECT_LE(t.Box.left(), 52);
    EXPECT_GE(t.Box.top(), 10);
    EXPECT_LE(t.Box.bottom(), 10 + t.Height);
    EXPECT_LE(t.Box.right(), 50 + t.Width);
}

// Qt's bounding box of a text of tabs reaches a hundred thousand pixels each way: the
// text must not be rendered at that size (under ASan, the allocation alone aborts),
// and the letters around tabs are still drawn, within their own line.
TEST(SurfaceText, TabsDoNotSizeTheTextFarBeyondItsLine) {
    const QString tabs(50, QLatin1Char('\t'));
    for (const QString& text : {tabs, QStringLiteral("H") + tabs + QStringLiteral("H")}) {
        const TDrawnText t = DrawnText(10, 10, text, 11);
        EXPECT_EQ(t.Box.isEmpty(), text == tabs);
        EXPECT_TRUE(t.Box.isEmpty() || (t.Box.left() <= 12 && t.Box.top() >= 10 && t.Box.bottom() <= 10 + t.Height));
    }
}

// Text placed at the 32-bit limits, partly or wholly off the image: only its visible
// part is drawn, in every mode, with or without a text box.
TEST(SurfaceText, TextNearTheLimitsIsClippedWithoutOverflow) {
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    const struct {
        int32_t x, y;
        bool visible;
    } places[] = {
        {kMax, kMax, false},  {kMin, kMin, false}, {kMax - 3, 5, false}, {kMin, 5, false},
        {5, kMax - 2, false}, {-8, -4, true},      {190, 35, true},
    };
    for (TBrushStyle brush : {TBrushStyle::bsClear, TBrushStyle::bsSolid}) {
        for (TPenMode mode : {TPenMode::pmCopy, TPenMode::pmXor}) {
            for (const auto& p : places) {
                QImage img = Blank(200, 40);
                const QImage before = img;
                TSurface s(&img);
                s.Font.Name = QStringLiteral("Arial");
                s.Font.Height = -12;
                s.Font.Color = clRed;
                s.Brush.Style = brush;
                s.Brush.Color = clBlue;
                s.Pen.Mode = mode;
                s.TextOut(p.x, p.y, QStringLiteral("Wg@"));
                EXPECT_EQ(CountChanged(before, img) > 0, p.visible) << p.x << ", " << p.y;
            }
        }
    }
}

TEST(SurfaceColour, TColorIsBgrAndSystemColoursResolve) {
    EXPECT_EQ(ColorToPixel(clRed), 0xFFFF0000u);
    EXPECT_EQ(ColorToPixel(clBlue), 0xFF0000FFu);
    EXPECT_EQ(ColorToPixel(RGB(1, 2, 3)), 0xFF010203u);
    EXPECT_EQ(ColorToQColor(clYellow), QColor(255, 255, 0));
    EXPECT_EQ(QColorToColor(QColor(0x12, 0x34, 0x56)), TColor(0x563412));
    EXPECT_EQ(ColorToRgb(clBtnFace) & 0xFF000000u, 0u);
    EXPECT_EQ(ColorToRgb(clGray), clGray);
}

TEST(SurfaceStretch, RepeatsOrDropsWholePixels) {
    QImage src(2, 2, QImage::Format_RGB32);
    src.setPixel(0, 0, 0xFF000001);
    src.setPixel(1, 0, 0xFF000002);
    src.setPixel(0, 1, 0xFF000003);
    src.setPixel(1, 1, 0xFF000004);
    const QImage big = StretchImage(src, 4, 4);
    ASSERT_EQ(big.size(), QSize(4, 4));
    EXPECT_EQ(Px(big, 0, 0), 0xFF000001u);
    EXPECT_EQ(Px(big, 1, 1), 0xFF000001u);
    EXPECT_EQ(Px(big, 2, 1), 0xFF000002u);
    EXPECT_EQ(Px(big, 3, 3), 0xFF000004u);
    const QImage small = StretchImage(big, 2, 2);
    EXPECT_EQ(small, src);
    EXPECT_TRUE(StretchImage(src, 0, 5).isNull());
}

// A mix of every figure, pen width, style and raster mode, with coordinates that
// cross the parts' edges.
void DrawMix(TSurface& s) {
    s.Pen = TPen{0x0000FF, TPenStyle::psSolid, 1, TPenMode::pmCopy};
    s.Brush = TBrush{0x00FF00, TBrushStyle::bsSolid};
    s.Ellipse(3, 5, 77, 52);
    s.Pen.Width = 3;
    s.Brush.Style = TBrushStyle::bsClear;
    s.Rectangle(70, 10, 20, 58);
    s.Pen = TPen{0xFF00FF, TPenStyle::psDashDot, 1, TPenMode::pmXor};
    s.MoveTo(-5, 7);
    s.LineTo(85, 41);
    s.Pen = TPen{0x123456, TPenStyle::psSolid, 1, TPenMode::pmNotXor};
    s.MoveTo(79, 0);
    s.LineTo(1, 59);
    s.Pen.Width = 4;
    s.Brush = TBrush{0x808080, TBrushStyle::bsSolid};
    s.Polygon({{10, 50}, {40, 2}, {75, 45}, {33, 33}});
    s.Ellipse(17, 13, 61, 39);
    s.Font.Name = QStringLiteral("Arial");
    s.Font.Height = -12;
    s.Font.Color = 0x00FFFF;
    s.Pen.Mode = TPenMode::pmXor;
    s.Brush.Style = TBrushStyle::bsClear;
    s.TextOut(25, 22, QStringLiteral("Roi-17 @ 45"));
}

TEST(SurfaceParts, AnyPartOfTheDrawingHoldsTheSamePixelsAsTheWhole) {
    QImage whole = Noise();
    {
        TSurface s(&whole);
        s.StretchDraw(TRect{0, 0, 80, 60}, Noise(23, 17));
        DrawMix(s);
    }
    const QRect parts[] = {{0, 0, 80, 60}, {13, 7, 31, 29}, {40, 30, 40, 30}, {0, 21, 80, 1}, {66, 0, 1, 60}};
    for (const QRect& part : parts) {
        SCOPED_TRACE(testing::Message() << part.x() << "," << part.y() << " " << part.width() << "x" << part.height());
        QImage piece = Noise().copy(part);
        TSurface s(&piece, part.topLeft());
        s.StretchDraw(TRect{0, 0, 80, 60}, Noise(23, 17));
        DrawMix(s);
        EXPECT_EQ(piece, whole.copy(part));
        EXPECT_TRUE(part.contains(s.Touched())) << "touched in the drawing's coordinates";
    }
}

TEST(SurfaceParts, ClipKeepsEverythingOutsideAndReplayFillsAnotherPartAlike) {
    QImage whole = Noise();
    TSurface full(&whole);
    DrawMix(full);
    // The mix drawn on the left half only, recorded, then replayed onto the right half.
    QImage shown = Noise();
    TSurface s(&shown);
    s.SetClip(QRect(0, 0, 40, 60));
    s.SetRecording(true);
    DrawMix(s);
    EXPECT_EQ(shown.copy(40, 0, 40, 60), Noise().copy(40, 0, 40, 60)) << "nothing outside the clip";
    s.SetClip(QRect(40, 0, 40, 60));
    s.Replay();
    EXPECT_EQ(shown, whole);
    // xor figures drawn again cancel in the record: the left half is restored by hand
    // and the record then replays to nothing more than its copy-mode figures.
    s.SetClip(QRect());
    const size_t kept = s.RecordedCount();
    s.Pen = TPen{0x123456, TPenStyle::psSolid, 4, TPenMode::pmNotXor};
    s.Brush = TBrush{0x808080, TBrushStyle::bsSolid};
    s.Ellipse(17, 13, 61, 39);
    s.Ellipse(17, 13, 61, 39);
    EXPECT_EQ(s.RecordedCount(), kept) << "draw and erase leave no trace";
    EXPECT_EQ(shown, whole);
    s.Ellipse(17, 13, 61, 39);
    EXPECT_EQ(s.RecordedCount(), kept - 1) << "erasing a figure drops its earlier draw";
    EXPECT_FALSE(s.RecordingLost());
}

TEST(Screen, PixelsPerInchIs96Offscreen) { EXPECT_EQ(ScreenPixelsPerInch(), 96); }
