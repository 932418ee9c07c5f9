// The measuring workflow of the main window: the list beside the canvas, CSV and PNG
// export, and the annotation file beside the picture.
#include "app/live_label.h"
#include "app/main_window.h"
#include "app/measurement_panel.h"
#include "canvas/annotations.h"
#include "imaging/loader.h"
#include "imaging/region_stats.h"
#include "tests/support/sample_files.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFontMetrics>
#include <QFile>
#include <QTest>
#include <QLineEdit>
#include <QScrollArea>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>

namespace kelvo {
namespace {

class MeasuringTest : public ::testing::Test {
protected:
    MeasuringTest() {
        form.ShowError = [this](const QString& m) { errors.push_back(m); };
        form.ConfirmDropShapes = [](int) { return true; };
    }
    void DrawWith(QToolButton* tool, QPoint from, QPoint to) {
        tool->click();
        TMyCAD* cad = form.MyCAD1;
        cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, from.x(), from.y());
        cad->MouseMove(Qt::NoModifier, to.x(), to.y());
        cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, to.x(), to.y());
    }
    QString Cell(int row, int column) {
        QTableWidgetItem* item = form.MeasurementPanel->Table->item(row, column);
        return item ? item->text() : QString();
    }
    static QStringList ReadCsv(const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }

    TForm1 form;
    std::vector<QString> errors;
    QTemporaryDir dir;
};

TEST_F(MeasuringTest, TheListWidensTheWindowAndMovesNoControl) {
    std::vector<std::pair<QWidget*, QRect>> before;
    for (QWidget* w : form.findChildren<QWidget*>()) before.emplace_back(w, w->geometry());
    form.ListBtn->click();
    EXPECT_EQ(form.width(), TForm1::kDesignWidth + TMeasurementPanel::kWidth + 8);
    EXPECT_TRUE(form.MeasurementPanel->isVisibleTo(&form));
    for (const auto& [w, g] : before) {
        if (w->parentWidget() == form.MeasurementPanel || w == form.MeasurementPanel || w->window() != &form ||
            w->parentWidget() == form.MeasurementPanel->Table)
            continue;
        if (form.MeasurementPanel->isAncestorOf(w)) continue;
        EXPECT_EQ(w->geometry(), g) << w->objectName().toStdString();
    }
    EXPECT_FALSE(form.MeasurementPanel->geometry().intersects(form.ScrollBox1->geometry()));
    form.ListBtn->click();
    EXPECT_EQ(form.width(), TForm1::kDesignWidth);
    EXPECT_FALSE(form.MeasurementPanel->isVisibleTo(&form));
}

// The program's window makes the list's contents only when it is first needed; shown
// then, they stand where the contents of a list made with the window stand, and work.
TEST_F(MeasuringTest, AListMadeWhenFirstShownIsLaidOutAndWorksAsOneMadeWithTheWindow) {
    TForm1 deferred{TForm1::TStartUp{}};
    ASSERT_FALSE(deferred.MeasurementPanel->HasContent());
    deferred.show();
    form.show();
    deferred.ListBtn->click();
    form.ListBtn->click();
    ASSERT_TRUE(deferred.MeasurementPanel->HasContent());
    const auto children = [](TForm1& f) {
        return f.MeasurementPanel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    };
    ASSERT_EQ(children(deferred).size(), children(form).size());
    for (qsizetype i = 0; i < children(form).size(); ++i) {
        const QWidget* made = children(deferred)[i];
        EXPECT_EQ(made->objectName(), children(form)[i]->objectName());
        EXPECT_EQ(made->geometry(), children(form)[i]->geometry()) << made->objectName().toStdString();
        EXPECT_TRUE(made->isVisible()) << made->objectName().toStdString();
    }
    bool asked = false;
    deferred.SaveDialog = [&](const QString&, const QString&, const QString&) {
        asked = true;
        return QString();
    };
    deferred.MeasurementPanel->ExportCsvBtn->click();
    EXPECT_TRUE(asked);
}

TEST_F(MeasuringTest, EveryShapeIsListedAndSelectionGoesBothWays) {
    form.ListBtn->click();
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    DrawWith(form.rulelineBtn, {100, 100}, {196, 100});
    DrawWith(form.EllipseBtn, {200, 200}, {204, 204});
    ASSERT_EQ(form.MeasurementPanel->Table->rowCount(), 3);
    EXPECT_TRUE(Cell(0, 0).startsWith(QLatin1String("Roi-")));
    EXPECT_EQ(Cell(0, 1), QStringLiteral("Rectangle"));
    EXPECT_TRUE(Cell(0, 2).startsWith(QLatin1String("800.00 px, "))) << Cell(0, 2).toStdString();
    EXPECT_EQ(Cell(1, 0), QStringLiteral("Ruler 1"));
    EXPECT_EQ(Cell(1, 2), QStringLiteral("1.00 in")) << "96 pixels at 96 dots per inch";
    EXPECT_TRUE(Cell(2, 2).startsWith(QLatin1String("12.00 px, "))) << Cell(2, 2).toStdString();
    // The built-in picture's grey levels are the values measured.
    const std::vector<TMeasurement> m = form.Measurements();
    double sum = 0;
    const QImage& picture = form.MyCAD1->BackGround();
    for (int y = 10; y < 30; ++y)
        for (int x = 10; x < 50; ++x) sum += qRed(picture.pixel(x, y));
    ASSERT_TRUE(m[0].Stats.has_value());
    EXPECT_DOUBLE_EQ(m[0].Stats->Mean, sum / 800);

    QTest::keyClick(form.MeasurementPanel->Table, Qt::Key_C, Qt::ControlModifier);
    const QStringList copied = QApplication::clipboard()->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(copied.size(), 4);
    EXPECT_EQ(copied[2], QStringLiteral("Ruler 1\tRuler\t1.00 in"));

    EXPECT_EQ(form.MeasurementPanel->SelectedRow(), 2) << "the shape drawn last is selected";
    form.MeasurementPanel->Table->selectRow(0);
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), 0);
    EXPECT_FALSE(form.MyCAD1->Shape(2)->Selected);
    form.SelectBtn->click();
    form.MyCAD1->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 148, 100);
    form.MyCAD1->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 148, 100);
    EXPECT_EQ(form.MeasurementPanel->SelectedRow(), 1);
}

TEST_F(MeasuringTest, ExportedCsvOfACtAgreesWithNumpy) {
    const QString ct = test::PydicomFile("CT_small.dcm");
    ASSERT_TRUE(form.OpenFile(ct));
    DrawWith(form.rectangleBtn, {10, 12}, {90, 70});
    DrawWith(form.EllipseBtn, {60, 5}, {5, 60});
    DrawWith(form.rulelineBtn, {0, 0}, {30, 40});
    const QString path = dir.path() + QStringLiteral("/m.csv");
    form.SaveDialog = [&](const QString&, const QString& suggested, const QString&) {
        EXPECT_EQ(suggested, ct + QStringLiteral(".csv"));
        return path;
    };
    form.MeasurementPanel->ExportCsvBtn->click();
    const QStringList rows = ReadCsv(path);
    ASSERT_EQ(rows.size(), 4);
    QStringList regions;
    for (int i = 1; i <= 2; ++i) {
        const QStringList f = rows[i].split(QLatin1Char(','));
        const QString kind = f[1] == QLatin1String("Rectangle") ? QStringLiteral("rect") : QStringLiteral("ellipse");
        regions << kind + QLatin1Char(':') +
                       QString(f[2])
                           .replace(QLatin1Char(' '), QLatin1Char(','))
                           .replace(QLatin1String(";,"), QLatin1String(";"));
    }
    const QStringList numpy = test::NumpyRegionStatistics(ct, regions);
    ASSERT_EQ(numpy.size(), 2) << regions.join(QLatin1Char(' ')).toStdString();
    for (int i = 0; i < 2; ++i) {
        const QStringList f = rows[i + 1].split(QLatin1Char(','));
        const QStringList want = numpy[i].split(QLatin1Char(' '));
        SCOPED_TRACE(rows[i + 1].toStdString());
        EXPECT_EQ(f[8], want[0]);
        for (int k = 1; k < 5; ++k) {
            const double got = f[8 + k].toDouble(), expected = want[k].toDouble();
            EXPECT_LE(std::abs(got - expected), 1e-9 * std::max(1.0, std::abs(expected))) << k;
        }
        EXPECT_EQ(f[13], QStringLiteral("HU"));
        EXPECT_EQ(f[7], QStringLiteral("mm²"));
        EXPECT_DOUBLE_EQ(f[6].toDouble(), want[0].toDouble() * 0.661468 * 0.661468);
    }
    const QStringList ruler = rows[3].split(QLatin1Char(','));
    EXPECT_DOUBLE_EQ(ruler[3].toDouble(), 50 * 0.661468);
    EXPECT_EQ(ruler[4], QStringLiteral("mm"));
}

// Captions from a shared annotation file reach a spreadsheet as text, never as formulas.
TEST_F(MeasuringTest, CaptionsLoadedFromAFileAreNoFormulasInTheCsv) {
    const QStringList captions = {"=HYPERLINK(A1)", "@SUM(A1)", "+1", "-1", "\tx", "\rx", "a=b"};
    std::vector<TAnnotation> shared;
    for (const QString& c : captions) shared.push_back({TShapeKind::Arrow, {{-1, 2}, {3, 4}}, clRed, 1, {}, c});
    SaveAnnotations(dir.filePath("a"), shared);
    ASSERT_TRUE(form.LoadAnnotationsFrom(dir.filePath("a")) && form.ExportMeasurements(dir.filePath("m")));
    const QStringList rows = ReadCsv(dir.filePath("m")).replaceInStrings("\"", "");
    for (qsizetype i = 0; i < captions.size(); ++i)
        EXPECT_TRUE(rows.value(i + 1).startsWith((i < 6 ? "'" : "") + captions[i] + ",Arrow,'-1 2; 3 4,"));
}

// Each row names file, SOP Instance UID (as pydicom reads it) and frame, shown while stepping.
TEST_F(MeasuringTest, TheFrameShowsWhileSteppingAndEveryCsvRowNamesFileImageAndFrame) {
    EXPECT_TRUE(form.FrameLabel->isHidden()) << "the built-in picture's window stays as it was";
    ASSERT_TRUE(form.OpenFile(test::PydicomFile("rtdose.dcm")));
    form.show();
    QApplication::setActiveWindow(&form);
    QTest::keyClick(&form, Qt::Key_PageDown);
    QWheelEvent down({10, 10}, {}, {}, {0, -120}, Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(form.MyCAD1, &down);
    QApplication::processEvents();
    EXPECT_TRUE(form.FrameLabel->isVisible() && form.FrameLabel->text() == "frame 3 / 15");
    DrawWith(form.rectangleBtn, {1, 1}, {5, 5});
    ASSERT_TRUE(form.ExportMeasurements(dir.filePath("m")));
    EXPECT_TRUE(ReadCsv(dir.filePath("m")).last().endsWith(",rtdose.dcm,1.9.999.999.99.9.9999.9999.20030818153516,3"));
}

TEST_F(MeasuringTest, AMovedRegionShowsItsStatisticsOnTheCanvasAsInTheList) {
    const QString ct = test::PydicomFile("CT_small.dcm");
    ASSERT_TRUE(form.OpenFile(ct));
    const imaging::TPicture picture = imaging::LoadPicture(ct);
    form.ListBtn->click();
    DrawWith(form.rectangleBtn, {10, 12}, {40, 30});
    const QString name = form.MyCAD1->Shape(0)->Caption();
    const TLiveLabel& live = *form.LiveStatistics;
    EXPECT_TRUE(live.isHidden()) << "the drawn region's own label has taken over";

    form.SelectBtn->click();
    TMyCAD* cad = form.MyCAD1;
    cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 20, 20);
    QStringList shown;
    const QPoint moves[] = {{50, 40}, {85, 70}};
    for (const QPoint to : moves) {
        cad->MouseMove(Qt::NoModifier, to.x(), to.y());
        const int dx = to.x() - 20, dy = to.y() - 20;
        SCOPED_TRACE(dx);
        imaging::TRegion region;
        region.Points = {{10 + dx, 12 + dy}, {40 + dx, 30 + dy}};
        TMeasurement m;
        m.Kind = TShapeKind::Rectangle;
        m.Stats = imaging::RegionStatistics(picture, 0, region);
        EXPECT_EQ(live.Lines(), StatsLabelLines(*m.Stats));
        EXPECT_EQ(form.MeasurementPanel->LiveLabel->text(), name + QStringLiteral(": ") + m.ValueText());
        EXPECT_FALSE(live.isHidden());
        // Centred under the moved box, a line below the name.
        const QFontMetrics metrics(ToQFont(cad->Shape(0)->Font));
        const int w = metrics.horizontalAdvance(live.Lines().value(0));
        EXPECT_EQ(live.LinePlace(0), QPoint(10 + dx + (30 - w) / 2, 30 + dy + metrics.height()));
        // Painted over the canvas in the pen's colour (the canvas's own pixels hold no
        // yellow on a grey picture away from the region's old label).
        const QImage shot = cad->grab(live.geometry()).toImage().convertToFormat(QImage::Format_RGB32);
        int pen = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) pen += shot.pixel(x, y) == qRgb(255, 255, 0);
        EXPECT_GT(pen, 20);
        EXPECT_NE(live.Lines(), shown) << "the two places differ";
        shown = live.Lines();
    }
    cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 85, 70);
    EXPECT_TRUE(live.isHidden());
    EXPECT_EQ(form.MeasurementPanel->LiveLabel->text(), QString());
    EXPECT_EQ(cad->Shape(0)->LabelLines, shown) << "the label on release says what the drag showed";
}

TEST_F(MeasuringTest, LiveStatisticsShowOnTheCanvasOnlyWhereRegionLabelsCarryThem) {
    struct Case {
        const char* Name;
        bool List;
        bool Labels;
        bool Shown;
    };
    const Case cases[] = {
        {"built-in picture, list closed: its look stays", false, true, false},
        {"built-in picture, list open", true, true, true},
        {"labels off", true, false, false},
    };
    TMyCAD* cad = form.MyCAD1;
    for (const Case& c : cases) {
        if (form.ListBtn->isChecked() != c.List) form.ListBtn->click();
        if (form.CheckBox2->isChecked() != c.Labels) form.CheckBox2->click();
        form.rectangleBtn->click();
        cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 100, 100);
        cad->MouseMove(Qt::NoModifier, 160, 140);
        EXPECT_EQ(!form.LiveStatistics->isHidden(), c.Shown) << c.Name;
        EXPECT_EQ(form.LiveStatistics->Lines().size(), c.Shown ? 3 : 0) << c.Name;
        cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 160, 140);
        EXPECT_TRUE(form.LiveStatistics->isHidden()) << c.Name;
    }
}

TEST_F(MeasuringTest, ExportedPictureIsTheCanvasPixelByPixel) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    form.Edit1->setText(QStringLiteral("1.5"));
    form.Button1->click();
    QApplication::processEvents();
    const QString path = dir.path() + QStringLiteral("/p.png");
    ASSERT_TRUE(form.ExportPicture(path));
    const QImage saved = QImage(path).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(saved.size(), QSize(768, 768));
    // The part on the screen is the image the canvas shows; the rest as it would be shown.
    const QRect shown = form.MyCAD1->ImageRect();
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_EQ(saved.copy(shown), form.MyCAD1->Image().convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(saved, form.MyCAD1->CanvasPixels(form.MyCAD1->rect()));
}

TEST_F(MeasuringTest, AnnotationsAreSavedBesideTheFileAndFailuresAreTold) {
    EXPECT_EQ(form.AnnotationFile(), QString()) << "the built-in picture has no file to sit beside";
    const QString copy = dir.path() + QStringLiteral("/scan.dcm");
    ASSERT_TRUE(QFile::copy(test::PydicomFile("CT_small.dcm"), copy));
    ASSERT_TRUE(form.OpenFile(copy));
    EXPECT_EQ(form.AnnotationFile(), copy + QStringLiteral(".kelvo.json"));
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    DrawWith(form.rulelineBtn, {0, 0}, {30, 40});
    form.MeasurementPanel->SaveBtn->click();
    const std::vector<TAnnotation> saved = LoadAnnotations(form.AnnotationFile());
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].Kind, TShapeKind::Rectangle);
    EXPECT_EQ(saved[0].Points, (std::vector<TPoint>{{10, 10}, {50, 30}}));
    EXPECT_EQ(saved[0].Caption, form.MyCAD1->Shape(0)->Caption());
    EXPECT_EQ(saved[1].Kind, TShapeKind::Ruler);
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(form.SaveAnnotationsTo(dir.path() + QStringLiteral("/no/such/folder/a.json")));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].contains(QLatin1String("cannot be written"))) << errors[0].toStdString();
    EXPECT_FALSE(form.ExportMeasurements(dir.path() + QStringLiteral("/no/such/folder/a.csv")));
    ASSERT_EQ(errors.size(), 2u);
    // The list's export is no annotation file.
    EXPECT_TRUE(errors[1].startsWith(QLatin1String("The file ") + dir.path() + QLatin1String("/no/such/folder/a.csv")))
        << errors[1].toStdString();
}

// Shapes saved beside a picture and declined at open are not replaced by "Save
// annotations" unless the user agrees; once this window has written them, it asks no more.
TEST_F(MeasuringTest, SavedShapesThatWereNotLoadedAreNotReplacedUnasked) {
    const QString copy = dir.path() + QStringLiteral("/scan.dcm");
    ASSERT_TRUE(QFile::copy(test::PydicomFile("CT_small.dcm"), copy));
    ASSERT_TRUE(form.OpenFile(copy));
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    int asked = 0;
    bool agree = false;
    form.ConfirmReplaceAnnotations = [&](const QString& path) {
        EXPECT_EQ(path, form.AnnotationFile());
        ++asked;
        return agree;
    };
    form.MeasurementPanel->SaveBtn->click();
    EXPECT_EQ(asked, 0) << "nothing was there to replace";
    form.ConfirmLoadAnnotations = [](const QString&) { return false; };
    ASSERT_TRUE(form.OpenFile(copy));
    DrawWith(form.rulelineBtn, {0, 0}, {30, 40});
    form.MeasurementPanel->SaveBtn->click();
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(LoadAnnotations(form.AnnotationFile()).size(), 1u);
    EXPECT_EQ(LoadAnnotations(form.AnnotationFile())[0].Kind, TShapeKind::Rectangle);
    agree = true;
    form.MeasurementPanel->SaveBtn->click();
    form.MeasurementPanel->SaveBtn->click();
    EXPECT_EQ(asked, 2);
    ASSERT_EQ(LoadAnnotations(form.AnnotationFile()).size(), 1u);
    EXPECT_EQ(LoadAnnotations(form.AnnotationFile())[0].Kind, TShapeKind::Ruler);
    EXPECT_TRUE(errors.empty());
}

// Unsaved shapes on a picture from a file go only once saved or given up: Close and
// opening another picture ask; Cancel or a failed save keeps them.
TEST_F(MeasuringTest, UnsavedShapesAreSavedDiscardedOrKeptBeforeThePictureGoes) {
    struct Row {
        const char* Name;
        bool Close;
        QMessageBox::StandardButton Answer;
        bool SaveFails, Goes;
    };
    const Row rows[] = {{"close discard", true, QMessageBox::Discard, false, true},
                        {"close cancel", true, QMessageBox::Cancel, false, false},
                        {"open failed save", false, QMessageBox::Save, true, false},
                        {"close save", true, QMessageBox::Save, false, true}};
    int asked = 0;
    QMessageBox::StandardButton answer = QMessageBox::Discard;
    form.AskSaveShapes = [&](const QString&) { return ++asked, answer; };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        const QString copy = dir.filePath(QString::fromLatin1(row.Name));
        ASSERT_TRUE(QFile::copy(test::PydicomFile("CT_small.dcm"), copy));
        ASSERT_TRUE(!row.SaveFails || QDir().mkdir(copy + QStringLiteral(".kelvo.json")));
        answer = QMessageBox::Discard;
        ASSERT_TRUE(form.OpenFile(copy));
        form.show();
        DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
        asked = 0, answer = row.Answer, errors.clear();
        row.Close ? (void)form.BitBtn2->click() : (void)form.OpenFile(test::PydicomFile("MR_small.dcm"));
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(row.Close ? !form.isVisible() : form.OpenedFile() != copy, row.Goes);
        EXPECT_EQ(IsRegularFile(copy + QStringLiteral(".kelvo.json")),
                  row.Answer == QMessageBox::Save && !row.SaveFails);
        EXPECT_EQ(errors.size(), size_t(row.SaveFails));
    }
    // Once saved, and undone back to that: nothing to ask.
    form.show();
    DrawWith(form.EllipseBtn, {10, 10}, {50, 30});
    form.UndoKey();
    EXPECT_TRUE(form.close() && asked == 1);
}

// The annotation file beside a picture is never written through a link: the link is
// named with where it points, and nothing is made there.
TEST_F(MeasuringTest, SavingBesideThePictureNeverWritesThroughALink) {
    const QString copy = dir.filePath(QStringLiteral("scan.dcm"));
    const QString target = dir.filePath(QStringLiteral("autostart/x.desktop"));
    ASSERT_TRUE(QFile::copy(test::PydicomFile("CT_small.dcm"), copy) &&
                QDir(dir.path()).mkdir(QStringLiteral("autostart")));
    ASSERT_TRUE(QFile::link(target, copy + QStringLiteral(".kelvo.json")));
    ASSERT_TRUE(form.OpenFile(copy));
    DrawWith(form.rectangleBtn, {10, 10}, {50, 30});
    form.SaveAnnotationsBtnClick();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].contains(form.AnnotationFile()) && errors[0].contains(target)) << errors[0].toStdString();
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("autostart"))).isEmpty());
}

TEST_F(MeasuringTest, PaintingLabelsOfManyRegionsMeasuresOnlyWhatChanged) {
    std::vector<TAnnotation> regions;
    for (int32_t i = 0; i < 100; ++i) {
        // clang-format off
        regions.push_back({TShapeKind::Ellipse, {{i * 5, i * 5}, {i * 5 + 40, i * 5 + 30}}, clYellow, 1,
                           TPenStyle::psSolid, QStringLiteral("Roi-%1").arg(i + 1), i + 1});
        // clang-format on
    }
    const QString path = dir.path() + QStringLiteral("/r.kelvo.json");
    SaveAnnotations(path, regions);
    form.ListBtn->click();
    ASSERT_TRUE(form.LoadAnnotationsFrom(path));
    const int64_t first = form.StatsCache().Computations();
    EXPECT_EQ(first, 100);
    form.MyCAD1->Paint();
    form.MyCAD1->SetZoom(2.0);
    EXPECT_EQ(form.StatsCache().Computations(), first) << "nothing changed, nothing measured again";
    ASSERT_FALSE(form.MyCAD1->Shape(7)->LabelLines.isEmpty());
    EXPECT_TRUE(form.MyCAD1->Shape(7)->LabelLines[0].startsWith(QLatin1String("A = ")));
    form.MyCAD1->SelectShape(7);
    QTest::keyClick(form.MyCAD1, Qt::Key_Right);
    EXPECT_EQ(form.StatsCache().Computations(), first + 1);

    // The labels' further lines are drawn: the canvas differs from one without them.
    const QImage with = form.MyCAD1->CanvasPixels(form.MyCAD1->rect());
    form.ListBtn->click();
    EXPECT_TRUE(form.MyCAD1->Shape(7)->LabelLines.isEmpty()) << "the built-in picture's labels are as before";
    EXPECT_NE(form.MyCAD1->CanvasPixels(form.MyCAD1->rect()), with);
}

} // namespace
} // namespace kelvo
