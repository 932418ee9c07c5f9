#include "canvas/area_shapes.h"
#include "canvas/line_shapes.h"
#include "canvas/my_cad.h"
#include "support/canvas_fixture.h"

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace kelvo;
using kelvo::test::CanvasTest;

namespace {

constexpr auto L = TMouseButton::mbLeft;
constexpr auto R = TMouseButton::mbRight;
constexpr auto M = TMouseButton::mbMiddle;

} // namespace

// Drives the canvas on Qt's offscreen platform: with QTest mouse events where Qt's own
// dispatch matters, and with the handlers directly elsewhere.
class Mouse : public CanvasTest {
protected:
    void SetUp() override {
        CanvasTest::SetUp();
        NewCanvas();
    }
    void NewCanvas() {
        cad_.reset();
        cad_ = ShownCanvas(QStringLiteral("note"), [this](TMyCAD& cad) {
            TFont font;
            font.Name = QStringLiteral("Arial");
            font.Height = -12;
            font.Color = clYellow;
            cad.SetFont(font);
            cad.SetZoom(1.0);
            cad.SetLabelXY(&label_);
        });
        cad_->Paint();
    }
    void TearDown() override {
        cad_.reset();
        CanvasTest::TearDown();
    }
    void Click(TMouseButton b, TPoint p) {
        cad_->MouseDown(b, {}, p.X, p.Y);
        cad_->MouseUp(b, {}, p.X, p.Y);
    }
    void Drag(TPoint from, TPoint to) {
        cad_->MouseDown(L, {}, from.X, from.Y);
        cad_->MouseMove(Qt::NoModifier, (from.X + to.X) / 2, (from.Y + to.Y) / 2);
        cad_->MouseMove(Qt::NoModifier, to.X, to.Y);
        cad_->MouseUp(L, {}, to.X, to.Y);
    }
    TMyShape* DrawRect(TPoint a, TPoint b) {
        cad_->SetShapeTool(SpRectangle);
        Drag(a, b);
        return cad_->Shape(cad_->ShapeCount() - 1);
    }
    QImage Repainted() {
        cad_->Paint();
        return cad_->Image();
    }

    QLabel label_;
    std::unique_ptr<TMyCAD> cad_;
};

TEST_F(Mouse, ThreeLeftClicksAndARightClickMakeAPolylineOfFourVertices) {
    cad_->SetShapeTool(SpPolyLine);
    QWidget* w = cad_.get();
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseMove(w, QPoint(30, 12));
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(50, 10));
    QTest::mouseMove(w, QPoint(50, 30));
    QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(cad_->DragState(), DragClickChain);
    QTest::mousePress(w, Qt::RightButton, {}, QPoint(10, 50));
    QTest::mouseRelease(w, Qt::RightButton, {}, QPoint(14, 56));
    ASSERT_EQ(cad_->ShapeCount(), 1);
    TMyShape* poly = cad_->Shape(0);
    ASSERT_NE(dynamic_cast<TMyPolyLine*>(poly), nullptr);
    const std::vector<TPoint> expected = {{10, 10}, {50, 10}, {50, 50}, {10, 50}};
    EXPECT_EQ(poly->Points, expected) << "the right press point is the last vertex";
    EXPECT_TRUE(poly->Selected);
    EXPECT_EQ(cad_->DragState(), DragNone);
    EXPECT_EQ(cad_->CurrentShape(), poly);
    EXPECT_EQ(cad_->Image(), Repainted()) << "no feedback left after the commit";
}

TEST_F(Mouse, RightClickWithoutAPolylineChangesNothing) {
    cad_->SetShapeTool(SpPolyLine);
    Click(R, {20, 20});
    EXPECT_EQ(cad_->ShapeCount(), 0);
    EXPECT_EQ(cad_->DragState(), DragNone);
    EXPECT_EQ(cad_->CurrentShape(), nullptr);
}

TEST_F(Mouse, SectorClicksAtABCStoreBACAndKeepTheFirstArm) {
    cad_->SetShapeTool(SpSector);
    QWidget* w = cad_.get();
    const QPoint a(100, 30), b(160, 30), c(100, 90);
    QTest::mouseClick(w, Qt::LeftButton, {}, a);
    EXPECT_EQ(SectorClicks, 1);
    EXPECT_EQ(cad_->StartPoint(), (TPoint{100, 30}));
    QTest::mouseMove(w, QPoint(140, 31));
    QTest::mouseMove(w, b);
    QTest::mouseClick(w, Qt::LeftButton, {}, b);
    EXPECT_EQ(SectorClicks, 2);
    EXPECT_EQ(Px(cad_->Image(), 130, 30), 0xFFFFFF00u) << "first arm drawn in the pen colour";
    QTest::mouseMove(w, QPoint(120, 60));
    QTest::mouseMove(w, QPoint(110, 80));
    EXPECT_EQ(Px(cad_->Image(), 130, 30), 0xFFFFFF00u) << "and kept while the second arm follows";
    QTest::mouseMove(w, c);
    QTest::mouseClick(w, Qt::LeftButton, {}, c);
    ASSERT_EQ(cad_->ShapeCount(), 1);
    auto* sector = dynamic_cast<TMySector*>(cad_->Shape(0));
    ASSERT_NE(sector, nullptr);
    const std::vector<TPoint> expected = {{160, 30}, {100, 30}, {100, 90}};
    EXPECT_EQ(sector->Points, expected);
    EXPECT_EQ(sector->Caption(), QString());
    EXPECT_EQ(SectorClicks, 0);
    EXPECT_EQ(cad_->DragState(), DragNone);
    EXPECT_TRUE(sector->Selected);
}

TEST_F(Mouse, MiddleReleaseAdvancesOnlyASectorUnderConstruction) {
    cad_->SetShapeTool(SpSector);
    Click(M, {30, 30});
    EXPECT_EQ(SectorClicks, 0) << "no sector under construction: ignored";
    EXPECT_EQ(cad_->DragState(), DragNone);
    Click(L, {30, 30});
    EXPECT_EQ(SectorClicks, 1);
    Click(M, {60, 30});
    EXPECT_EQ(SectorClicks, 2) << "a middle release advances a sector under construction";
    Click(R, {60, 60});
    EXPECT_EQ(SectorClicks, 2) << "a right release does not";
    Click(L, {30, 60});
    EXPECT_EQ(cad_->ShapeCount(), 1);
}

TEST_F(Mouse, RightReleaseDuringALeftDragCommitsThereAndTheLeftReleaseDoesNothing) {
    cad_->SetShapeTool(SpRectangle);
    QWidget* w = cad_.get();
    QTest::mousePress(w, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseMove(w, QPoint(30, 30));
    QTest::mousePress(w, Qt::RightButton, {}, QPoint(40, 40));
    QTest::mouseRelease(w, Qt::RightButton, {}, QPoint(40, 40));
    ASSERT_EQ(cad_->ShapeCount(), 1);
    const std::vector<TPoint> expected = {{10, 10}, {40, 40}};
    EXPECT_EQ(cad_->Shape(0)->Points, expected);
    EXPECT_EQ(cad_->DragState(), DragNone);
    QTest::mouseMove(w, QPoint(60, 60));
    QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(60, 60));
    EXPECT_EQ(cad_->ShapeCount(), 1);
    EXPECT_EQ(cad_->Shape(0)->Points, expected);
}

TEST_F(Mouse, AClickWithoutMovingCommitsAnEmptyRectangleWithItsNumber) {
    const int32_t roi = RoiCount;
    cad_->SetShapeTool(SpRectangle);
    Click(L, {30, 30});
    ASSERT_EQ(cad_->ShapeCount(), 1);
    EXPECT_EQ(cad_->Shape(0)->Caption(), QStringLiteral("Roi-%1").arg(roi));
    Click(R, {50, 50});
    EXPECT_EQ(cad_->ShapeCount(), 1) << "a right click with the rectangle tool does nothing";
}

TEST_F(Mouse, LineDialogComesAfterTheReleaseAndBeforeTheRepaint) {
    std::vector<std::string> events;
    cad_->OnMouseDown = [&](TMyCAD*, TMouseButton, Qt::KeyboardModifiers, int32_t, int32_t) {
        events.push_back(cad_->CurrentShape() == nullptr ? "down before shape" : "down after shape");
    };
    cad_->AnnotationDialog = [&](TMyCAD*) {
        events.push_back("dialog with " + std::to_string(cad_->ShapeCount()) + " shape");
        return QString(60, QLatin1Char('z'));
    };
    cad_->OnPaint = [&](TMyCAD*) { events.push_back("paint"); };
    cad_->OnMouseUp = [&](TMyCAD*, TMouseButton, Qt::KeyboardModifiers, int32_t, int32_t) { events.push_back("up"); };
    cad_->SetShapeTool(SpLine);
    Drag({10, 10}, {80, 60});
    const std::vector<std::string> expected = {"down before shape", "dialog with 1 shape", "paint", "up"};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(cad_->Shape(0)->Caption(), QString(50, QLatin1Char('z')));
}

TEST_F(Mouse, HotPointOfTheSelectedShapeResizesEvenUnderAnotherShape) {
    TMyShape* a = DrawRect({10, 10}, {50, 30});
    TMyShape* b = DrawRect({45, 5}, {90, 40}); // newer, covers a's hot point 2 at (50, 10)
    cad_->SetShapeTool(SpNone);
    Click(L, {20, 20});
    ASSERT_EQ(cad_->CurrentShape(), a);
    ASSERT_TRUE(a->Selected);
    cad_->MouseDown(L, {}, 50, 10);
    EXPECT_EQ(cad_->Mode(), ModeResize);
    EXPECT_FALSE(cad_->CursorClipped()) << "only a move confines the cursor";
    cad_->MouseMove({}, 53, 8);
    cad_->MouseMove({}, 55, 7);
    cad_->MouseUp(L, {}, 55, 7);
    const std::vector<TPoint> resized = {{10, 7}, {55, 30}};
    EXPECT_EQ(a->Points, resized);
    const std::vector<TPoint> untouched = {{45, 5}, {90, 40}};
    EXPECT_EQ(b->Points, untouched);
    EXPECT_EQ(cad_->Mode(), ModeSelect);
    EXPECT_EQ(cad_->CurrentShape(), a);
    EXPECT_TRUE(a->Selected);
}

TEST_F(Mouse, OfTwoOverlappingShapesTheNewerIsPickedAndMoved) {
    TMyShape* older = DrawRect({10, 10}, {60, 60});
    TMyShape* newer = DrawRect({30, 30}, {80, 80});
    cad_->SetShapeTool(SpNone);
    ASSERT_TRUE(cad_->SetZoom(2.0));
    // (40, 40) in the picture is (80, 80) on screen; drag by 6 screen pixels = 3 picture pixels.
    cad_->MouseDown(L, {}, 80, 80);
    EXPECT_EQ(cad_->Mode(), ModeMove);
    EXPECT_EQ(cad_->CurrentShape(), newer);
    cad_->MouseMove({}, 83, 83);
    cad_->MouseMove({}, 86, 86);
    cad_->MouseUp(L, {}, 86, 86);
    const std::vector<TPoint> moved = {{33, 33}, {83, 83}};
    EXPECT_EQ(newer->Points, moved);
    const std::vector<TPoint> kept = {{10, 10}, {60, 60}};
    EXPECT_EQ(older->Points, kept);
    EXPECT_EQ(cad_->Mode(), ModeSelect);
    EXPECT_TRUE(newer->Selected);
    EXPECT_FALSE(cad_->CursorClipped()) << "lifted at the release";
}

TEST_F(Mouse, MoveDragConfinesTheCursorSoTheBoxStaysOnTheCanvas) {
    DrawRect({10, 10}, {50, 30});
    cad_->SetShapeTool(SpNone);
    const QPoint origin = cad_->mapToGlobal(QPoint(0, 0));
    cad_->MouseDown(L, {}, 20, 20);
    ASSERT_TRUE(cad_->CursorClipped());
    EXPECT_EQ(cad_->ClipRect(), QRect(origin.x() + 10, origin.y() + 10, 160, 80));
    cad_->MouseUp(L, {}, 20, 20);
    EXPECT_FALSE(cad_->CursorClipped());

    // A shape wider than the canvas: confined to the canvas along that axis.
    cad_->SetShapeTool(SpRectangle);
    auto wide = cad_->CreateShape(SpRectangle);
    wide->AddPoint({-20, 60});
    wide->AddPoint({250, 90});
    cad_->AddShape(std::move(wide));
    cad_->SetShapeTool(SpNone);
    cad_->MouseDown(L, {}, 100, 70);
    ASSERT_EQ(cad_->Mode(), ModeMove);
    EXPECT_EQ(cad_->ClipRect(), QRect(origin.x(), origin.y() + 10, 200, 70));
    cad_->MouseUp(L, {}, 100, 70);
}

TEST_F(Mouse, MovesDuringADragAreClampedToTheConfinement) {
    DrawRect({10, 10}, {50, 30});
    cad_->SetShapeTool(SpNone);
    QWidget* w = cad_.get();
    QTest::mousePress(w, Qt::LeftButton, {}, QPoint(20, 20));
    ASSERT_TRUE(cad_->CursorClipped());
    QTest::mouseMove(w, QPoint(5, 95)); // beyond the left and bottom limits
    EXPECT_EQ(label_.text(), QStringLiteral("(10,89)")) << "right and bottom edges excluded";
    QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(5, 95));
    const std::vector<TPoint> moved = {{0, 79}, {40, 99}};
    EXPECT_EQ(cad_->Shape(0)->Points, moved) << "the box stops at the canvas edge";
}

TEST_F(Mouse, FeedbackComesInPairsAndRefreshesOnlyItsRectangle) {
    cad_->SetShapeTool(SpRectangle);
    cad_->MouseDown(L, {}, 20, 20);
    const QImage before = cad_->Image();
    cad_->MouseMove({}, 60, 50);
    cad_->MouseMove({}, 70, 40);
    EXPECT_EQ(cad_->LastRefreshed(), QRect(QPoint(20, 20), QPoint(69, 49))) << "old and new band only";
    EXPECT_EQ(cad_->EndPoint(), (TPoint{70, 40}));
    // Erasing the last band once more gives back the picture as it was at the press.
    cad_->CurrentShape()->DrawRubberBand(cad_->StartPoint(), cad_->EndPoint());
    EXPECT_EQ(cad_->Image(), before);
    cad_->CurrentShape()->DrawRubberBand(cad_->StartPoint(), cad_->EndPoint());
    cad_->MouseUp(L, {}, 70, 40);
    EXPECT_TRUE(cad_->LastRefreshed().isNull()) << "a commit repaints all";
}

TEST_F(Mouse, ChangingTheToolAbandonsAnUnfinishedPolylineOrSector) {
    const QImage clean = Repainted();
    for (TDrawTool tool : {SpPolyLine, SpSector}) {
        cad_->SetShapeTool(tool);
        Click(L, {20, 20});
        cad_->MouseMove({}, 60, 30);
        Click(L, {60, 30});
        cad_->MouseMove({}, 80, 70);
        ASSERT_EQ(cad_->DragState(), DragClickChain);
        cad_->SetShapeTool(SpRectangle);
        EXPECT_EQ(cad_->DragState(), DragNone) << tool;
        EXPECT_EQ(SectorClicks, 0);
        EXPECT_EQ(cad_->CurrentShape(), nullptr);
        EXPECT_EQ(cad_->ShapeCount(), 0);
        EXPECT_EQ(cad_->Image(), clean) << "feedback erased";
        // The new tool starts afresh.
        Drag({10, 10}, {30, 30});
        ASSERT_EQ(cad_->ShapeCount(), 1);
        EXPECT_EQ(cad_->Shape(0)->PointCount(), 2);
        cad_->DeleteShape(0);
    }
}

TEST_F(Mouse, PressOnEmptyCanvasKeepsTheSelectionAndItsHotPoints) {
    TMyShape* r = DrawRect({10, 10}, {50, 30});
    cad_->SetShapeTool(SpNone);
    Click(L, {150, 80});
    EXPECT_EQ(cad_->CurrentShape(), r);
    EXPECT_EQ(cad_->Mode(), ModeSelect);
    // A rectangle's hit test deselects it on a miss; a line keeps it.
    cad_->SetShapeTool(SpRuleLine);
    Drag({100, 20}, {180, 60});
    TMyShape* rule = cad_->CurrentShape();
    cad_->SetShapeTool(SpNone);
    Click(L, {150, 90});
    EXPECT_EQ(cad_->CurrentShape(), rule);
    EXPECT_TRUE(rule->Selected);
    cad_->MouseDown(L, {}, 180, 60);
    EXPECT_EQ(cad_->Mode(), ModeResize) << "its hot points keep working";
    cad_->MouseUp(L, {}, 182, 62);
    EXPECT_EQ(rule->Points[1], (TPoint{182, 62}));
}

TEST_F(Mouse, BeforeAToolIsSetOnlyEventsAndPositionsAreReported) {
    TMyCAD fresh;
    fresh.SetLabelXY(&label_);
    int downs = 0, moves = 0, ups = 0;
    fresh.OnMouseDown = [&](TMyCAD*, TMouseButton, Qt::KeyboardModifiers, int32_t, int32_t) { ++downs; };
    fresh.OnMouseMove = [&](TMyCAD*, Qt::KeyboardModifiers, int32_t, int32_t) { ++moves; };
    fresh.OnMouseUp = [&](TMyCAD*, TMouseButton, Qt::KeyboardModifiers, int32_t, int32_t) { ++ups; };
    fresh.MouseDown(L, {}, 10, 10);
    fresh.MouseMove({}, -3, 17);
    fresh.MouseUp(L, {}, 20, 20);
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(moves, 1);
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(label_.text(), QStringLiteral("(-3,17)"));
    EXPECT_EQ(fresh.Mode(), ModeNone);
    EXPECT_EQ(fresh.ShapeCount(), 0);
    EXPECT_EQ(fresh.DragState(), DragNone);
}

// Double clicks go through the window, as the platform delivers them: the widget
// sees press, release, double click, release, and the double click is the second press.
TEST_F(Mouse, ADoubleClickAddsTwoVertices) {
    cad_->SetShapeTool(SpPolyLine);
    QWindow* window = cad_->windowHandle();
    ASSERT_NE(window, nullptr);
    QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(40, 40));
    QTest::mouseClick(window, Qt::RightButton, {}, QPoint(60, 60));
    ASSERT_EQ(cad_->ShapeCount(), 1);
    const std::vector<TPoint> expected = {{40, 40}, {40, 40}, {60, 60}};
    EXPECT_EQ(cad_->Shape(0)->Points, expected);
}

TEST_F(Mouse, ADoubleClickWithTheRectangleToolCommitsTwoRectangles) {
    cad_->SetShapeTool(SpRectangle);
    const int32_t roi = RoiCount;
    QTest::mouseDClick(cad_->windowHandle(), Qt::LeftButton, {}, QPoint(30, 30));
    ASSERT_EQ(cad_->ShapeCount(), 2);
    EXPECT_EQ(cad_->Shape(1)->Caption(), QStringLiteral("Roi-%1").arg(roi + 1));
    EXPECT_EQ(cad_->DragState(), DragNone);
}

TEST_F(Mouse, AClickFollowedAtOnceByAPressAndDragMovesTheShape) {
    TMyShape* r = DrawRect({10, 10}, {50, 30});
    cad_->SetShapeTool(SpNone);
    QWindow* window = cad_->windowHandle();
    // Within the double-click time, so the second press arrives as a double click.
    int t = QTest::lastMouseTimestamp + 1000;
    const auto send = [&](QEvent::Type type, Qt::MouseButtons held, QPoint p) {
        qt_handleMouseEvent(window, QPointF(p), QPointF(window->mapToGlobal(p)), held, Qt::LeftButton, type,
                            Qt::NoModifier, ++t);
        QApplication::processEvents();
    };
    send(QEvent::MouseButtonPress, Qt::LeftButton, QPoint(20, 20));
    send(QEvent::MouseButtonRelease, Qt::NoButton, QPoint(20, 20));
    send(QEvent::MouseButtonPress, Qt::LeftButton, QPoint(20, 20));
    qt_handleMouseEvent(window, QPointF(30, 25), QPointF(window->mapToGlobal(QPoint(30, 25))), Qt::LeftButton,
                        Qt::NoButton, QEvent::MouseMove, Qt::NoModifier, ++t);
    send(QEvent::MouseButtonRelease, Qt::NoButton, QPoint(30, 25));
    QTest::lastMouseTimestamp = t + 1000;
    const std::vector<TPoint> moved = {{20, 15}, {60, 35}};
    EXPECT_EQ(r->Points, moved);
    EXPECT_EQ(cad_->Mode(), ModeSelect);
}

// The annotation dialog runs its own event loop; a paint meanwhile shows the
// committed line as it will stay, not the rubber band.
TEST_F(Mouse, APaintWhileTheAnnotationDialogIsOpenShowsTheNewLine) {
    cad_->AnnotationDialog = nullptr; // the real modal dialog
    cad_->SetShadow(false);
    cad_->SetDICOMStyle(false);
    QImage shown;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        shown = cad_->grab().toImage();
        dialog->setTextValue(QStringLiteral("seen"));
        dialog->accept();
    });
    cad_->SetShapeTool(SpLine);
    QWidget* w = cad_.get();
    QTest::mousePress(w, Qt::LeftButton, {}, QPoint(10, 50));
    QTest::mouseMove(w, QPoint(100, 50));
    QTest::mouseMove(w, QPoint(150, 50));
    QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(150, 50));
    ASSERT_EQ(cad_->ShapeCount(), 1);
    ASSERT_EQ(cad_->Shape(0)->Caption(), QStringLiteral("seen")) << "the dialog was answered";
    ASSERT_FALSE(shown.isNull());
    for (int x : {20, 60, 110}) {
        EXPECT_EQ(Px(shown, x, 50), 0xFFFFFF00u) << "pen colour at " << x;
    }
}

TEST_F(Mouse, HotPointsShownOrHiddenByAPressAreRefreshedAtOnce) {
    DrawRect({10, 10}, {50, 30});
    cad_->SetShapeTool(SpNone);
    cad_->MouseDown(L, {}, 150, 80); // misses: the rectangle's hit test hides its hot points
    EXPECT_EQ(cad_->LastRefreshed(), QRect(QPoint(6, 6), QPoint(53, 33)));
    cad_->MouseUp(L, {}, 150, 80);
    const QImage hidden = cad_->Image();
    EXPECT_EQ(hidden, Repainted()) << "what the image shows equals a full repaint";
    cad_->MouseDown(L, {}, 20, 20); // hits: shown again
    EXPECT_EQ(cad_->LastRefreshed(), QRect(QPoint(6, 6), QPoint(53, 33)));
    cad_->MouseUp(L, {}, 20, 20);
}

// The annotation dialog runs an event loop in which the owner may change the tool; the
// release that opened it must finish on the tool it started with, without a dangling one.
TEST_F(Mouse, ChangingTheToolInsideTheAnnotationDialogFinishesTheLine) {
    cad_->AnnotationDialog = [&](TMyCAD* sender) {
        sender->SetShapeTool(SpPolyLine);
        sender->SetShapeTool(SpNone);
        return QStringLiteral("kept");
    };
    cad_->SetShapeTool(SpLine);
    Drag({10, 10}, {80, 60});
    ASSERT_EQ(cad_->ShapeCount(), 1);
    EXPECT_EQ(cad_->Shape(0)->Caption(), QStringLiteral("kept"));
    EXPECT_EQ(cad_->DragState(), DragNone);
    EXPECT_EQ(cad_->Mode(), ModeSelect);
    // The select tool now answers: a press on the line picks it for a move.
    cad_->MouseDown(L, {}, 45, 35);
    EXPECT_EQ(cad_->Mode(), ModeMove);
    cad_->MouseUp(L, {}, 45, 35);
}

// Settings, zoom, deletion and the measurement list repaint the canvas in full between
// the clicks of a chain or during a drag. What is under construction must look the same
// afterwards as if the repaint had come before the gesture began, and the next move
// must erase only its own band.
TEST_F(Mouse, ARepaintDuringAGestureKeepsWhatIsUnderConstruction) {
    enum class Gesture { PolyLine, Sector, Rectangle, Move };
    struct Repaint {
        const char* name;
        std::function<void(TMyCAD&)> run;
    };
    const std::vector<Repaint> repaints = {
        {"shadow", [](TMyCAD& c) { c.SetShadow(false); }},
        {"labels", [](TMyCAD& c) { c.SetDICOMStyle(false); }},
        {"same zoom", [](TMyCAD& c) { c.SetZoom(1.0); }},
        {"select and delete",
         [](TMyCAD& c) {
             c.SelectShape(0);
             c.DeleteSelected();
         }},
    };
    // The gesture stops after its second move; the repaint comes before the first press
    // (reference) or right there (checked), and one more move follows.
    const auto run = [&](Gesture gesture, const Repaint& repaint, bool midway) {
        ShapeSettings = TShapeSettings{};
        SectorClicks = 0;
        RoiCount = 1;
        NewCanvas();
        DrawRect({130, 20}, {180, 60});
        DrawRect({20, 70}, {60, 90});
        if (!midway) repaint.run(*cad_);
        switch (gesture) {
        case Gesture::PolyLine:
        case Gesture::Sector:
            cad_->SetShapeTool(gesture == Gesture::PolyLine ? SpPolyLine : SpSector);
            Click(L, {20, 20});
            cad_->MouseMove({}, 60, 20);
            Click(L, {60, 20});
            cad_->MouseMove({}, 60, 50);
            break;
        case Gesture::Rectangle:
            cad_->SetShapeTool(SpRectangle);
            cad_->MouseDown(L, {}, 20, 20);
            cad_->MouseMove({}, 60, 30);
            cad_->MouseMove({}, 60, 50);
            break;
        case Gesture::Move:
            cad_->SetShapeTool(SpNone);
            cad_->MouseDown(L, {}, 20, 80);
            cad_->MouseMove({}, 30, 70);
            cad_->MouseMove({}, 40, 60);
            break;
        }
        if (midway) repaint.run(*cad_);
        cad_->MouseMove({}, 90, 70);
        return cad_->Image().copy();
    };
    for (Gesture gesture : {Gesture::PolyLine, Gesture::Sector, Gesture::Rectangle, Gesture::Move}) {
        for (const Repaint& repaint : repaints) {
            if (gesture == Gesture::Move && repaint.name == std::string("select and delete")) {
                continue; // selecting another shape mid-move is a different gesture
            }
            const QImage reference = run(gesture, repaint, false);
            const QImage checked = run(gesture, repaint, true);
            EXPECT_EQ(checked, reference) << "gesture " << int(gesture) << ", " << repaint.name;
        }
    }
}
