// The strip for pictures from files: typed windows, presets and the file's windows, calibration, labels kept apart.
#include "app/main_window.h"
#include "app/window_controls.h"
#include "canvas/measuring.h"
#include "tests/support/sample_files.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(WindowText, TypedWindowsAreReadOrRefused) {
    const struct {
        const char* typed;
        std::optional<imaging::TWindow> read;
    } cases[] = {
        {"C 40 W 400 HU", imaging::TWindow{40, 400}},
        {"40 400", imaging::TWindow{40, 400}},
        {"-600/1500", imaging::TWindow{-600, 1500}},
        {" c 30, w 150.5 ", imaging::TWindow{30, 150.5}},
        {"", std::nullopt},
        {"40", std::nullopt},
        {"C 40 W 0", std::nullopt},
        {"C 40 W -5", std::nullopt},
        {"40 400 500", std::nullopt},
        {"brain", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseWindowText(QString::fromLatin1(c.typed)), c.read) << c.typed;
        if (c.read) {
            EXPECT_EQ(ParseWindowText(WindowText(*c.read, QStringLiteral("HU"))), c.read) << c.typed;
        }
    }
}

class WindowControlsTest : public ::testing::Test {
protected:
    WindowControlsTest() {
        form.ShowError = [this](const QString& m) { errors << m; };
        form.ConfirmDropShapes = [](int) { return true; };
        form.ConfirmLoadAnnotations = [](const QString&) { return true; };
        form.AskSaveShapes = [](const QString&) { return QMessageBox::Discard; };
    }
    // The small CT with two windows of its own and, when spaced is false, no spacing.
    QString CtFile(bool spaced) {
        const QString path = dir.filePath(spaced ? QStringLiteral("spaced.dcm") : QStringLiteral("plain.dcm"));
        DcmFileFormat file;
        EXPECT_TRUE(file.loadFile(test::PydicomFile("CT_small.dcm").toLocal8Bit().constData()).good());
        DcmDataset* ds = file.getDataset();
        ds->putAndInsertString(DCM_WindowCenter, "40\\-600");
        ds->putAndInsertString(DCM_WindowWidth, "80\\1500");
        ds->putAndInsertString(DCM_WindowCenterWidthExplanation, "BRAIN\\LUNG");
        if (!spaced) delete ds->remove(DCM_PixelSpacing);
        EXPECT_TRUE(file.saveFile(path.toLocal8Bit().constData()).good());
        return path;
    }
    void DrawRuler(QPoint from, QPoint to) {
        form.rulelineBtn->click();
        form.MyCAD1->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, from.x(), from.y());
        form.MyCAD1->MouseMove(Qt::NoModifier, to.x(), to.y());
        form.MyCAD1->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, to.x(), to.y());
        form.SelectBtn->click();
    }
    QString RulerValue() { return form.Measurements().at(0).ValueText(); }

    QTemporaryDir dir;
    TForm1 form;
    QStringList errors;
};

TEST_F(WindowControlsTest, KeysAndTheMenuSetPresetsAndTheFilesOwnWindows) {
    EXPECT_FALSE(form.WindowControls->WindowEdit->isVisibleTo(&form)) << "the built-in picture has none";
    ASSERT_TRUE(form.OpenFile(CtFile(true)));
    form.show();
    QApplication::setActiveWindow(&form);
    QApplication::processEvents();
    TWindowControls& strip = *form.WindowControls;
    EXPECT_TRUE(strip.WindowEdit->isVisibleTo(&form));
    EXPECT_EQ(strip.WindowEdit->text(), QStringLiteral("C 40 W 80 HU"));
    for (size_t i = 0; i < CtWindowPresets().size(); ++i) {
        QTest::keyClick(&form, Qt::Key(Qt::Key_1 + int(i)));
        const TWindowPreset& p = CtWindowPresets()[i];
        EXPECT_EQ(form.MyCAD1->Window(), (imaging::TWindow{p.Center, p.Width})) << p.Name;
        EXPECT_EQ(strip.WindowEdit->text(), WindowText({p.Center, p.Width}, QStringLiteral("HU"))) << p.Name;
    }
    QTest::keyClick(&form, Qt::Key_9);
    EXPECT_EQ(form.MyCAD1->Window(), (imaging::TWindow{40, 80}));
    emit strip.WindowsMenu->aboutToShow();
    QStringList offered;
    for (QAction* a : strip.WindowsMenu->actions()) offered << a->text();
    EXPECT_TRUE(offered.contains(QStringLiteral("LUNG (C -600 W 1500 HU)")))
        << offered.join(QLatin1Char('|')).toStdString();
    strip.WindowsMenu->actions().at(offered.indexOf(QStringLiteral("LUNG (C -600 W 1500 HU)")))->trigger();
    EXPECT_EQ(form.MyCAD1->Window(), (imaging::TWindow{-600, 1500}));
    strip.WindowEdit->setText(QStringLiteral("C 35 W 90"));
    QTest::keyClick(strip.WindowEdit, Qt::Key_Return);
    EXPECT_EQ(form.MyCAD1->Window(), (imaging::TWindow{35, 90}));
}

TEST_F(WindowControlsTest, ACalibratedRulerMeasuresUndoesAndIsSavedWithTheShapes) {
    const QString file = CtFile(false);
    ASSERT_TRUE(form.OpenFile(file));
    TWindowControls& strip = *form.WindowControls;
    DrawRuler({10, 10}, {110, 10});
    ASSERT_TRUE(RulerValue().endsWith(QStringLiteral(" in")));
    strip.AskLength = [](double) { return 50.0; };
    ASSERT_TRUE(strip.CalibrateWithRuler());
    DrawRuler({10, 30}, {10, 50});
    const struct {
        const char* step;
        std::function<void()> act;
        const char* first;
        const char* second;
    } steps[] = {
        {"calibrated", [] {}, "50.00 mm calibrated", "10.00 mm calibrated"},
        {"undo the ruler", [&] { form.UndoKey(); }, "50.00 mm calibrated", nullptr},
        {"undo the calibration", [&] { form.UndoKey(); }, nullptr, nullptr},
        {"redo", [&] { form.RedoKey(); }, "50.00 mm calibrated", nullptr},
        {"saved and loaded",
         [&] {
             ASSERT_TRUE(strip.RemoveCalibration());
             form.UndoKey();
             ASSERT_TRUE(form.SaveAnnotationsTo(AnnotationPathFor(file)));
             ASSERT_TRUE(form.OpenFile(CtFile(true)));
             ASSERT_TRUE(form.OpenFile(file));
         },
         "50.00 mm calibrated", nullptr},
    };
    for (const auto& s : steps) {
        s.act();
        const std::vector<TMeasurement> m = form.Measurements();
        const QString first = m.at(0).ValueText();
        EXPECT_EQ(first, s.first                                 ? QString::fromUtf8(s.first)
                         : first.endsWith(QStringLiteral(" in")) ? first
                                                                 : QString())
            << s.step;
        if (s.second) {
            EXPECT_EQ(m.at(1).ValueText(), QString::fromUtf8(s.second)) << s.step;
        }
        EXPECT_EQ(MeasurementsCsv(m).contains("Calibrated by the user"), s.first != nullptr) << s.step;
    }
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QLatin1Char('\n')).toStdString();
}

// The labels of many rulers ending near one corner would all stand there.
TEST_F(WindowControlsTest, CrowdedLabelsStayInViewAndApart) {
    ASSERT_TRUE(form.OpenFile(CtFile(true)));
    form.show();
    for (int i = 0; i < 6; ++i) DrawRuler({10 + 7 * i, 40}, {100 - 3 * i, 100 + i});
    for (bool onBuiltIn : {false, true}) {
        if (onBuiltIn) {
            form.WindowControls->LegibleLabelsBox->setChecked(true);
            form.MyCAD1->SetBackGround(QImage(256, 256, QImage::Format_RGB32));
        }
        form.MyCAD1->Paint();
        const QRect view = form.MyCAD1->ImageRect();
        std::vector<QRect> boxes;
        for (int32_t i = 0; i < form.MyCAD1->ShapeCount(); ++i) {
            const auto& place = form.MyCAD1->Shape(i)->LabelPlace;
            ASSERT_TRUE(place.has_value()) << i;
            EXPECT_TRUE(view.contains(place->Box)) << i;
            for (const QRect& other : boxes) EXPECT_FALSE(other.intersects(place->Box)) << i;
            boxes.push_back(place->Box);
        }
    }
    // A label dragged with the select tool moves; its shape stays.
    TMyShape* last = form.MyCAD1->Shape(form.MyCAD1->ShapeCount() - 1);
    const std::vector<TPoint> points = last->Points;
    const QPoint grip = last->LabelPlace->Box.center();
    QTest::mousePress(form.MyCAD1, Qt::LeftButton, {}, grip);
    QTest::mouseMove(form.MyCAD1, grip + QPoint(-30, -60));
    QTest::mouseRelease(form.MyCAD1, Qt::LeftButton, {}, grip + QPoint(-30, -60));
    EXPECT_EQ(last->LabelShift, QPoint(-30, -60));
    EXPECT_EQ(last->Points, points);
    // Scrolled to the shapes at a zoom that hid them, their labels come into view.
    ASSERT_TRUE(form.MyCAD1->SetZoom(8.0));
    EXPECT_FALSE(last->LabelPlace.has_value());
    form.ScrollBox1->horizontalScrollBar()->setValue(600);
    form.ScrollBox1->verticalScrollBar()->setValue(600);
    QApplication::processEvents();
    ASSERT_TRUE(last->LabelPlace.has_value());
    EXPECT_TRUE(form.MyCAD1->ImageRect().contains(last->LabelPlace->Box));
}

} // namespace
} // namespace kelvo
