// Shapes and the canvas at coordinates near the 32-bit limits: nothing overflows (the
// sanitizer build stops at the first signed overflow), moves never wrap to the other
// side, and stored picture coordinates stay within kMaxImageCoordinate.
#include "canvas/area_shapes.h"
#include "canvas/line_shapes.h"
#include "canvas/my_cad.h"
#include "support/canvas_fixture.h"

#include <QTest>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace kelvo;
using kelvo::test::CanvasTest;

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

struct Kind {
    const char* name;
    std::function<std::unique_ptr<TMyShape>()> make;
};

const Kind kKinds[] = {
    {"line", [] { return std::make_unique<TMyLine>(); }},
    {"ruler", [] { return std::make_unique<TMyRuleLine>(); }},
    {"polyline", [] { return std::make_unique<TMyPolyLine>(); }},
    {"sector", [] { return std::make_unique<TMySector>(); }},
    {"rectangle", [] { return std::make_unique<TMyRectangle>(); }},
    {"ellipse", [] { return std::make_unique<TMyEllipse>(); }},
};

// Screen points at and next to the limits, and ordinary ones.
const TPoint kFar[] = {{kMax, kMax}, {kMin, kMin}, {kMax, kMin}, {kMin + 3, kMax - 2}, {0, kMax}, {kMax, 5}, {10, 10}};

} // namespace

class ExtremeCoordinates : public CanvasTest {};

// Every operation of every kind, with stored points far out (which the screen conversion
// saturates at zoom 32), feedback spanned between opposite limits and moves of 2^31.
TEST_F(ExtremeCoordinates, EveryShapeOperationStaysDefined) {
    const std::vector<std::vector<TPoint>> stored = {
        {{kMax, kMax}, {kMin, kMin}, {kMax, kMin}},
        {{kMax - 1, 0}, {kMax - 1, 100}, {kMin + 1, 100}},
        {{0, kMin}, {0, kMax}, {5, kMax}},
        {{1 << 27, -(1 << 27)}, {-(1 << 27), 1 << 27}, {1 << 27, 1 << 27}},
    };
    for (double zoom : {1.0, 32.0, 0.01}) {
        for (const Kind& kind : kKinds) {
            for (const auto& points : stored) {
                SCOPED_TRACE(std::string(kind.name) + " at zoom " + std::to_string(zoom));
                ShapeSettings.Zoom = zoom;
                auto shape = kind.make();
                shape->Canvas = &surface_;
                shape->Points = points;
                if (dynamic_cast<TMyRectangle*>(shape.get()) != nullptr) shape->Points.resize(2);
                shape->Select();
                shape->Draw();
                for (const TPoint& p : kFar) {
                    shape->HitTest(p);
                    if (shape->HotPointAt(p) < 0) shape->HotPoint = 0;
                    for (const TPoint& q : kFar) {
                        shape->DrawRubberBand(p, q);
                        shape->DrawMoving(p, q);
                        shape->DrawResizing(p, q);
                    }
                }
                shape->Deselect();
                shape->HotPoint = 1;
                shape->MoveHotPoint(kMin, kMax);
                shape->MoveBy(kMin, kMin);
                shape->MoveBy(kMax, kMax);
                shape->Draw();
                EXPECT_GE(shape->Width(), 0);
                EXPECT_GE(shape->Height(), 0);
            }
        }
    }
}

TEST_F(ExtremeCoordinates, ArrowWingsNearTheLimitsSaturate) {
    const auto [w1, w2] = TMyLine::ArrowWings({kMax, kMax}, {kMin, kMin});
    EXPECT_GT(w1.X, 0);
    EXPECT_GT(w2.Y, 0);
    const auto [v1, v2] = TMyLine::ArrowWings({kMin, 0}, {kMax, 1});
    EXPECT_LT(v1.X, 0);
    EXPECT_LT(v2.X, 0);
}

// Stored coordinates are clamped, so a shape can always be converted back to the
// screen at moderate zooms.
TEST_F(ExtremeCoordinates, StoredPointsStayWithinTheCoordinateLimit) {
    struct Case {
        double zoom;
        TPoint screen;
        TPoint stored;
    };
    const Case cases[] = {
        {1.0, {kMax, kMin}, {kMaxImageCoordinate, -kMaxImageCoordinate}},
        {0.001, {1 << 20, -(1 << 20)}, {kMaxImageCoordinate, -kMaxImageCoordinate}},
        {1e-300, {1, 0}, {kMaxImageCoordinate, 0}},
        {0.5, {1000, -1000}, {2000, -2000}},
    };
    for (const Case& c : cases) {
        ShapeSettings.Zoom = c.zoom;
        TMyRectangle shape;
        shape.AddPoint(c.screen);
        EXPECT_EQ(shape.Points[0], c.stored) << c.zoom;
        SetShapePoint(&shape, 2, c.screen);
        EXPECT_EQ(shape.Points[1], c.stored) << c.zoom;
        shape.Points[0] = {0, 0};
        shape.MovePoint(0, kMax, kMin);
        shape.MovePoint(0, kMax, kMin);
        EXPECT_EQ(shape.Points[0], (TPoint{kMaxImageCoordinate, -kMaxImageCoordinate})) << c.zoom;
    }
}

class ExtremeCanvas : public CanvasTest {
protected:
    void SetUp() override {
        CanvasTest::SetUp();
        cad_ = ShownCanvas(QStringLiteral("far"));
    }
    void TearDown() override {
        cad_.reset();
        CanvasTest::TearDown();
    }
    std::unique_ptr<TMyCAD> cad_;
};

// A drag by -2^31 moves the shape to the left, as far as coordinates go; it does not
// wrap round to the right.
TEST_F(ExtremeCanvas, AMoveByMinusTwoToTheThirtyOneGoesLeft) {
    cad_->SetShapeTool(SpRectangle);
    cad_->MouseDown(TMouseButton::mbLeft, {}, 10, 10);
    cad_->MouseUp(TMouseButton::mbLeft, {}, 50, 30);
    cad_->SetShapeTool(SpNone);
    cad_->MouseDown(TMouseButton::mbLeft, {}, 20, 20);
    ASSERT_EQ(cad_->Mode(), ModeMove);
    cad_->MouseMove({}, kMin, 20);
    cad_->MouseUp(TMouseButton::mbLeft, {}, kMin, 20);
    TMyShape* r = cad_->Shape(0);
    EXPECT_EQ(r->Points[0].X, -kMaxImageCoordinate);
    EXPECT_EQ(r->Points[1].X, -kMaxImageCoordinate);
    EXPECT_EQ(r->Points[0].Y, 10);
    // And back by +2^31 - 1 from the far left: to the right limit, not round to the left.
    cad_->SetShapeTool(SpRectangle);
    cad_->MouseDown(TMouseButton::mbLeft, {}, 100, 50);
    cad_->MouseUp(TMouseButton::mbLeft, {}, 150, 80);
    cad_->SetShapeTool(SpNone);
    cad_->MouseDown(TMouseButton::mbLeft, {}, 120, 60);
    ASSERT_EQ(cad_->CurrentShape(), cad_->Shape(1));
    cad_->MouseUp(TMouseButton::mbLeft, {}, kMax, 60);
    TMyShape* s = cad_->Shape(1);
    EXPECT_EQ(s->Points[0].X, kMaxImageCoordinate);
}

// Each tool drawn between opposite limits, then painted at the largest zoom.
TEST_F(ExtremeCanvas, ShapesSpanningTheLimitsAreDrawnAtAnyZoom) {
    for (TDrawTool tool : {SpLine, SpRuleLine, SpRectangle, SpEllipse}) {
        cad_->SetShapeTool(tool);
        cad_->MouseDown(TMouseButton::mbLeft, {}, kMax, kMin);
        cad_->MouseMove({}, kMin, kMax);
        cad_->MouseMove({}, 5, 5);
        cad_->MouseUp(TMouseButton::mbLeft, {}, kMin, kMax);
    }
    cad_->SetShapeTool(SpPolyLine);
    for (const TPoint& p : kFar) {
        cad_->MouseDown(TMouseButton::mbLeft, {}, p.X, p.Y);
        cad_->MouseUp(TMouseButton::mbLeft, {}, p.X, p.Y);
        cad_->MouseMove({}, -p.X / 2, p.Y);
    }
    cad_->MouseDown(TMouseButton::mbRight, {}, kMin, kMin);
    cad_->MouseUp(TMouseButton::mbRight, {}, kMin, kMin);
    ASSERT_EQ(cad_->ShapeCount(), 5);
    for (double zoom : {32.0, 0.01, 1.0}) {
        ASSERT_TRUE(cad_->SetZoom(zoom));
        cad_->SetShapeTool(SpNone);
        for (const TPoint& p : kFar) {
            cad_->MouseDown(TMouseButton::mbLeft, {}, p.X, p.Y);
            cad_->MouseMove({}, p.Y, p.X);
            cad_->MouseUp(TMouseButton::mbLeft, {}, p.Y, p.X);
        }
    }
    for (int32_t i = 0; i < cad_->ShapeCount(); ++i) {
        for (const TPoint& p : cad_->Shape(i)->Points) {
            EXPECT_LE(std::abs(int64_t(p.X)), kMaxImageCoordinate);
            EXPECT_LE(std::abs(int64_t(p.Y)), kMaxImageCoordinate);
        }
    }
}

// A confinement rectangle reaching past the limits is cut at them.
TEST_F(ExtremeCanvas, ConfinementNearTheLimitsIsCutThere) {
    const struct {
        int32_t left, top, width, height;
    } cases[] = {
        {kMax - 8, 0, 9, 9}, {0, kMax - 8, 9, 9}, {kMax, kMax, kMax, kMax}, {kMin, kMin, kMax, kMax}, {kMax, 0, 1, 1},
    };
    for (const auto& c : cases) {
        cad_->ClipCursorTo(c.left, c.top, c.width, c.height);
        ASSERT_TRUE(cad_->CursorClipped());
        const QRect r = cad_->ClipRect();
        EXPECT_FALSE(r.isEmpty()) << c.left << ", " << c.top;
        EXPECT_GE(r.right(), r.left());
        EXPECT_GE(r.bottom(), r.top());
        cad_->ReleaseCursor();
    }
}
