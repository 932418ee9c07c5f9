#include "canvas/area_shapes.h"
#include "support/canvas_fixture.h"

using namespace kelvo;
using kelvo::test::CanvasTest;

class AreaShapes : public CanvasTest {
protected:
    static TMyRectangle* Spanned(TMyRectangle* r, TPoint a, TPoint b) {
        r->Points = {a, b};
        return r;
    }
};

TEST_F(AreaShapes, RectangleHotPointsAreItsCornersInOrder) {
    TMyRectangle r;
    Spanned(&r, {10, 10}, {50, 30});
    const TPoint corners[] = {{10, 10}, {50, 10}, {50, 30}, {10, 30}};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(r.HotPointAt(corners[k]), k + 1);
        EXPECT_EQ(r.HotPointAt({corners[k].X - 4, corners[k].Y + 3}), k + 1) << "square from P-4 to P+3";
        EXPECT_EQ(r.HotPointAt({corners[k].X + 4, corners[k].Y}), -1);
    }
    EXPECT_EQ(r.HotPointAt({30, 20}), -1);

    TMyRectangle reversed;
    Spanned(&reversed, {50, 30}, {10, 10});
    EXPECT_EQ(reversed.HotPointAt({50, 30}), 1);
    EXPECT_EQ(reversed.HotPointAt({10, 30}), 2);
}

TEST_F(AreaShapes, WholeBoxIsTheBodyWhicheverWayItWasDrawn) {
    for (bool reversed : {false, true}) {
        TMyRectangle r;
        if (reversed) {
            Spanned(&r, {50, 30}, {10, 10});
        } else {
            Spanned(&r, {10, 10}, {50, 30});
        }
        EXPECT_TRUE(r.HitTest({10, 20}));
        EXPECT_TRUE(r.Selected) << "a hit selects";
        EXPECT_TRUE(r.HitTest({30, 20})) << "the inside counts";
        EXPECT_FALSE(r.HitTest({50, 20})) << "right edge excluded";
        EXPECT_FALSE(r.Selected) << "a miss deselects";
        EXPECT_FALSE(r.HitTest({30, 30})) << "bottom edge excluded";
    }
    TMyEllipse e;
    e.Points = {{10, 10}, {50, 30}};
    EXPECT_TRUE(e.HitTest({11, 11})) << "corner of the box, outside the curve";
}

TEST_F(AreaShapes, MovingAHotPointChangesTheRightCoordinates) {
    struct Case {
        int32_t hot;
        TPoint p0, p1;
    };
    const Case cases[] = {
        {1, {15, 7}, {50, 30}},  {2, {10, 7}, {55, 30}},  {3, {10, 10}, {55, 27}},
        {4, {15, 10}, {50, 27}}, {0, {10, 10}, {50, 30}}, {-1, {10, 10}, {50, 30}},
    };
    for (const Case& c : cases) {
        TMyRectangle r;
        Spanned(&r, {10, 10}, {50, 30});
        r.HotPoint = c.hot;
        r.MoveHotPoint(5, -3);
        EXPECT_EQ(r.Points[0], c.p0) << "hot point " << c.hot;
        EXPECT_EQ(r.Points[1], c.p1) << "hot point " << c.hot;
    }
}

TEST_F(AreaShapes, ResizingFeedbackFollowsTheHotPointAndErasesItself) {
    TMyRectangle r;
    r.Canvas = &surface_;
    Spanned(&r, {10, 10}, {50, 30});
    r.HotPoint = 2;
    const QImage before = image_;
    r.DrawResizing({50, 10}, {55, 7});
    // The figure (10, 7)-(55, 30): its top row is 7 and its right column 54.
    EXPECT_NE(Px(image_, 30, 7), Px(before, 30, 7));
    EXPECT_NE(Px(image_, 54, 20), Px(before, 54, 20));
    EXPECT_EQ(Px(image_, 30, 10), Px(before, 30, 10));
    r.DrawResizing({50, 10}, {55, 7});
    EXPECT_EQ(image_, before);
}

TEST_F(AreaShapes, LabelStandsCentredUnderTheBoxWithItsShadowOffByOne) {
    TMyRectangle r;
    r.Canvas = &surface_;
    r.Font.Name = QStringLiteral("Arial");
    r.Font.Height = -12;
    Spanned(&r, {10, 10}, {50, 30});
    surface_.Font = r.Font;
    QString label;
    for (const char* candidate : {"Roi", "abcd", "xyz", "Roi-", "ab", "nnn", "Roi-1"}) {
        if (surface_.TextWidth(QString::fromLatin1(candidate)) == 20) {
            label = QString::fromLatin1(candidate);
            break;
        }
    }
    ASSERT_FALSE(label.isEmpty()) << "a text 20 pixels wide";
    for (bool shadow : {false, true}) {
        image_ = GreyPicture(200, 120);
        r.DrawLabel(label, shadow);
        QImage expected = GreyPicture(200, 120);
        TSurface ref(&expected);
        ref.Font = r.Font;
        ref.Font.Color = clBlack;
        ref.Brush.Style = TBrushStyle::bsClear;
        ref.TextOut(shadow ? 21 : 20, shadow ? 31 : 30, label);
        EXPECT_EQ(image_, expected) << "shadow " << shadow;
    }
}

TEST_F(AreaShapes, WithoutShadowOnlyOutlineAndName) {
    ShapeSettings.Shadow = false;
    ShapeSettings.DICOMStyle = true;
    for (bool ellipse : {false, true}) {
        image_ = GreyPicture(200, 120);
        const QImage before = image_;
        TMyEllipse e;
        TMyRectangle rect;
        TMyRectangle& r = ellipse ? e : rect;
        r.Canvas = &surface_;
        r.Pen.Color = clYellow;
        r.Font.Color = clYellow;
        Spanned(&r, {10, 10}, {50, 30});
        r.SetCaption(QStringLiteral("Roi-1"));
        r.Draw();
        int black = 0;
        int yellowBelow = 0;
        for (int y = 0; y < image_.height(); ++y) {
            for (int x = 0; x < image_.width(); ++x) {
                black += Px(image_, x, y) == 0xFF000000u;
                yellowBelow += y >= 30 && Px(image_, x, y) == 0xFFFFFF00u;
            }
        }
        EXPECT_EQ(black, 0) << "no shadow copy";
        EXPECT_GT(yellowBelow, 0) << "the name under the box";
        EXPECT_EQ(Px(image_, 30, 10), 0xFFFFFF00u) << "top of the outline";
        EXPECT_EQ(Px(image_, 30, 20), Px(before, 30, 20)) << "not filled";
    }
}
