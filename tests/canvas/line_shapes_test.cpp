#include "canvas/line_shapes.h"
#include "support/canvas_fixture.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace kelvo;
using kelvo::test::CanvasTest;

class LineShapes : public CanvasTest {};

// How far the centre of pixel (x, y) lies inside the triangle: the least distance to an
// edge, negative outside.
static double DepthInTriangle(const TPoint (&t)[3], int x, int y) {
    const double area = double(t[1].X - t[0].X) * (t[2].Y - t[0].Y) - double(t[1].Y - t[0].Y) * (t[2].X - t[0].X);
    double depth = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 3; ++i) {
        const TPoint a = t[i], b = t[(i + 1) % 3];
        const double ex = b.X - a.X, ey = b.Y - a.Y;
        const double cross = ex * (y - a.Y) - ey * (x - a.X);
        depth = std::min(depth, (area > 0 ? cross : -cross) / std::hypot(ex, ey));
    }
    return depth;
}

TEST_F(LineShapes, RuleLineShowsInchesAtAnyZoom) {
    struct Case {
        TPoint end;
        const char* text;
    };
    const Case cases[] = {
        {{96, 0}, "l =      1.00 in"},
        {{100, 0}, "l =      1.04 in"},
        {{0, 0}, "l =      0.00 in"},
        {{0, 960}, "l =     10.00 in"},
    };
    for (double zoom : {1.0, 2.0, 0.5, 1.5, 4.0}) {
        for (const Case& c : cases) {
            ShapeSettings.Zoom = zoom;
            TMyRuleLine rule;
            rule.Canvas = &surface_;
            rule.Points = {{0, 0}, c.end};
            rule.Draw();
            EXPECT_EQ(rule.Caption(), QString::fromLatin1(c.text)) << "zoom " << zoom;
        }
    }
}

TEST_F(LineShapes, RuleLineLabelStandsAtTheSecondPoint) {
    TMyRuleLine rule;
    rule.Canvas = &surface_;
    rule.Font.Color = clYellow;
    rule.Points = {{10, 10}, {106, 10}};
    ShapeSettings.Shadow = false;
    rule.Draw();
    QImage expected = GreyPicture(200, 120);
    TSurface ref(&expected);
    ref.Pen.Color = clBlack;
    ref.MoveTo(10, 10);
    ref.LineTo(106, 10);
    ref.Font = rule.Font;
    ref.Brush.Style = TBrushStyle::bsClear;
    ref.TextOut(106, 10, QStringLiteral("l =      1.00 in"));
    EXPECT_EQ(image_, expected);
}

TEST_F(LineShapes, SectorShowsTheAngleAtItsVertex) {
    struct Case {
        TPoint a, v, b;
        const char* text;
    };
    const Case cases[] = {
        {{100, 0}, {0, 0}, {0, 100}, " @  90.00"},
        {{0, 100}, {0, 0}, {100, 0}, " @  90.00"}, // the order of the arms does not matter
        {{100, 0}, {0, 0}, {100, 100}, " @  45.00"},
        {{0, 0}, {50, 0}, {100, 0}, " @ 180.00"},
        {{100, 0}, {0, 0}, {50, 0}, " @   0.00"},
    };
    for (const Case& c : cases) {
        TMySector sector;
        sector.Points = {c.a, c.v, c.b};
        EXPECT_EQ(sector.AngleText(c.a, c.v, c.b), QString::fromLatin1(c.text));
    }
    TMySector two;
    two.Points = {{100, 0}, {0, 0}};
    EXPECT_EQ(two.AngleText({100, 0}, {0, 0}, {0, 100}), QString()) << "fewer than three points";
}

TEST_F(LineShapes, UndefinedAnglesNeverShowNan) {
    TMySector sector;
    sector.Canvas = &surface_;
    // An arm of length zero: no angle, and drawing goes on.
    sector.Points = {{0, 0}, {0, 0}, {30, 40}};
    EXPECT_EQ(sector.AngleText({0, 0}, {0, 0}, {30, 40}), QString());
    EXPECT_EQ(sector.AngleText({30, 40}, {0, 0}, {0, 0}), QString());
    sector.Draw();
    // Nearly collinear points whose cosine rounds outside [-1, 1].
    for (int k = 1; k < 400; ++k) {
        for (const auto& [a, v, b] : {std::tuple{TPoint{0, 0}, TPoint{k, 3 * k}, TPoint{2 * k + 1, 6 * k + 3}},
                                      std::tuple{TPoint{7, 3}, TPoint{7 + k, 3 + 7 * k}, TPoint{7 + 3 * k, 3 + 21 * k}},
                                      std::tuple{TPoint{0, 0}, TPoint{3 * k, k}, TPoint{k, k / 3}}}) {
            sector.Points = {a, v, b};
            const QString text = sector.AngleText(a, v, b);
            ASSERT_FALSE(text.contains(QStringLiteral("nan"), Qt::CaseInsensitive)) << k;
            ASSERT_TRUE(text.isEmpty() || text.startsWith(QStringLiteral(" @ "))) << k;
        }
    }
}

TEST_F(LineShapes, ArrowWingsOfTheThreeExamples) {
    struct Case {
        TPoint from, to, w1, w2;
    };
    const Case cases[] = {
        {{0, 0}, {100, 100}, {93, 89}, {89, 94}},
        {{100, 100}, {200, 100}, {188, 103}, {188, 96}},
        {{100, 100}, {100, 200}, {96, 188}, {103, 188}},
    };
    for (const Case& c : cases) {
        const auto [w1, w2] = TMyLine::ArrowWings(c.to, c.from);
        EXPECT_EQ(w1, c.w1) << c.to.X << "," << c.to.Y;
        EXPECT_EQ(w2, c.w2) << c.to.X << "," << c.to.Y;
    }
}

TEST_F(LineShapes, LineDrawsAFilledArrowheadAtItsTip) {
    TMyLine line;
    line.Canvas = &surface_;
    line.Pen.Color = clYellow;
    line.Points = {{100, 100}, {150, 100}};
    ShapeSettings.Shadow = false;
    line.Draw();
    const auto [w1, w2] = TMyLine::ArrowWings({150, 100}, {100, 100});
    const TPoint head[3] = {{150, 100}, w1, w2};
    const uint32_t grey = Px(GreyPicture(), 0, 0);
    int inside = 0;
    // Pixels on the head's edges depend on the fill rule; those a pixel or more inside
    // or outside do not.
    for (int y = 85; y <= 115; ++y) {
        for (int x = 125; x <= 165; ++x) {
            const double depth = DepthInTriangle(head, x, y);
            const bool onShaft = y == 100 && x <= 150;
            if (depth >= 1.0) {
                ++inside;
                EXPECT_EQ(Px(image_, x, y), 0xFFFFFF00u) << "inside the head at " << x << "," << y;
            } else if (depth <= -1.5 && !onShaft) {
                EXPECT_EQ(Px(image_, x, y), grey) << "outside the head at " << x << "," << y;
            }
        }
    }
    EXPECT_GE(inside, 10) << "a head, not a line";
}

class SegmentHitTest : public CanvasTest {};

TEST_F(SegmentHitTest, VerticalSegmentsSelectAndDeselect) {
    for (bool bottomUp : {false, true}) {
        TMyRuleLine line;
        line.Canvas = &surface_;
        line.Points = bottomUp ? std::vector<TPoint>{{50, 80}, {50, 20}} : std::vector<TPoint>{{50, 20}, {50, 80}};
        struct Probe {
            TPoint p;
            bool hit;
        };
        const Probe probes[] = {
            {{53, 50}, true}, {{47, 50}, true},  {{54, 50}, false}, {{46, 50}, true},
            {{50, 20}, true}, {{50, 80}, false}, {{50, 19}, false}, {{45, 50}, false},
        };
        for (const Probe& pr : probes) {
            line.Selected = false;
            EXPECT_EQ(line.HitTest(pr.p), pr.hit) << pr.p.X << "," << pr.p.Y << " bottomUp " << bottomUp;
            EXPECT_EQ(line.Selected, pr.hit) << "a vertical segment selects on a hit and deselects on a miss";
        }
        line.Selected = true;
        EXPECT_TRUE(line.HitTest({51, 40}));
        EXPECT_TRUE(line.Selected) << "a selected line clicked on its vertical segment stays selected";
    }
}

TEST_F(SegmentHitTest, SlantedSegmentsUseAVerticalToleranceAndKeepTheSelection) {
    TMyRuleLine flat;
    flat.Points = {{20, 40}, {120, 40}};
    EXPECT_TRUE(flat.HitTest({70, 40}));
    EXPECT_TRUE(flat.HitTest({70, 36})) << "4 pixels above";
    EXPECT_TRUE(flat.HitTest({70, 43}));
    EXPECT_FALSE(flat.HitTest({70, 44})) << "the grown box excludes its bottom edge";
    EXPECT_FALSE(flat.HitTest({70, 45})) << "5 pixels below";
    EXPECT_FALSE(flat.Selected) << "slanted segments do not select";
    flat.Selected = true;
    EXPECT_FALSE(flat.HitTest({70, 60}));
    EXPECT_TRUE(flat.Selected) << "nor deselect";
    EXPECT_TRUE(flat.HitTest({17, 40})) << "within the grown box";
    EXPECT_FALSE(flat.HitTest({124, 40})) << "right edge of the grown box is excluded";

    TMyRuleLine steep;
    steep.Points = {{0, 0}, {10, 100}};
    EXPECT_TRUE(steep.HitTest({5, 52}));
    EXPECT_FALSE(steep.HitTest({6, 50})) << "one pixel beside a steep segment is 10 pixels off vertically";

    TMyRuleLine single;
    single.Points = {{5, 5}};
    EXPECT_FALSE(single.HitTest({5, 5}));
}

TEST_F(SegmentHitTest, HotPointsAreTheDrawnSquaresAndTheHigherIndexWins) {
    TMyPolyLine poly;
    poly.Points = {{10, 10}, {40, 10}, {40, 10}, {40, 60}};
    EXPECT_EQ(poly.HotPointAt({6, 6}), 0);
    EXPECT_EQ(poly.HotPointAt({13, 13}), 0);
    EXPECT_EQ(poly.HotPointAt({14, 10}), -1);
    EXPECT_EQ(poly.HotPointAt({5, 10}), -1);
    EXPECT_EQ(poly.HotPointAt({40, 10}), 2) << "of two coinciding vertices the higher index";
    EXPECT_EQ(poly.HotPointAt({100, 100}), -1);
    EXPECT_EQ(poly.HotPoint, -1);
}

TEST_F(SegmentHitTest, ResizingFeedbackDrawsOnlyTheSegmentsAtTheHotPoint) {
    struct Case {
        int32_t hot;
        bool first;
        bool second;
    };
    const Case cases[] = {{0, true, false}, {1, true, true}, {2, false, true}, {-1, false, false}, {3, false, false}};
    for (const Case& c : cases) {
        image_ = GreyPicture(200, 120);
        const QImage before = image_;
        TMyPolyLine poly;
        poly.Canvas = &surface_;
        poly.Points = {{10, 10}, {50, 10}, {50, 50}};
        poly.HotPoint = c.hot;
        poly.DrawResizing({0, 0}, {0, 0});
        EXPECT_EQ(Px(image_, 30, 10) != Px(before, 30, 10), c.first) << c.hot;
        EXPECT_EQ(Px(image_, 50, 30) != Px(before, 50, 30), c.second) << c.hot;
        poly.DrawResizing({0, 0}, {0, 0});
        EXPECT_EQ(image_, before);
    }
}

TEST_F(SegmentHitTest, PolylineLabelIsCentredUnderItsBoxEvenWhenWider) {
    ShapeSettings.Zoom = 2.0;
    TMyPolyLine poly;
    poly.Canvas = &surface_;
    poly.Font.Name = QStringLiteral("Arial");
    poly.Font.Height = -12;
    poly.Points = {{50, 20}, {55, 25}}; // screen box (100, 40)-(110, 50)
    const QString text = QStringLiteral("Roi-123456");
    surface_.Font = poly.Font;
    const int32_t w = surface_.TextWidth(text);
    ASSERT_GT(w, 10);
    const int32_t x = 100 + (10 - w) / 2; // rounds towards zero
    ASSERT_LT(x, 100);
    for (bool shadow : {false, true}) {
        image_ = GreyPicture(200, 120);
        poly.DrawLabel(text, shadow);
        QImage expected = GreyPicture(200, 120);
        TSurface ref(&expected);
        ref.Font = poly.Font;
        if (shadow) {
            ref.Font.Color = clBlack;
        }
        ref.Brush.Style = TBrushStyle::bsClear;
        ref.TextOut(x + (shadow ? 1 : 0), 50 + (shadow ? 1 : 0), text);
        EXPECT_EQ(image_, expected) << "shadow " << shadow;
    }
}

TEST_F(LineShapes, FormatsFixedTwoDecimalsRightAligned) {
    EXPECT_EQ(FormatFixed2(1.0, 9), QStringLiteral("     1.00"));
    EXPECT_EQ(FormatFixed2(90.0, 6), QStringLiteral(" 90.00"));
    EXPECT_EQ(FormatFixed2(1234567.891, 9), QStringLiteral("1234567.89"));
    // What rounds to zero is zero, without a sign.
    EXPECT_EQ(FormatFixed2(-0.001, 6), QStringLiteral("  0.00"));
    EXPECT_EQ(FormatFixed2(-0.0, 0), QStringLiteral("0.00"));
    EXPECT_EQ(FormatFixed2(-0.006, 0), QStringLiteral("-0.01"));
}

// Measurements use the decimal separator of the user's number format, and never group
// digits.
TEST_F(LineShapes, MeasurementsUseTheLocaleDecimalSeparator) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    TMyRuleLine rule;
    rule.Canvas = &surface_;
    rule.Points = {{0, 0}, {100, 0}};
    rule.Draw();
    EXPECT_EQ(rule.Caption(), QStringLiteral("l =      1,04 in"));
    rule.Points = {{0, 0}, {96 * 12345, 0}};
    rule.Draw();
    EXPECT_EQ(rule.Caption(), QStringLiteral("l =  12345,00 in"));
    TMySector sector;
    sector.Points = {{100, 0}, {0, 0}, {0, 100}};
    EXPECT_EQ(sector.AngleText(sector.Points[0], sector.Points[1], sector.Points[2]), QStringLiteral(" @  90,00"));
    QLocale::setDefault(saved);
}
