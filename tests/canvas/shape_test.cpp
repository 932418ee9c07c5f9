#include "canvas/area_shapes.h"
#include "canvas/line_shapes.h"
#include "support/canvas_fixture.h"

#include <cmath>
#include <limits>

using namespace kelvo;
using kelvo::test::CanvasTest;

namespace {

struct ConversionCase {
    double zoom;
    TPoint screen;
    TPoint stored;
    TPoint shown;
};

} // namespace

class ShapeModel : public CanvasTest {};

TEST_F(ShapeModel, AddPointRoundsHalvesToEvenBothWays) {
    const ConversionCase cases[] = {
        {1.5, {3, 3}, {2, 2}, {3, 3}},       {2.0, {5, 7}, {2, 4}, {4, 8}}, // 2.5 -> 2, 3.5 -> 4
        {2.0, {-5, -7}, {-2, -4}, {-4, -8}},                                // -2.5 -> -2
        {1.0, {-3, 17}, {-3, 17}, {-3, 17}}, {0.5, {3, 5}, {6, 10}, {3, 5}},
        {4.0, {10, 14}, {2, 4}, {8, 16}}, // 2.5 -> 2, 3.5 -> 4
        {0.333, {1, 2}, {3, 6}, {1, 2}},  // 3.003 -> 3, 6.006 -> 6; 0.999 -> 1, 1.998 -> 2
    };
    for (const ConversionCase& c : cases) {
        ShapeSettings.Zoom = c.zoom;
        TMyRuleLine shape;
        shape.AddPoint(c.screen);
        ASSERT_EQ(shape.PointCount(), 1);
        EXPECT_EQ(shape.Points[0], c.stored) << "zoom " << c.zoom;
        EXPECT_EQ(shape.GetPoint(0), c.shown) << "zoom " << c.zoom;
    }
}

TEST_F(ShapeModel, OffsetsAreConvertedBeforeAdding) {
    struct Case {
        int32_t d;
        int32_t moved;
    };
    // At zoom 4: 1 -> 0.25 -> 0, 2 -> 0.5 -> 0, 6 -> 1.5 -> 2, 10 -> 2.5 -> 2, -6 -> -2.
    const Case cases[] = {{1, 0}, {2, 0}, {6, 2}, {10, 2}, {-6, -2}, {-2, 0}};
    ShapeSettings.Zoom = 4.0;
    for (const Case& c : cases) {
        TMyRuleLine shape;
        shape.Points = {{3, 3}, {7, 7}};
        shape.MovePoint(0, c.d, c.d);
        EXPECT_EQ(shape.Points[0], (TPoint{3 + c.moved, 3 + c.moved})) << c.d;
        shape.MovePointX(1, c.d);
        shape.MovePointY(1, -c.d);
        EXPECT_EQ(shape.Points[1], (TPoint{7 + c.moved, 7 - c.moved})) << c.d;
    }
    // MoveBy moves every point by the converted offset (1.5 -> 2, -1.5 -> -2).
    TMyRuleLine shape;
    shape.Points = {{0, 0}, {10, 10}};
    shape.MoveBy(6, -6);
    EXPECT_EQ(shape.Points[0], (TPoint{2, -2}));
    EXPECT_EQ(shape.Points[1], (TPoint{12, 8}));
}

TEST_F(ShapeModel, GetPointOutsideTheStoredPointsIsOrigin) {
    ShapeSettings.Zoom = 2.0;
    TMyRuleLine shape;
    shape.AddPoint({10, 20});
    EXPECT_EQ(shape.GetPoint(shape.PointCount()), (TPoint{0, 0}));
    EXPECT_EQ(shape.GetPoint(-1), (TPoint{0, 0}));
    EXPECT_EQ(shape.GetPoint(std::numeric_limits<int32_t>::max()), (TPoint{0, 0}));
    shape.MovePoint(5, 10, 10); // ignored
    EXPECT_EQ(shape.PointCount(), 1);
    EXPECT_EQ(shape.GetPoint(0), (TPoint{10, 20}));
}

TEST_F(ShapeModel, BoundingBoxDefaultsAndClamps) {
    TMyRuleLine empty;
    EXPECT_EQ(empty.TopLeft(), (TPoint{10000, 10000}));
    EXPECT_EQ(empty.BottomRight(), (TPoint{0, 0}));
    EXPECT_EQ(empty.Width(), 10000);
    EXPECT_EQ(empty.Height(), 10000);

    TMyRuleLine shape;
    shape.Points = {{20000, 30}, {-5, 12000}, {40, -7}};
    EXPECT_EQ(shape.TopLeft(), (TPoint{-5, -7}));
    EXPECT_EQ(shape.BottomRight(), (TPoint{20000, 12000}));

    TMyRuleLine high;
    high.Points = {{12000, 15000}};
    EXPECT_EQ(high.TopLeft(), (TPoint{10000, 10000})) << "a coordinate above 10000 never raises TopLeft";
    TMyRuleLine low;
    low.Points = {{-4, -9}};
    EXPECT_EQ(low.BottomRight(), (TPoint{0, 0})) << "a negative coordinate never lowers BottomRight";
    EXPECT_EQ(low.Width(), 4);
    EXPECT_EQ(low.Height(), 9);
}

TEST_F(ShapeModel, SetShapePointGrowsWithZerosAndReplaces) {
    ShapeSettings.Zoom = 2.0;
    TMySector sector;
    SetShapePoint(&sector, 2, {10, 20});
    ASSERT_EQ(sector.PointCount(), 2);
    EXPECT_EQ(sector.Points[0], (TPoint{0, 0}));
    EXPECT_EQ(sector.Points[1], (TPoint{5, 10}));
    SetShapePoint(&sector, 1, {4, 6});
    EXPECT_EQ(sector.PointCount(), 2);
    EXPECT_EQ(sector.Points[0], (TPoint{2, 3}));
    SetShapePoint(&sector, 0, {1, 1}); // below 1: ignored
    SetShapePoint(nullptr, 1, {1, 1});
    EXPECT_EQ(sector.PointCount(), 2);
}

TEST_F(ShapeModel, CaptionKeepsFiftyCharactersAndNeverSplitsOne) {
    TMyRuleLine shape;
    shape.SetCaption(QString(60, QLatin1Char('x')));
    EXPECT_EQ(shape.Caption(), QString(50, QLatin1Char('x')));
    shape.SetCaption(QStringLiteral("short"));
    EXPECT_EQ(shape.Caption(), QStringLiteral("short"));

    // 49 letters then a character outside the basic plane (two UTF-16 units): it is
    // the 50th character and is kept whole.
    const QString clef = QString::fromUcs4(U"\U0001D11E");
    shape.SetCaption(QString(49, QLatin1Char('a')) + clef + QStringLiteral("bcdef"));
    EXPECT_EQ(shape.Caption(), QString(49, QLatin1Char('a')) + clef);

    // 50 surrogate pairs and more: 50 whole characters, no lone surrogate.
    QString pairs;
    for (int i = 0; i < 55; ++i) {
        pairs += clef;
    }
    shape.SetCaption(pairs);
    EXPECT_EQ(shape.Caption().size(), 100);
    EXPECT_FALSE(shape.Caption().back().isHighSurrogate());

    // A letter with a combining accent at position 50/51 is dropped as a whole.
    const QString accented = QString(49, QLatin1Char('a')) + QStringLiteral("e\u0301") + QStringLiteral("zz");
    shape.SetCaption(accented);
    EXPECT_EQ(shape.Caption(), QString(49, QLatin1Char('a')));
}

TEST_F(ShapeModel, SelectAndDeselectDrawOnlyOnChangeAndCancelOut) {
    TMyRectangle shape;
    shape.Canvas = &surface_;
    shape.Points = {{20, 20}, {60, 50}};
    const QImage before = image_;
    shape.Deselect();
    EXPECT_EQ(image_, before) << "deselecting an unselected shape draws nothing";
    shape.Select();
    EXPECT_TRUE(shape.Selected);
    EXPECT_NE(image_, before);
    EXPECT_NE(Px(image_, 16, 16), Px(before, 16, 16)) << "hot square of corner (20, 20) starts at 16";
    EXPECT_EQ(Px(image_, 15, 15), Px(before, 15, 15));
    const QImage selected = image_;
    shape.Select();
    EXPECT_EQ(image_, selected) << "selecting a selected shape draws nothing";
    shape.Deselect();
    EXPECT_FALSE(shape.Selected);
    EXPECT_EQ(image_, before);
}

TEST_F(ShapeModel, CoincidingHotPointsCancel) {
    TMyRectangle shape;
    shape.Canvas = &surface_;
    shape.Points = {{30, 30}, {30, 30}};
    const QImage before = image_;
    shape.Select();
    EXPECT_EQ(image_, before);
    EXPECT_FALSE(shape.HitTest({30, 30}));
}

TEST_F(ShapeModel, RoundingSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(RoundToInt32(2.5), 2);
    EXPECT_EQ(RoundToInt32(3.5), 4);
    EXPECT_EQ(RoundToInt32(-2.5), -2);
    EXPECT_EQ(RoundToInt32(1e300), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(RoundToInt32(-std::numeric_limits<double>::infinity()), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(RoundToInt32(std::nan("")), 0);
    // A zoom that is no positive number (written around the canvas) converts as 1.
    ShapeSettings.Zoom = 0.0;
    TMyRuleLine shape;
    shape.AddPoint({7, 9});
    EXPECT_EQ(shape.Points[0], (TPoint{7, 9}));
}

TEST_F(ShapeModel, PresetsSetTheSurfaceCompletely) {
    TMyRuleLine shape;
    shape.Canvas = &surface_;
    shape.Pen = TPen{clYellow, TPenStyle::psDash, 3, TPenMode::pmCopy};
    shape.Font.Color = clYellow;
    ShapeSettings.ColorOfShadow = clGray;
    ShapeSettings.ColorOfHot = clRed;

    shape.PrepareShadowPen();
    EXPECT_EQ(surface_.Pen, (TPen{clGray, TPenStyle::psDash, 3, TPenMode::pmCopy}));
    EXPECT_EQ(surface_.Brush.Style, TBrushStyle::bsClear);
    shape.PrepareShadowText();
    EXPECT_EQ(surface_.Font.Color, clBlack) << "shadow text is black whatever ColorOfShadow is";
    EXPECT_EQ(shape.Font.Color, clYellow) << "the shape's own font is untouched";
    EXPECT_EQ(surface_.Pen.Color, clYellow);
    shape.PrepareXorPen();
    EXPECT_EQ(surface_.Pen, (TPen{clRed, TPenStyle::psSolid, 3, TPenMode::pmXor}));
    shape.PrepareHotPen();
    EXPECT_EQ(surface_.Pen, (TPen{clRed, TPenStyle::psSolid, 3, TPenMode::pmNotXor}));
    EXPECT_EQ(surface_.Brush, (TBrush{clRed, TBrushStyle::bsSolid}));
    shape.PrepareNormalPen();
    EXPECT_EQ(surface_.Pen, (TPen{clYellow, TPenStyle::psDash, 3, TPenMode::pmCopy}));
    EXPECT_EQ(surface_.Font.Color, clYellow);
}

// Every preset from the same starting surface: which parts it sets, and which it must
// leave as they were (feedback and hot points keep the surface's font; a clear brush
// keeps its colour).
TEST_F(ShapeModel, EachPresetSetsItsPartsAndLeavesTheRest) {
    struct Case {
        const char* name;
        void (*prepare)(TMyLine&);
        TPen pen;
        TBrush brush;
        TColor fontColor;
        int32_t fontHeight;
    };
    const TBrush untouchedClear{clAqua, TBrushStyle::bsClear};
    const Case cases[] = {
        // clang-format off
        {"normal", [](TMyLine& s) { s.PrepareNormalPen(); }, {clYellow, TPenStyle::psDot, 2, TPenMode::pmCopy},
         untouchedClear, clLime, -20},
        {"shadow", [](TMyLine& s) { s.PrepareShadowPen(); }, {clGray, TPenStyle::psDot, 2, TPenMode::pmCopy},
         untouchedClear, clLime, -20},
        {"shadow text", [](TMyLine& s) { s.PrepareShadowText(); }, {clYellow, TPenStyle::psDot, 2, TPenMode::pmCopy},
         untouchedClear, clBlack, -20},
        {"xor", [](TMyLine& s) { s.PrepareXorPen(); }, {clRed, TPenStyle::psSolid, 2, TPenMode::pmXor},
         untouchedClear, clNavy, -9},
        {"hot", [](TMyLine& s) { s.PrepareHotPen(); }, {clTeal, TPenStyle::psSolid, 2, TPenMode::pmNotXor},
         {clTeal, TBrushStyle::bsSolid}, clNavy, -9},
        {"arrow", [](TMyLine& s) { s.PrepareArrowBrush(); }, {clYellow, TPenStyle::psDot, 2, TPenMode::pmCopy},
         {clYellow, TBrushStyle::bsSolid}, clLime, -20},
        // clang-format on
    };
    ShapeSettings.ColorOfShadow = clGray;
    ShapeSettings.ColorOfHot = clTeal;
    for (const Case& c : cases) {
        surface_.Pen = TPen{clWhite, TPenStyle::psDashDot, 7, TPenMode::pmNotXor};
        surface_.Brush = TBrush{clAqua, TBrushStyle::bsSolid};
        surface_.Font.Color = clNavy;
        surface_.Font.Height = -9;
        TMyLine shape;
        shape.Canvas = &surface_;
        shape.Pen = TPen{clYellow, TPenStyle::psDot, 2, TPenMode::pmXor};
        shape.Font.Color = clLime;
        shape.Font.Height = -20;
        c.prepare(shape);
        EXPECT_EQ(surface_.Pen, c.pen) << c.name;
        EXPECT_EQ(surface_.Brush, c.brush) << c.name;
        EXPECT_EQ(surface_.Font.Color, c.fontColor) << c.name;
        EXPECT_EQ(surface_.Font.Height, c.fontHeight) << c.name;
    }
}
