// The main window on the offscreen platform: its stored layout, and each handler's effect on the canvas.
#include "app/main_window.h"

#include "app/picture.h"
#include "canvas/shape.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

namespace kelvo {
namespace {

constexpr QRgb kYellow = qRgb(255, 255, 0);
constexpr QRgb kBlack = qRgb(0, 0, 0);

// Pixels of the canvas image in a rectangle that satisfy a test.
int Count(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& test) {
    int n = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (test(image.pixel(x, y) | 0xFF000000u)) ++n;
    return n;
}

int CountColour(const QImage& image, const QRect& area, QRgb colour) {
    return Count(image, area, [colour](QRgb p) { return p == colour; });
}

class MainWindowTest : public ::testing::Test {
protected:
    // A drag with the given tool, through the canvas's own mouse handlers.
    void DrawWith(QToolButton* tool, QPoint from, QPoint to) {
        tool->click();
        TMyCAD* cad = form.MyCAD1;
        cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, from.x(), from.y());
        cad->MouseMove(Qt::NoModifier, (from.x() + to.x()) / 2, (from.y() + to.y()) / 2);
        cad->MouseMove(Qt::NoModifier, to.x(), to.y());
        cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, to.x(), to.y());
    }
    // Leaves every shape unselected, so no hot point squares are drawn.
    void DeselectAll() {
        for (int32_t i = 0; i < form.MyCAD1->ShapeCount(); ++i) form.MyCAD1->Shape(i)->Deselect();
        form.MyCAD1->Paint();
    }
    void ApplyZoom(const QString& text) {
        form.Edit1->setText(text);
        form.Button1->click();
    }

    TForm1 form;
};

TEST_F(MainWindowTest, ControlsSitWhereTheStoredFormPutsThem) {
    const struct {
        QWidget* widget;
        QRect geometry;
    } controls[] = {
        {form.Panel1, {8, 0, 137, 553}},        {form.Bevel2, {16, 16, 81, 353}},
        {form.SelectBtn, {35, 25, 30, 30}},     {form.LineBtn, {35, 55, 30, 30}},
        {form.rulelineBtn, {35, 85, 30, 30}},   {form.Sectorbtn, {35, 115, 30, 30}},
        {form.rectangleBtn, {35, 145, 30, 30}}, {form.EllipseBtn, {35, 174, 30, 30}},
        {form.PolyLineBtn, {35, 204, 30, 30}},  {form.SpeedButton1, {35, 234, 30, 30}},
        {form.SpinEdit1, {40, 300, 41, 24}},    {form.Shape1, {40, 352, 41, 9}},
        {form.Bevel1, {8, 376, 105, 153}},      {form.Edit1, {24, 390, 65, 23}},
        {form.Button1, {24, 419, 57, 20}},      {form.CheckBox2, {16, 456, 97, 17}},
        {form.CheckBox1, {16, 480, 97, 17}},    {form.ScrollBox1, {152, 8, 553, 553}},
        {form.MyCAD1, {3, 0, 512, 512}},        {form.BitBtn3, {112, 576, 153, 33}},
        {form.BitBtn2, {352, 576, 177, 33}},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.widget->objectName().toStdString());
        EXPECT_EQ(c.widget->geometry(), c.geometry);
    }
    EXPECT_EQ(form.Label1->pos(), QPoint(35, 264));
    EXPECT_EQ(form.Label2->pos(), QPoint(32, 285));
    EXPECT_EQ(form.Label3->pos(), QPoint(40, 328));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Kelvo was used in DICOM Application"));
    EXPECT_EQ(form.size(), QSize(731, 646));
}

TEST_F(MainWindowTest, CaptionsAreTheStoredOnes) {
    EXPECT_EQ(form.Label2->text(), QStringLiteral("LineWidth"));
    EXPECT_EQ(form.Label3->text(), QStringLiteral("Color"));
    EXPECT_EQ(form.Edit1->text(), QStringLiteral("1.00"));
    EXPECT_EQ(form.Button1->text(), QStringLiteral("SetZoom"));
    EXPECT_EQ(form.CheckBox2->text(), QStringLiteral("DICOM Style?"));
    EXPECT_EQ(form.CheckBox1->text(), QStringLiteral("Shadow?"));
    EXPECT_EQ(form.BitBtn3->text(), QStringLiteral("Infomation"));
    EXPECT_EQ(form.BitBtn2->text(), QStringLiteral("&Close"));
    EXPECT_FALSE(form.BitBtn3->icon().isNull());
    EXPECT_FALSE(form.BitBtn2->icon().isNull());
}

TEST_F(MainWindowTest, StartsWithTheSelectToolAndTheStoredCanvasSettings) {
    TMyCAD* cad = form.MyCAD1;
    EXPECT_TRUE(form.SelectBtn->isChecked());
    EXPECT_EQ(cad->ShapeTool(), SpNone);
    EXPECT_EQ(cad->Mode(), ModeSelect);
    EXPECT_TRUE(form.CheckBox1->isChecked());
    EXPECT_TRUE(form.CheckBox2->isChecked());
    EXPECT_TRUE(cad->Shadow());
    EXPECT_TRUE(cad->DICOMStyle());
    EXPECT_EQ(form.SpinEdit1->value(), 1);
    EXPECT_EQ(form.SpinEdit1->minimum(), 1);
    EXPECT_EQ(form.SpinEdit1->maximum(), 10);
    EXPECT_EQ(cad->Pen().Width, 1);
    EXPECT_EQ(cad->Pen().Color, clYellow);
    EXPECT_EQ(form.Shape1->BrushColor(), clYellow);
    EXPECT_EQ(form.Shape1->PenColor(), clYellow);
    EXPECT_TRUE(form.Label1->text().isEmpty());
    EXPECT_EQ(cad->LabelXY(), form.Label1);
    EXPECT_EQ(cad->Font(), (TFont{QStringLiteral("Arial"), -12, clYellow, 0, 0}));
    EXPECT_EQ(cad->ColorofDrawing(), clBlack);
    EXPECT_EQ(cad->ColorOfHot(), clBlack);
    EXPECT_EQ(cad->Zoom(), 1.0);
    EXPECT_EQ(cad->ZoomedSize(), QSize(512, 512));
    EXPECT_EQ(cad->BackGround().convertToFormat(QImage::Format_RGB888), BuiltInPicture());
    EXPECT_EQ(cad->ShapeCount(), 0);
}

TEST_F(MainWindowTest, OpensCentredOnTheScreen) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QRect screen = form.screen()->geometry();
    const QRect frame = form.frameGeometry();
    EXPECT_LE(std::abs(frame.center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(frame.center().y() - screen.center().y()), 1);
}

TEST_F(MainWindowTest, ToolButtonsAreOneExclusiveGroupSettingTheTool) {
    const struct {
        QToolButton* button;
        TDrawTool tool;
    } tools[] = {
        {form.LineBtn, SpLine},           {form.rulelineBtn, SpRuleLine}, {form.Sectorbtn, SpSector},
        {form.rectangleBtn, SpRectangle}, {form.EllipseBtn, SpEllipse},   {form.PolyLineBtn, SpPolyLine},
        {form.SelectBtn, SpNone},
    };
    ASSERT_EQ(form.ToolGroup->buttons().size(), 7);
    for (const auto& t : tools) {
        SCOPED_TRACE(t.button->objectName().toStdString());
        t.button->click();
        EXPECT_EQ(form.MyCAD1->ShapeTool(), t.tool);
        EXPECT_EQ(form.MyCAD1->Mode(), t.tool == SpNone ? ModeSelect : ModeDraw);
        for (QAbstractButton* b : form.ToolGroup->buttons()) EXPECT_EQ(b->isChecked(), b == t.button);
        // Pressing the button that is already down keeps it down.
        t.button->click();
        EXPECT_TRUE(t.button->isChecked());
    }
    EXPECT_FALSE(form.SpeedButton1->isCheckable());
    EXPECT_EQ(form.SpeedButton1->group(), nullptr);
}

// Each text is applied from zoom 2, so a fallback to 1 is visible. The sizes a zoom
// gives are the canvas tests' concern.
TEST_F(MainWindowTest, ZoomTextGivesTheZoomOrOne) {
    const struct {
        const char* text;
        double zoom;
    } cases[] = {
        {"2", 2.0},   {" 1.5 ", 1.5}, {"+2e0", 2.0}, {"0.333", 0.333}, {"abc", 1.0},
        {"", 1.0},    {"2x", 1.0},    {"0", 1.0},    {"-2", 1.0},      {"inf", 1.0},
        {"nan", 1.0}, {"1e300", 1.0}, {"100", 1.0},  {"1,000", 1.0},   {"0.01", 0.01},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ApplyZoom(QStringLiteral("2"));
        ASSERT_EQ(form.MyCAD1->Zoom(), 2.0);
        ApplyZoom(QString::fromLatin1(c.text));
        EXPECT_EQ(form.MyCAD1->Zoom(), c.zoom);
        EXPECT_EQ(form.Edit1->text(), QString::fromLatin1(c.text));
    }
}

TEST_F(MainWindowTest, ZoomTwoGivesScrollBarsAndOneTakesThemAway) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ApplyZoom(QStringLiteral("2"));
    QApplication::processEvents();
    EXPECT_EQ(form.MyCAD1->geometry(), QRect(3, 0, 1024, 1024));
    EXPECT_EQ(form.ScrollBox1->widget()->size(), QSize(3 + 1024, 1024));
    EXPECT_TRUE(form.ScrollBox1->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(form.ScrollBox1->verticalScrollBar()->isVisible());
    EXPECT_GT(form.ScrollBox1->verticalScrollBar()->maximum(), 400);
    ApplyZoom(QStringLiteral("1"));
    QApplication::processEvents();
    EXPECT_FALSE(form.ScrollBox1->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(form.ScrollBox1->verticalScrollBar()->isVisible());
}

// The picture has no pure black pixel, so black on the canvas is a shadow copy.
TEST_F(MainWindowTest, ShadowBoxRepaintsAtOnce) {
    ASSERT_EQ(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), form.MyCAD1->rect(), kBlack), 0);
    DrawWith(form.rectangleBtn, {40, 40}, {200, 150});
    DeselectAll();
    const QRect box(30, 30, 190, 150);
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), box, kBlack), 100);
    form.CheckBox1->click();
    EXPECT_FALSE(form.MyCAD1->Shadow());
    EXPECT_FALSE(ShapeSettings.Shadow);
    EXPECT_EQ(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), form.MyCAD1->rect(), kBlack), 0);
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), box, kYellow), 100);
    form.CheckBox1->click();
    EXPECT_TRUE(form.MyCAD1->Shadow());
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), box, kBlack), 100);
}

// A region's label ("Roi-" and its number) is drawn in the yellow font under the box.
TEST_F(MainWindowTest, LabelBoxRepaintsAtOnce) {
    DrawWith(form.rectangleBtn, {40, 40}, {200, 150});
    DeselectAll();
    const QRect underBox(40, 153, 160, 30);
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), underBox, kYellow), 10);
    form.CheckBox2->click();
    EXPECT_FALSE(form.MyCAD1->DICOMStyle());
    EXPECT_FALSE(ShapeSettings.DICOMStyle);
    EXPECT_EQ(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), underBox, kYellow), 0);
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), QRect(30, 30, 190, 130), kYellow), 100);
    form.CheckBox2->click();
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), underBox, kYellow), 10);
}

TEST_F(MainWindowTest, ChosenColourAppliesToNewShapesOnly) {
    std::vector<QColor> offered;
    form.ColorDialog1 = [&](const QColor& initial) -> std::optional<QColor> {
        offered.push_back(initial);
        return QColor(Qt::red);
    };
    DrawWith(form.rectangleBtn, {20, 20}, {100, 100});
    const QImage before = form.MyCAD1->CanvasPixels(form.MyCAD1->rect());
    QTest::mouseClick(form.Shape1, Qt::RightButton);
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0], QColor(Qt::black));
    EXPECT_EQ(form.MyCAD1->Pen().Color, clRed);
    EXPECT_EQ(form.Shape1->PenColor(), clRed);
    EXPECT_EQ(form.Shape1->BrushColor(), clRed);
    EXPECT_EQ(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), before) << "choosing a colour does not repaint";

    DrawWith(form.rectangleBtn, {200, 200}, {300, 300});
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 2);
    EXPECT_EQ(form.MyCAD1->Shape(0)->Pen.Color, clYellow);
    EXPECT_EQ(form.MyCAD1->Shape(1)->Pen.Color, clRed);
    DeselectAll();
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), QRect(195, 195, 110, 110), qRgb(255, 0, 0)),
              100);
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), QRect(15, 15, 90, 90), kYellow), 100);

    QTest::mouseClick(form.Shape1, Qt::LeftButton);
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[1], QColor(Qt::red)) << "the dialog opens with the last choice";
}

TEST_F(MainWindowTest, CancelledColourChangesNothing) {
    form.ColorDialog1 = [](const QColor&) -> std::optional<QColor> { return std::nullopt; };
    QTest::mouseClick(form.Shape1, Qt::LeftButton);
    EXPECT_EQ(form.MyCAD1->Pen().Color, clYellow);
    EXPECT_EQ(form.Shape1->BrushColor(), clYellow);
}

TEST_F(MainWindowTest, DeleteWithNothingSelectedDoesNothing) {
    DrawWith(form.rectangleBtn, {40, 40}, {200, 150});
    DeselectAll();
    const QImage before = form.MyCAD1->CanvasPixels(form.MyCAD1->rect());
    form.SpeedButton1->click();
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 1);
    EXPECT_EQ(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), before);
}

TEST_F(MainWindowTest, DeleteRemovesTheSelectedShapeAndRepaints) {
    DrawWith(form.rectangleBtn, {40, 40}, {200, 150});
    DrawWith(form.EllipseBtn, {250, 250}, {350, 330});
    DeselectAll();
    form.MyCAD1->Shape(0)->Select();
    form.SpeedButton1->click();
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 1);
    EXPECT_EQ(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), QRect(30, 30, 190, 150), kYellow), 0);
    EXPECT_GT(CountColour(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), QRect(245, 245, 110, 90), kYellow), 50);
}

TEST_F(MainWindowTest, LineWidthFollowsTheSpinBoxText) {
    QLineEdit* edit = form.SpinEdit1->lineEdit();
    const struct {
        const char* text;
        int width;
    } cases[] = {{"7", 7}, {"", 1}, {"10", 10}, {"3", 3}, {"x", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        edit->setText(QString::fromLatin1(c.text));
        EXPECT_EQ(form.MyCAD1->Pen().Width, c.width);
    }
    // Leaving the box with a text that is not a number: the box shows a valid
    // value again, and the pen has that width.
    form.SpinEdit1->setValue(4);
    edit->setText(QString());
    ASSERT_EQ(form.MyCAD1->Pen().Width, 1);
    QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(form.SpinEdit1, &leave);
    EXPECT_EQ(form.MyCAD1->Pen().Width, form.SpinEdit1->value());
    EXPECT_EQ(edit->text().toInt(), form.SpinEdit1->value());

    form.SpinEdit1->setValue(5);
    EXPECT_EQ(form.MyCAD1->Pen().Width, 5);
    form.SpinEdit1->stepUp();
    EXPECT_EQ(form.MyCAD1->Pen().Width, 6);
    form.SpinEdit1->stepDown();
    DrawWith(form.rectangleBtn, {40, 40}, {200, 150});
    EXPECT_EQ(form.MyCAD1->Shape(0)->Pen.Width, 5);
}

TEST_F(MainWindowTest, InformationButtonShowsTheAboutBoxModally) {
    form.BitBtn3->click(); // no about window yet: nothing happens
    QDialog about;
    form.SetAboutBox(&about);
    bool shownModal = false;
    QTimer::singleShot(0, &about, [&] {
        shownModal = about.isVisible() && QApplication::activeModalWidget() == &about;
        about.accept();
    });
    form.show();
    form.BitBtn3->click();
    EXPECT_TRUE(shownModal);
    EXPECT_FALSE(about.isVisible());
    EXPECT_TRUE(form.isVisible());
}

TEST_F(MainWindowTest, CloseButtonClosesTheWindow) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    // Shapes on the built-in picture have no file to be saved to: nothing is asked.
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    form.ConfirmDropShapes = [](int) { return false; };
    form.BitBtn2->click();
    EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindowTest, ScrollBoxGrowsAndShrinksWithTheWindowAndTheRestStays) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.resize(900, 800);
    QApplication::processEvents();
    EXPECT_EQ(form.ScrollBox1->geometry(), QRect(152, 8, 900 - 178, 800 - 93));
    EXPECT_EQ(form.Panel1->geometry(), QRect(8, 0, 137, 553));
    EXPECT_EQ(form.BitBtn3->geometry(), QRect(112, 800 - 70, 153, 33));
    EXPECT_EQ(form.BitBtn2->geometry(), QRect(352, 800 - 70, 177, 33));
    form.resize(500, 400);
    QApplication::processEvents();
    EXPECT_EQ(form.ScrollBox1->geometry(), QRect(152, 8, 500 - 178, 400 - 93));
    EXPECT_EQ(form.Panel1->geometry(), QRect(8, 0, 137, 553));
    EXPECT_EQ(form.BitBtn3->geometry(), QRect(112, 576, 153, 33));
    EXPECT_EQ(form.BitBtn2->geometry(), QRect(352, 576, 177, 33));
    EXPECT_TRUE(form.ScrollBox1->verticalScrollBar()->isVisible());
    form.resize(731, 646);
    QApplication::processEvents();
    EXPECT_EQ(form.ScrollBox1->geometry(), QRect(152, 8, 553, 553));
    EXPECT_EQ(form.BitBtn2->geometry(), QRect(352, 576, 177, 33));
    EXPECT_EQ(form.MyCAD1->geometry(), QRect(3, 0, 512, 512));
}

TEST_F(MainWindowTest, TabGoesThroughTheControlsInTheStoredOrder) {
    const std::vector<QWidget*> expected = {form.SpinEdit1, form.Edit1,      form.Button1, form.CheckBox1,
                                            form.CheckBox2, form.ScrollBox1, form.BitBtn2, form.BitBtn3};
    std::vector<QWidget*> seen;
    QWidget* w = form.SpinEdit1;
    for (int guard = 0; guard < 200 && seen.size() < expected.size(); ++guard) {
        if (std::find(expected.begin(), expected.end(), w) != expected.end() &&
            std::find(seen.begin(), seen.end(), w) == seen.end())
            seen.push_back(w);
        w = w->nextInFocusChain();
    }
    EXPECT_EQ(seen, expected);
    // The tool buttons and the swatch are reached with the mouse only.
    EXPECT_EQ(form.SelectBtn->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(form.SpeedButton1->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(form.Shape1->focusPolicy(), Qt::NoFocus);
}

// Tab cycles the selection through the shapes while there is one to go to, and then
// moves the keyboard on like any other control: the canvas never keeps it.
TEST_F(MainWindowTest, TabLeavesTheCanvasPastTheLastShapeOrWithoutShapes) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    TMyCAD* cad = form.MyCAD1;
    const auto press = [](int key) { QTest::keyClick(QApplication::focusWidget(), Qt::Key(key)); };
    form.SelectBtn->click();
    QTest::mouseClick(cad, Qt::LeftButton, {}, QPoint(300, 300));
    ASSERT_EQ(QApplication::focusWidget(), cad) << "a click gives the canvas the keyboard";
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form.BitBtn2) << "no shapes: Tab goes on to the next control";
    QTest::mouseClick(cad, Qt::LeftButton, {}, QPoint(300, 300));
    press(Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), form.ScrollBox1) << "and Shift+Tab back";

    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    DrawWith(form.EllipseBtn, {100, 100}, {140, 120});
    form.SelectBtn->click();
    cad->SelectShape(-1);
    QTest::mouseClick(cad, Qt::LeftButton, {}, QPoint(300, 300));
    ASSERT_EQ(QApplication::focusWidget(), cad);
    press(Qt::Key_Tab);
    EXPECT_EQ(cad->SelectedIndex(), 0);
    press(Qt::Key_Tab);
    EXPECT_EQ(cad->SelectedIndex(), 1);
    ASSERT_EQ(QApplication::focusWidget(), cad);
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form.BitBtn2) << "past the last shape the focus moves on";
    EXPECT_EQ(cad->SelectedIndex(), 1) << "keeping the selection";

    // (A click on empty canvas may drop the selection: a missed shape deselects itself.)
    cad->setFocus(Qt::MouseFocusReason);
    press(Qt::Key_Backtab);
    EXPECT_EQ(cad->SelectedIndex(), 0);
    ASSERT_EQ(QApplication::focusWidget(), cad);
    press(Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), form.ScrollBox1) << "before the first shape Shift+Tab moves back";
    EXPECT_EQ(cad->SelectedIndex(), 0);

    // During a click chain Tab moves the keyboard on and leaves the chain as it is.
    form.PolyLineBtn->click();
    QTest::mouseClick(cad, Qt::LeftButton, {}, QPoint(300, 300));
    ASSERT_EQ(cad->DragState(), DragClickChain);
    ASSERT_EQ(QApplication::focusWidget(), cad);
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form.BitBtn2);
    EXPECT_EQ(cad->DragState(), DragClickChain);
}

// The user's number format for the scope of one test.
class ScopedLocale {
public:
    explicit ScopedLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~ScopedLocale() { QLocale::setDefault(saved_); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

private:
    QLocale saved_;
};

TEST(ParseZoomText, ReadsNumbersTheWayTheZoomBoxExpects) {
    const ScopedLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(ParseZoomText(QStringLiteral("  2.5  ")), 2.5);
    EXPECT_EQ(ParseZoomText(QStringLiteral("-1")), -1.0);
    EXPECT_EQ(ParseZoomText(QStringLiteral("1E1")), 10.0);
    EXPECT_EQ(ParseZoomText(QStringLiteral("1,5")), std::nullopt);
    EXPECT_EQ(ParseZoomText(QStringLiteral("0x10")), std::nullopt);
    EXPECT_EQ(ParseZoomText(QStringLiteral("")), std::nullopt);
}

TEST(ParseZoomText, TakesTheLocaleSeparatorAndAlwaysThePoint) {
    const ScopedLocale german(QLocale(QLocale::German, QLocale::Germany));
    const struct {
        const char* text;
        std::optional<double> zoom;
    } cases[] = {
        {"1.00", 1.0},           {"1,00", 1.0},      {"1,5", 1.5},   {"1.5", 1.5},
        {" 0,25 ", 0.25},        {"2,5e0", 2.5},     {"-1,5", -1.5}, {"abc", std::nullopt},
        {"1,5,0", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseZoomText(QString::fromLatin1(c.text)), c.zoom) << c.text;
    }
}

// The ruler's own comma is the canvas tests' concern.
TEST_F(MainWindowTest, UnderAGermanLocaleTheZoomBoxTakesTheComma) {
    const ScopedLocale german(QLocale(QLocale::German, QLocale::Germany));
    ApplyZoom(QStringLiteral("1,5"));
    EXPECT_EQ(form.MyCAD1->Zoom(), 1.5);
    ApplyZoom(QStringLiteral("0.5"));
    EXPECT_EQ(form.MyCAD1->Zoom(), 0.5) << "the point is always a decimal separator";
    ApplyZoom(QStringLiteral("1.00"));
    EXPECT_EQ(form.MyCAD1->Zoom(), 1.0);
}

// Clicking the tool that is already active is no change of tool: the polyline
// under construction goes on.
TEST_F(MainWindowTest, ClickingTheActiveToolKeepsAnUnfinishedPolyline) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.PolyLineBtn, Qt::LeftButton);
    TMyCAD* cad = form.MyCAD1;
    QTest::mouseClick(cad, Qt::LeftButton, {}, QPoint(20, 20));
    QTest::mouseMove(cad, QPoint(60, 20));
    QTest::mouseClick(cad, Qt::LeftButton, {}, QPoint(60, 20));
    QTest::mouseClick(form.PolyLineBtn, Qt::LeftButton);
    EXPECT_TRUE(form.PolyLineBtn->isChecked());
    QTest::mouseMove(cad, QPoint(60, 60));
    QTest::mouseClick(cad, Qt::RightButton, {}, QPoint(60, 60));
    ASSERT_EQ(cad->ShapeCount(), 1);
    const std::vector<TPoint> expected = {{20, 20}, {60, 20}, {60, 60}};
    EXPECT_EQ(cad->Shape(0)->Points, expected);
    // A change of tool still ends it.
    QTest::mouseClick(cad, Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseClick(form.rectangleBtn, Qt::LeftButton);
    EXPECT_EQ(cad->DragState(), DragNone);
    EXPECT_EQ(cad->ShapeCount(), 1);
}

} // namespace
} // namespace kelvo
