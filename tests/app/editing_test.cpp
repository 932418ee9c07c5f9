// Undo and redo of every kind of change to the shapes, and the editing keys of the canvas.
#include "app/main_window.h"
#include "app/measurement_panel.h"
#include "canvas/annotations.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>

namespace kelvo {
namespace {

class EditingTest : public ::testing::Test {
protected:
    EditingTest() {
        form.ShowError = [this](const QString& m) { errors.push_back(m); };
    }
    void Drag(QPoint from, QPoint to) {
        TMyCAD* cad = form.MyCAD1;
        cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, from.x(), from.y());
        cad->MouseMove(Qt::NoModifier, to.x(), to.y());
        cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, to.x(), to.y());
    }
    void DrawWith(QToolButton* tool, QPoint from, QPoint to) {
        tool->click();
        Drag(from, to);
    }
    std::vector<TPoint> PointsOf(int i) { return form.MyCAD1->Shape(i)->Points; }
    void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(form.MyCAD1, Qt::Key(key), modifiers);
    }
    void Undo() { form.UndoKey(); }
    void Redo() { form.RedoKey(); }

    TForm1 form;
    std::vector<QString> errors;
};

TEST_F(EditingTest, EveryChangeIsUndoneAndRedone) {
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    DrawWith(form.EllipseBtn, {100, 100}, {140, 120});
    const QString first = form.MyCAD1->Shape(0)->Caption();
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 2);

    form.SelectBtn->click();
    Drag({20, 20}, {25, 27}); // move the rectangle
    EXPECT_EQ(PointsOf(0), (std::vector<TPoint>{{15, 17}, {55, 37}}));
    Drag({120, 110}, {120, 110}); // select the ellipse: a click moves nothing and records nothing
    Drag({140, 120}, {150, 125}); // resize it by its corner
    EXPECT_EQ(PointsOf(1), (std::vector<TPoint>{{100, 100}, {150, 125}}));
    form.MyCAD1->SelectShape(0);
    form.SpeedButton1Click();
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 1);

    struct Step {
        const char* Undone;
        int Count;
        std::vector<TPoint> First;
    };
    const Step steps[] = {
        {"delete", 2, {{15, 17}, {55, 37}}},
        {"resize", 2, {{15, 17}, {55, 37}}},
        {"move", 2, {{10, 10}, {50, 30}}},
        {"second add", 1, {{10, 10}, {50, 30}}},
        {"first add", 0, {}},
    };
    for (const Step& s : steps) {
        Undo();
        ASSERT_EQ(form.MyCAD1->ShapeCount(), s.Count) << s.Undone;
        if (s.Count > 0) {
            EXPECT_EQ(PointsOf(0), s.First) << s.Undone;
        }
    }
    EXPECT_FALSE(form.History().Stack().canUndo());
    for (int i = 0; i < 5; ++i) Redo();
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 1);
    EXPECT_EQ(PointsOf(0), (std::vector<TPoint>{{100, 100}, {150, 125}}));
    Undo();
    EXPECT_EQ(form.MyCAD1->Shape(0)->Caption(), first) << "a shape brought back keeps its name";
}

TEST_F(EditingTest, UndoingAnAddDoesNotGiveItsNumberAgain) {
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    const int32_t taken = RoiNumberOf(form.MyCAD1->Shape(0)->Caption());
    Undo();
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    EXPECT_EQ(RoiNumberOf(form.MyCAD1->Shape(0)->Caption()), taken + 1);
    Undo();
    Redo();
    EXPECT_EQ(RoiNumberOf(form.MyCAD1->Shape(0)->Caption()), taken + 1);
}

TEST_F(EditingTest, ALoadIsOneStepAndNumbersContinueAfterIt) {
    QTemporaryDir dir;
    DrawWith(form.rulelineBtn, {10, 10}, {50, 30});
    const QString path = dir.path() + QStringLiteral("/a.kelvo.json");
    // clang-format off
    SaveAnnotations(path, {{TShapeKind::Rectangle, {{1, 1}, {9, 9}}, clRed, 2, TPenStyle::psSolid, QStringLiteral("Roi-900"), 900},
                           {TShapeKind::Polyline, {{1, 1}, {9, 1}, {5, 9}}, clRed, 1, TPenStyle::psSolid, QStringLiteral("Roi-901"), 901}});
    // clang-format on
    ASSERT_TRUE(form.LoadAnnotationsFrom(path));
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 2);
    EXPECT_EQ(form.MyCAD1->Shape(1)->Caption(), QStringLiteral("Roi-901"));
    EXPECT_EQ(form.MyCAD1->Shape(0)->Pen.Width, 2);
    DrawWith(form.rectangleBtn, {100, 100}, {120, 120});
    EXPECT_EQ(form.MyCAD1->Shape(2)->Caption(), QStringLiteral("Roi-902"));
    Undo();
    Undo();
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 1) << "the ruler from before the load";
    EXPECT_EQ(PointsOf(0), (std::vector<TPoint>{{10, 10}, {50, 30}}));

    // A file it cannot trust changes nothing and says why.
    QFile bad(path);
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write(R"({"format": "kelvo-annotations", "version": 99, "shapes": []})");
    bad.close();
    EXPECT_FALSE(form.LoadAnnotationsFrom(path));
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].contains(QLatin1String("version 99")));
}

TEST_F(EditingTest, KeysMoveDeleteCycleAndEscape) {
    form.Edit1->setText(QStringLiteral("2"));
    form.Button1->click();
    DrawWith(form.rectangleBtn, {20, 20}, {100, 60}); // picture (10, 10)-(50, 30)
    DrawWith(form.rulelineBtn, {200, 200}, {300, 200});
    form.MyCAD1->SelectShape(0);
    Key(Qt::Key_Right);
    Key(Qt::Key_Down, Qt::ShiftModifier);
    Key(Qt::Key_Left, Qt::ShiftModifier);
    Key(Qt::Key_Up);
    EXPECT_EQ(PointsOf(0), (std::vector<TPoint>{{1, 19}, {41, 39}})) << "picture pixels, whatever the zoom";
    EXPECT_EQ(form.History().Stack().count(), 3) << "two adds and one step for the run of arrow presses";

    Key(Qt::Key_Tab);
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), 1);
    Key(Qt::Key_Tab);
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), 1) << "past the last shape Tab leaves the canvas";
    Key(Qt::Key_Backtab);
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), 0);
    Key(Qt::Key_Tab);
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), 1);
    Key(Qt::Key_Escape);
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), -1);
    Key(Qt::Key_Delete);
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 2) << "nothing selected, nothing deleted";
    Key(Qt::Key_Backtab); // from no selection, Shift+Tab starts at the last shape
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), 1);
    Key(Qt::Key_Delete);
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 1);
    EXPECT_EQ(form.MyCAD1->Shape(0)->Points, (std::vector<TPoint>{{1, 19}, {41, 39}}));

    // A polyline under construction is dropped by Escape as by a change of tool.
    form.PolyLineBtn->click();
    form.MyCAD1->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 10, 10);
    form.MyCAD1->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 10, 10);
    form.MyCAD1->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 50, 10);
    form.MyCAD1->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 50, 10);
    ASSERT_NE(form.MyCAD1->CurrentShape(), nullptr);
    const int steps = form.History().Stack().index();
    form.UndoKey();
    Key(Qt::Key_Delete);
    EXPECT_EQ(form.History().Stack().index(), steps) << "no undo in the middle of a polyline";
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 1);
    Key(Qt::Key_Escape);
    EXPECT_EQ(form.MyCAD1->CurrentShape(), nullptr);
    EXPECT_EQ(form.MyCAD1->DragState(), DragNone);
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 1);
    form.MyCAD1->MouseDown(TMouseButton::mbRight, Qt::NoModifier, 60, 60);
    form.MyCAD1->MouseUp(TMouseButton::mbRight, Qt::NoModifier, 60, 60);
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 1) << "the right click after Escape commits nothing";
}

TEST_F(EditingTest, ArrowPressesOnOneShapeAreOneStepUntilSomethingElseHappens) {
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    DrawWith(form.EllipseBtn, {100, 100}, {140, 120});
    const std::vector<TPoint> rectangle = PointsOf(0), ellipse = PointsOf(1);
    const int adds = form.History().Stack().count();

    // Three presses, one step: one undo puts the shape back where the presses began.
    form.MyCAD1->SelectShape(0);
    Key(Qt::Key_Right);
    Key(Qt::Key_Right);
    Key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(PointsOf(0), (std::vector<TPoint>{{12, 20}, {52, 40}}));
    EXPECT_EQ(form.History().Stack().count(), adds + 1);
    Undo();
    EXPECT_EQ(PointsOf(0), rectangle);
    Redo();
    EXPECT_EQ(PointsOf(0), (std::vector<TPoint>{{12, 20}, {52, 40}}));
    form.MyCAD1->SelectShape(0); // the history does not keep the selection

    // What ends a run of presses: the next press is a step of its own.
    struct Breaker {
        const char* Name;
        std::function<void()> Act;
    };
    const Breaker breakers[] = {
        {"a selection change by Tab", [&] { Key(Qt::Key_Tab), Key(Qt::Key_Backtab); }},
        {"a selection from the list", [&] { form.MeasurementPanel->OnRowSelected(0); }},
        // clang-format off
        {"a click on the shape", [&] { Drag({30, 30}, {30, 30}); }},
        {"another command", [&] { DrawWith(form.rulelineBtn, {300, 300}, {350, 300}), form.MyCAD1->SelectShape(0); }},
        // clang-format on
    };
    form.SelectBtn->click();
    for (const Breaker& b : breakers) {
        const std::vector<TPoint> before = PointsOf(0);
        Key(Qt::Key_Up);
        b.Act();
        ASSERT_EQ(form.MyCAD1->SelectedIndex(), 0) << b.Name;
        const int steps = form.History().Stack().index();
        Key(Qt::Key_Up);
        EXPECT_EQ(form.History().Stack().index(), steps + 1) << b.Name;
        Undo();
        EXPECT_EQ(PointsOf(0), (std::vector<TPoint>{{before[0].X, before[0].Y - 1}, {before[1].X, before[1].Y - 1}}))
            << b.Name << ": the undo takes back the last press only";
        Redo();
        form.MyCAD1->SelectShape(0); // the history does not keep the selection
    }
    EXPECT_EQ(PointsOf(1), ellipse);

    // Presses that cancel out leave no step behind.
    const int steps = form.History().Stack().count();
    Key(Qt::Key_Left);
    Key(Qt::Key_Right);
    EXPECT_EQ(form.History().Stack().count(), steps);
}

TEST_F(EditingTest, TheListShowsTheRegionLiveWhileItIsDragged) {
    form.ListBtn->click();
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    form.SelectBtn->click();
    form.MyCAD1->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 50, 30); // corner 3: a resize
    form.MyCAD1->MouseMove(Qt::NoModifier, 30, 20);
    EXPECT_TRUE(form.MeasurementPanel->LiveLabel->text().contains(QLatin1String(": 200.00 px, ")))
        << form.MeasurementPanel->LiveLabel->text().toStdString();
    form.MyCAD1->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 30, 20);
    EXPECT_EQ(form.MeasurementPanel->LiveLabel->text(), QString());
}

} // namespace
} // namespace kelvo
