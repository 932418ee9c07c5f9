#include "canvas/area_shapes.h"
#include "canvas/line_shapes.h"
#include "canvas/measuring.h"
#include "canvas/my_cad.h"
#include "imaging/picture.h"
#include "support/canvas_fixture.h"

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <limits>
#include <memory>

using namespace kelvo;
using kelvo::test::CanvasTest;

namespace {

TFont Arial12Yellow() {
    TFont f;
    f.Name = QStringLiteral("Arial");
    f.Height = -12;
    f.Color = clYellow;
    f.Charset = 0;
    return f;
}

} // namespace

class Canvas : public CanvasTest {
protected:
    void SetUp() override {
        CanvasTest::SetUp();
        cad_ = std::make_unique<TMyCAD>();
        cad_->OnPaint = [this](TMyCAD*) { ++paints_; };
    }
    void TearDown() override {
        cad_.reset();
        CanvasTest::TearDown();
    }
    // The main window's settings: a 512 x 512 picture, yellow pen, yellow Arial 12 px.
    void LikeTheMainWindow() {
        cad_->SetBackGround(GreyPicture());
        cad_->SetFont(Arial12Yellow());
        TPen pen;
        pen.Color = clYellow;
        cad_->SetPen(pen);
        cad_->SetShapeTool(SpNone);
        cad_->SetColorOfHot(clBlack);
        cad_->SetZoom(1.0);
    }
    TMyShape* Add(TDrawTool tool, TPoint a, TPoint b) {
        const TDrawTool saved = cad_->ShapeTool();
        cad_->SetShapeTool(tool);
        auto shape = cad_->CreateShape(tool);
        shape->AddPoint(a);
        shape->AddPoint(b);
        TMyShape* raw = shape.get();
        cad_->AddShape(std::move(shape));
        cad_->SetShapeTool(saved);
        return raw;
    }

    std::unique_ptr<TMyCAD> cad_;
    int paints_ = 0;
};

TEST_F(Canvas, NewCanvasIsSmallEmptyAndLeavesTheSharedSettingsAlone) {
    ShapeSettings.Zoom = 3.0;
    ShapeSettings.Shadow = false;
    TMyCAD fresh;
    EXPECT_EQ(fresh.size(), QSize(105, 105));
    EXPECT_EQ(fresh.ShapeCount(), 0);
    EXPECT_EQ(fresh.Mode(), ModeNone);
    EXPECT_EQ(fresh.DragState(), DragNone);
    EXPECT_EQ(fresh.ShapeTool(), SpNone);
    EXPECT_EQ(fresh.Zoom(), 1.0);
    EXPECT_TRUE(fresh.DICOMStyle());
    EXPECT_TRUE(fresh.Shadow());
    EXPECT_EQ(fresh.ColorOfHot(), clBlack);
    EXPECT_EQ(fresh.ColorofDrawing(), clBlack);
    EXPECT_EQ(fresh.Pen(), TPen{});
    EXPECT_EQ(fresh.CurrentShape(), nullptr);
    EXPECT_EQ(fresh.SelectedIndex(), -1);
    EXPECT_EQ(ShapeSettings.Zoom, 3.0);
    EXPECT_FALSE(ShapeSettings.Shadow);
}

TEST_F(Canvas, ZoomGivesTheTruncatedZoomedSize) {
    cad_->SetBackGround(GreyPicture());
    struct Case {
        double zoom;
        int side;
    };
    // Below 1/512 a side would truncate to nothing: it keeps one pixel, so the canvas
    // still shows the picture (as one pixel) at the size the zoom asks for.
    // clang-format off
    const Case cases[] = {{1.5, 768},  {0.333, 170}, {2.0, 1024}, {1.0, 512}, {0.5, 256}, {0.01, 5},
                          {1.0 / 64, 8}, {0.002, 1},  {0.001, 1},  {1e-300, 1},
                          // clang-format on
                          {std::numeric_limits<double>::denorm_min(), 1}};
    for (const Case& c : cases) {
        const int before = paints_;
        ASSERT_TRUE(cad_->SetZoom(c.zoom));
        EXPECT_EQ(paints_, before + 1) << "writing Zoom repaints at once";
        EXPECT_EQ(cad_->size(), QSize(c.side, c.side)) << c.zoom;
        EXPECT_EQ(cad_->ZoomedSize(), QSize(c.side, c.side));
        EXPECT_EQ(cad_->Image().size(), QSize(c.side, c.side));
        EXPECT_EQ(ShapeSettings.Zoom, c.zoom);
    }
}

TEST_F(Canvas, UnusableZoomsAreRefusedAndNothingChanges) {
    cad_->SetBackGround(GreyPicture());
    ASSERT_TRUE(cad_->SetZoom(2.0));
    const int before = paints_;
    // clang-format off
    const double refused[] = {0.0, -1.0, -0.0, std::nan(""), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), 1e6, 40.0, 1e300};
    // clang-format on
    for (double z : refused) {
        EXPECT_FALSE(cad_->SetZoom(z)) << z;
        EXPECT_EQ(cad_->Zoom(), 2.0);
        EXPECT_EQ(ShapeSettings.Zoom, 2.0);
        EXPECT_EQ(cad_->size(), QSize(1024, 1024));
    }
    EXPECT_EQ(paints_, before);
    // 16384 pixels a side is the largest zoomed picture.
    cad_->SetBackGround(GreyPicture(512, 1));
    EXPECT_TRUE(cad_->SetZoom(32.0));
    EXPECT_EQ(cad_->size(), QSize(16384, 32));
    EXPECT_FALSE(cad_->SetZoom(32.01));
    EXPECT_EQ(cad_->size(), QSize(16384, 32));
}

TEST_F(Canvas, SettersRepaintExactlyAsTheirPropertiesSay) {
    cad_->SetBackGround(GreyPicture());
    int before = paints_;
    cad_->SetColorOfHot(clRed);
    cad_->SetColorOfShadow(clGray);
    cad_->SetColorofDrawing(clWhite);
    cad_->SetPen(TPen{clYellow});
    cad_->SetFont(Arial12Yellow());
    QLabel label;
    cad_->SetLabelXY(&label);
    cad_->SetShapeTool(SpRectangle);
    EXPECT_EQ(paints_, before);
    EXPECT_EQ(ShapeSettings.ColorOfHot, clRed);
    EXPECT_EQ(ShapeSettings.ColorOfShadow, clGray);
    EXPECT_EQ(cad_->Mode(), ModeDraw);
    cad_->SetShapeTool(SpNone);
    EXPECT_EQ(cad_->Mode(), ModeSelect);

    cad_->SetDICOMStyle(false);
    EXPECT_EQ(paints_, before + 1);
    EXPECT_FALSE(ShapeSettings.DICOMStyle);
    cad_->SetShadow(false);
    EXPECT_EQ(paints_, before + 2);
    EXPECT_FALSE(ShapeSettings.Shadow);
}

TEST_F(Canvas, TemplatePenAndFontReachOnlyLaterShapes) {
    cad_->SetPen(TPen{clRed});
    auto first = cad_->CreateShape(SpRectangle);
    cad_->SetPen(TPen{clYellow});
    cad_->SetFont(Arial12Yellow());
    auto second = cad_->CreateShape(SpLine);
    EXPECT_EQ(first->Pen.Color, clRed);
    EXPECT_EQ(first->Font, TFont{});
    EXPECT_EQ(second->Pen.Color, clYellow);
    EXPECT_EQ(second->Font, Arial12Yellow());
    EXPECT_EQ(second->Canvas, &cad_->Surface());
    EXPECT_NE(dynamic_cast<TMyEllipse*>(cad_->CreateShape(SpEllipse).get()), nullptr);
    EXPECT_NE(dynamic_cast<TMySector*>(cad_->CreateShape(SpSector).get()), nullptr);
    EXPECT_NE(dynamic_cast<TMyPolyLine*>(cad_->CreateShape(SpPolyLine).get()), nullptr);
    EXPECT_EQ(cad_->CreateShape(SpNone), nullptr);
}

TEST_F(Canvas, BackGroundTakesTheCurrentZoom) {
    cad_->SetBackGround(GreyPicture());
    ASSERT_TRUE(cad_->SetZoom(2.0));
    QImage small = GreyPicture(100, 50);
    small.setPixel(0, 0, 0xFFFF0000);
    cad_->SetBackGround(small);
    EXPECT_EQ(cad_->BackGround().size(), QSize(100, 50));
    EXPECT_EQ(cad_->ZoomedSize(), QSize(200, 100)) << "picture and shapes agree";
    EXPECT_EQ(cad_->size(), QSize(200, 100));
    EXPECT_EQ(cad_->Zoom(), 2.0);
    cad_->Paint();
    EXPECT_EQ(Px(cad_->Image(), 1, 1), 0xFFFF0000u);
    EXPECT_EQ(Px(cad_->Image(), 2, 2), Px(small, 1, 1));

    // A picture the current zoom would make too big falls back to zoom 1.
    cad_->SetBackGround(GreyPicture(100, 1));
    ASSERT_TRUE(cad_->SetZoom(100.0));
    cad_->SetBackGround(GreyPicture(600, 20));
    EXPECT_EQ(cad_->Zoom(), 1.0);
    EXPECT_EQ(ShapeSettings.Zoom, 1.0);
    EXPECT_EQ(cad_->size(), QSize(600, 20));

    // No picture: both bitmaps empty, size kept.
    cad_->SetBackGround(QImage());
    EXPECT_TRUE(cad_->BackGround().isNull());
    EXPECT_TRUE(cad_->ZoomedSize().isEmpty());
    EXPECT_EQ(cad_->size(), QSize(600, 20));
    cad_->Paint();
}

TEST_F(Canvas, RectangleOutlineShadowAndNameArePaintedWhereTheyBelong) {
    LikeTheMainWindow();
    RoiCount = 1;
    TMyShape* r = Add(SpRectangle, {10, 10}, {50, 30});
    ASSERT_EQ(r->Caption(), QStringLiteral("Roi-1"));
    r->Selected = false; // no hot points over the name
    cad_->Paint();
    const QImage& img = cad_->Image();
    const uint32_t yellow = 0xFFFFFF00u;
    const uint32_t black = 0xFF000000u;
    const uint32_t grey = Px(GreyPicture(), 0, 0);
    for (int x = 10; x <= 49; ++x) {
        EXPECT_EQ(Px(img, x, 10), yellow) << x;
        EXPECT_EQ(Px(img, x, 29), yellow) << x;
    }
    EXPECT_EQ(Px(img, 9, 10), grey);
    EXPECT_EQ(Px(img, 10, 9), grey);
    EXPECT_EQ(Px(img, 50, 11), black) << "shadow column one right";
    for (int x = 11; x <= 50; ++x) {
        EXPECT_EQ(Px(img, x, 30), black) << "shadow row one down, " << x;
    }
    EXPECT_EQ(Px(img, 51, 12), grey);
    EXPECT_EQ(Px(img, 30, 20), grey) << "not filled";
    // The name: centred under the box with its top on the box's bottom edge, over its
    // black shadow copy one pixel right and down. Below the box's own shadow row, only
    // the two texts change the picture.
    QImage expected = GreyPicture();
    TSurface ref(&expected);
    ref.Font = Arial12Yellow();
    ref.Brush.Style = TBrushStyle::bsClear;
    const int left = 10 + (40 - ref.TextWidth(QStringLiteral("Roi-1"))) / 2;
    ref.Font.Color = clBlack;
    ref.TextOut(left + 1, 31, QStringLiteral("Roi-1"));
    ref.Font.Color = clYellow;
    ref.TextOut(left, 30, QStringLiteral("Roi-1"));
    const QRect belowTheBox(0, 31, 120, 30);
    EXPECT_EQ(img.copy(belowTheBox), expected.copy(belowTheBox));
    int yellowBelow = 0, blackBelow = 0;
    for (int y = belowTheBox.top(); y <= belowTheBox.bottom(); ++y) {
        for (int x = belowTheBox.left(); x <= belowTheBox.right(); ++x) {
            yellowBelow += Px(img, x, y) == yellow;
            blackBelow += Px(img, x, y) == black;
        }
    }
    EXPECT_GT(yellowBelow, 10) << "the name";
    EXPECT_GT(blackBelow, 10) << "its shadow copy";
}

TEST_F(Canvas, OldestShapeIsPaintedOnTop) {
    LikeTheMainWindow();
    cad_->SetShadow(false);
    cad_->SetPen(TPen{clRed});
    Add(SpRectangle, {10, 10}, {50, 30});
    cad_->SetPen(TPen{clBlue});
    Add(SpRectangle, {30, 10}, {70, 30});
    cad_->Paint();
    EXPECT_EQ(Px(cad_->Image(), 40, 10), 0xFFFF0000u) << "older red over newer blue";
    EXPECT_EQ(Px(cad_->Image(), 60, 10), 0xFF0000FFu);
}

// A click that moves nothing renders again only where the selection changed: shapes
// reaching there, by their label too, are drawn, others not, and the canvas shows what
// a paint would; a click changing nothing repaints nothing.
TEST_F(Canvas, AClickRepaintsOnlyWhereTheSelectionChanged) {
    struct Counted : TMyRectangle {
        void Draw() override { Draws += Canvas->Measuring() ? 0 : 1, TMyRectangle::Draw(); }
        int Draws = 0;
    };
    LikeTheMainWindow();
    std::vector<std::unique_ptr<TMyShape>> shapes;
    const TPoint corners[][2] = {{{100, 100}, {160, 140}}, {{400, 400}, {460, 440}}, {{100, 60}, {160, 90}}};
    for (const auto& c : corners) {
        auto shape = std::make_unique<Counted>();
        shape->Points = {c[0], c[1]};
        shape->SetCaption(QStringLiteral("Roi"));
        shapes.push_back(std::move(shape));
    }
    auto* near = static_cast<Counted*>(shapes[0].get());
    auto* far = static_cast<Counted*>(shapes[1].get());
    auto* above = static_cast<Counted*>(shapes[2].get()); // its label hangs into near's box
    cad_->ReplaceShapes(0, 0, std::move(shapes));
    const auto click = [&](TPoint p) {
        cad_->MouseDown(TMouseButton::mbLeft, {}, p.X, p.Y);
        cad_->MouseUp(TMouseButton::mbLeft, {}, p.X, p.Y);
    };
    for (const TPoint p : {TPoint{130, 120}, TPoint{430, 420}}) {
        const int draws[] = {near->Draws, far->Draws, above->Draws};
        click(p);
        const bool nearClicked = p.X < 200;
        EXPECT_EQ(far->Draws - draws[1], nearClicked ? 0 : 1);
        EXPECT_EQ(above->Draws - draws[2], 1);
        const QImage shown = cad_->Image().copy();
        const int paints = paints_;
        click(p);
        EXPECT_EQ(paints_, paints) << "the same shape again";
        cad_->Paint();
        EXPECT_EQ(shown, cad_->Image()) << p.X;
    }
}

TEST_F(Canvas, DeleteShapeRemovesInOrderAndRefusesBadIndices) {
    LikeTheMainWindow();
    TMyShape* a = Add(SpRectangle, {10, 10}, {50, 30});
    TMyShape* b = Add(SpEllipse, {20, 20}, {60, 40});
    TMyShape* c = Add(SpRuleLine, {0, 0}, {96, 0});
    int before = paints_;
    EXPECT_FALSE(cad_->DeleteShape(cad_->ShapeCount()));
    EXPECT_FALSE(cad_->DeleteShape(-1));
    EXPECT_FALSE(cad_->DeleteSelected()) << "nothing selected";
    EXPECT_EQ(paints_, before);
    EXPECT_EQ(cad_->ShapeCount(), 3);
    EXPECT_TRUE(cad_->DeleteShape(1));
    EXPECT_EQ(paints_, before + 1);
    ASSERT_EQ(cad_->ShapeCount(), 2);
    EXPECT_EQ(cad_->Shape(0), a);
    EXPECT_EQ(cad_->Shape(1), c);
    (void)b;
    a->Selected = true;
    c->Selected = true;
    EXPECT_EQ(cad_->SelectedIndex(), 1) << "the higher of two selected";
    EXPECT_TRUE(cad_->DeleteSelected());
    EXPECT_EQ(cad_->SelectedIndex(), 0);
    EXPECT_TRUE(cad_->DeleteSelected());
    EXPECT_EQ(cad_->ShapeCount(), 0);
    EXPECT_EQ(cad_->Shape(0), nullptr);
}

TEST_F(Canvas, DeletingTheCurrentShapeLeavesNone) {
    LikeTheMainWindow();
    cad_->SetShapeTool(SpRectangle);
    cad_->MouseDown(TMouseButton::mbLeft, {}, 10, 10);
    cad_->MouseUp(TMouseButton::mbLeft, {}, 40, 40);
    ASSERT_EQ(cad_->ShapeCount(), 1);
    ASSERT_EQ(cad_->CurrentShape(), cad_->Shape(0));
    EXPECT_TRUE(cad_->DeleteShape(0));
    EXPECT_EQ(cad_->CurrentShape(), nullptr);
    EXPECT_EQ(cad_->ShapeCount(), 0);
}

TEST_F(Canvas, RegionNumbersAreSharedByAllCanvasesAndNeverReused) {
    LikeTheMainWindow();
    const int32_t first = RoiCount;
    TMyShape* r = Add(SpRectangle, {10, 10}, {50, 30});
    EXPECT_EQ(r->Caption(), QStringLiteral("Roi-%1").arg(first));
    EXPECT_TRUE(cad_->DeleteShape(0));
    TMyCAD other;
    other.SetShapeTool(SpEllipse);
    auto e = other.CreateShape(SpEllipse);
    TMyShape* raw = e.get();
    other.AddShape(std::move(e));
    EXPECT_EQ(raw->Caption(), QStringLiteral("Roi-%1").arg(first + 1));
    TMyShape* p = Add(SpPolyLine, {1, 1}, {5, 5});
    EXPECT_EQ(p->Caption(), QStringLiteral("Roi-%1").arg(first + 2));
    TMyShape* rule = Add(SpRuleLine, {0, 0}, {10, 0});
    TMyShape* sector = Add(SpSector, {0, 0}, {10, 0});
    EXPECT_EQ(rule->Caption(), QString()) << "no caption from the canvas";
    EXPECT_EQ(sector->Caption(), QString());
    EXPECT_EQ(RoiCount, first + 3);
}

TEST_F(Canvas, LineCaptionIsTheAnnotationCutAtFifty) {
    LikeTheMainWindow();
    const QString answers[] = {QString(60, QLatin1Char('q')), QString(), QStringLiteral("femur")};
    const QString captions[] = {QString(50, QLatin1Char('q')), QString(), QStringLiteral("femur")};
    for (int k = 0; k < 3; ++k) {
        int asked = 0;
        cad_->AnnotationDialog = [&](TMyCAD*) {
            ++asked;
            return answers[k];
        };
        TMyShape* line = Add(SpLine, {10, 10}, {60, 60});
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(line->Caption(), captions[k]);
    }
}

TEST_F(Canvas, TheStandardAnnotationDialogAsksAndCancelGivesEmpty) {
    LikeTheMainWindow();
    QString title;
    QString prompt;
    QString initial;
    auto answer = [&](bool accept, const QString& typed) {
        QTimer::singleShot(0, [&, accept, typed] {
            auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            prompt = dialog->labelText();
            initial = dialog->textValue();
            auto* edit = dialog->findChild<QLineEdit*>();
            ASSERT_NE(edit, nullptr);
            QTest::keyClicks(edit, typed);
            if (accept) {
                dialog->accept();
            } else {
                dialog->reject();
            }
        });
    };
    answer(true, QString(60, QLatin1Char('k')));
    TMyShape* typed = Add(SpLine, {10, 10}, {60, 60});
    EXPECT_EQ(title, QStringLiteral("Please Input "));
    EXPECT_EQ(prompt, QStringLiteral("Annotation"));
    EXPECT_EQ(initial, QString());
    EXPECT_EQ(typed->Caption(), QString(50, QLatin1Char('k')));

    answer(false, QStringLiteral("gone"));
    TMyShape* cancelled = Add(SpLine, {10, 10}, {60, 60});
    EXPECT_EQ(cancelled->Caption(), QString());
    EXPECT_EQ(cad_->ShapeCount(), 2) << "a cancelled dialog leaves the line committed";
}

TEST_F(Canvas, PositionLabelShowsClientPixels) {
    auto label = std::make_unique<QLabel>();
    cad_->ShowPosition(1, 2); // no label: nothing happens
    cad_->SetLabelXY(label.get());
    cad_->ShowPosition(-3, 17);
    EXPECT_EQ(label->text(), QStringLiteral("(-3,17)"));
    cad_->ShowPosition(1024, 0);
    EXPECT_EQ(label->text(), QStringLiteral("(1024,0)"));
    label.reset();
    EXPECT_EQ(cad_->LabelXY(), nullptr) << "a destroyed label is not written";
    cad_->ShowPosition(5, 5);
}

// Where the canvas says the pointer is after it moves to `to` (client pixels): the
// position label shows the point the canvas took.
static QString PointerAfterMoveTo(TMyCAD& cad, QLabel& label, QPoint to) {
    QTest::mouseMove(&cad, to);
    return label.text();
}

TEST_F(Canvas, CursorConfinementHoldsThePointerUntilReleased) {
    cad_->SetBackGround(GreyPicture(200, 100));
    QLabel label;
    cad_->SetLabelXY(&label);
    cad_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(cad_.get()));
    const QPoint origin = cad_->mapToGlobal(QPoint(0, 0));
    cad_->ClipCursorTo(origin.x() + 5, origin.y() + 7, 150, 60);
    EXPECT_TRUE(cad_->CursorClipped());
    // Client pixels 5..154 across and 7..66 down: outside points come back to the edge.
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {190, 95}), QStringLiteral("(154,66)"));
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {1, 2}), QStringLiteral("(5,7)"));
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {60, 30}), QStringLiteral("(60,30)")) << "inside: as it is";
    cad_->ReleaseCursor();
    EXPECT_FALSE(cad_->CursorClipped());
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {190, 95}), QStringLiteral("(190,95)")) << "released";
    // Negative extents (a shape larger than the canvas) confine to the canvas itself.
    cad_->ClipCursorTo(origin.x() + 5, origin.y() + 7, -30, 60);
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {1, 95}), QStringLiteral("(1,66)"));
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {199, 2}), QStringLiteral("(199,7)"));
    // Both: the whole canvas, so the earlier limits at 7 and 66 are gone.
    cad_->ClipCursorTo(origin.x() + 5, origin.y() + 7, -30, -1);
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {1, 99}), QStringLiteral("(1,99)"));
    EXPECT_EQ(PointerAfterMoveTo(*cad_, label, {199, 2}), QStringLiteral("(199,2)"));
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    cad_->ReleaseCursor();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the default cursor is back";
}

TEST_F(Canvas, PaintFiresOnPaintLastAndShowsNoPictureWhenEmpty) {
    bool shapesDrawn = false;
    cad_->OnPaint = [&](TMyCAD* sender) {
        EXPECT_EQ(sender, cad_.get());
        shapesDrawn = cad_->Image().pixel(20, 10) != cad_->Image().pixel(5, 5);
    };
    cad_->SetShapeTool(SpRectangle);
    auto r = cad_->CreateShape(SpRectangle);
    r->AddPoint({10, 10});
    r->AddPoint({50, 30});
    cad_->AddShape(std::move(r));
    cad_->Paint();
    EXPECT_TRUE(shapesDrawn);
    EXPECT_EQ(cad_->size(), QSize(105, 105)) << "no picture: the constructed size";
}

TEST_F(Canvas, ZoomedPaintPutsShapesOnTheSamePictureSpot) {
    LikeTheMainWindow();
    cad_->SetShadow(false);
    cad_->SetDICOMStyle(false);
    TMyShape* r = Add(SpRectangle, {10, 10}, {50, 30});
    r->Selected = false;
    ASSERT_TRUE(cad_->SetZoom(2.0));
    const QImage& img = cad_->Image();
    const uint32_t yellow = 0xFFFFFF00u;
    for (int x = 20; x <= 99; ++x) {
        ASSERT_EQ(Px(img, x, 20), yellow) << x;
        ASSERT_EQ(Px(img, x, 59), yellow) << x;
    }
    EXPECT_EQ(Px(img, 100, 40), Px(GreyPicture(), 0, 0));
    EXPECT_EQ(Px(img, 60, 70), Px(GreyPicture(), 0, 0)) << "no label without DICOMStyle";
    EXPECT_EQ(r->Points, (std::vector<TPoint>{{10, 10}, {50, 30}})) << "zooming changes no stored point";
}

// Opening a file labels none of the old picture's shapes from the new picture's values.
TEST_F(Canvas, ANewPictureLabelsNoneOfTheShapesAboutToBeCleared) {
    const std::shared_ptr<imaging::TPicture> pictures[2] = {std::make_shared<imaging::TPicture>(),
                                                            std::make_shared<imaging::TPicture>()};
    for (const auto& p : pictures) p->Allocate(64, 64, 1, 1, imaging::TSampleType::U16, 16);
    ASSERT_TRUE(cad_->SetPicture(pictures[0]));
    Add(SpRectangle, {4, 4}, {40, 40});
    std::vector<int32_t> labelled; // the shapes there at each labelling on the new picture
    cad_->OnDrawShapes = [&](QObject*) {
        if (cad_->SharedPicture() == pictures[1]) labelled.push_back(cad_->ShapeCount());
    };
    ASSERT_TRUE(cad_->SetPicture(pictures[1]));
    cad_->ClearShapes();
    EXPECT_EQ(labelled, std::vector<int32_t>{0});
}
