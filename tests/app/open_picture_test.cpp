// Pictures from files in the main window: the three ways of opening, what a failure
// keeps, window/level by right drag, millimetre rulers, the value label, frames and
// palette colours on the canvas.
#include "app/command_line.h"
#include "app/full_range_window.h"
#include "app/main_window.h"
#include "app/measurement_panel.h"
#include "app/cine.h"
#include "app/view_controls.h"
#include "app/zoom_readout.h"
#include "imaging/loader.h"
#include "platform/scope_exit.h"

#include "canvas/line_shapes.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QWheelEvent>

#include "tests/support/sample_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <future>
#include <thread>

namespace kelvo {
namespace {

using test::PydicomFile;

class OpenPictureTest : public ::testing::Test {
protected:
    OpenPictureTest() {
        form.ShowError = [this](const QString& m) { errors.push_back(m); };
        form.ConfirmDropShapes = [this](int count) {
            asked.push_back(count);
            return agree;
        };
        form.AskSaveShapes = [this](const QString&) { return agree ? QMessageBox::Discard : QMessageBox::Cancel; };
    }
    void Drag(TMouseButton button, QPoint from, QPoint to) {
        TMyCAD* cad = form.MyCAD1;
        cad->MouseDown(button, Qt::NoModifier, from.x(), from.y());
        cad->MouseMove(Qt::NoModifier, (from.x() + to.x()) / 2, (from.y() + to.y()) / 2);
        cad->MouseMove(Qt::NoModifier, to.x(), to.y());
        cad->MouseUp(button, Qt::NoModifier, to.x(), to.y());
    }
    void DrawWith(QToolButton* tool, QPoint from, QPoint to) {
        tool->click();
        Drag(TMouseButton::mbLeft, from, to);
    }
    QString RulerLabel(int index = 0) {
        auto* line = dynamic_cast<TMyLine*>(form.MyCAD1->Shape(index));
        return line == nullptr ? QString() : line->LengthText(line->Points[0], line->Points[1]);
    }

    TForm1 form;
    std::vector<QString> errors;
    std::vector<int> asked;
    bool agree = true;
};

TEST_F(OpenPictureTest, AFileBecomesThePictureAndNamesTheWindow) {
    ASSERT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(form.MyCAD1->BackGround().size(), QSize(128, 128));
    EXPECT_EQ(form.MyCAD1->size(), QSize(128, 128));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("CT_small.dcm - Kelvo was used in DICOM Application"));
    ASSERT_NE(form.MyCAD1->Picture(), nullptr);
    // No window in the file: the full range of values.
    EXPECT_EQ(form.MyCAD1->Window(), form.MyCAD1->Picture()->DefaultWindow());
}

TEST_F(OpenPictureTest, APipeIsRefusedWithoutWaitingOnIt) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.png"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    // A window that waits on the pipe is let go, with an empty file.
    std::thread([pipe = QFile::encodeName(path)] { ::close(::open(pipe.constData(), O_WRONLY)); }).detach();
    form.OpenDialog = [&] { return path; };
    const std::function<void()> ways[] = {[&] { form.OpenBtn->click(); },
                                          [&] { (void)form.LoadAnnotationsFrom(path); }};
    for (const auto& way : ways) {
        way();
        ASSERT_EQ(errors.size(), size_t(&way - ways + 1));
        ASSERT_TRUE(errors.back().contains(u"p.png") && errors.back().contains(u"not a regular file"))
            << errors.back().toStdString();
    }
}

// The file system's bytes name the file, from the command line or a drop, and its
// annotation file beside it.
TEST_F(OpenPictureTest, ANameThatIsNotUtf8OpensItsFileAndSavesBesideIt) {
    QTemporaryDir dir;
    // Names that are not UTF-8 are beyond QDir's removal.
    const ScopeExit removeAll([&] { std::filesystem::remove_all(QFile::encodeName(dir.path()).toStdString()); });
    QByteArray native = QFile::encodeName(dir.path()) + "/bad\xff.png";
    const QString made = dir.filePath(QStringLiteral("made.png"));
    ASSERT_TRUE(QImage(8, 8, QImage::Format_Grayscale8).save(made) &&
                ::rename(made.toUtf8().constData(), native.constData()) == 0);
    char program[] = "kelvo";
    char* argv[] = {program, native.data()};
    const QString path = ReadCommandLine(ArgumentsOf(2, argv), QStringLiteral("1")).file;
    ASSERT_TRUE(form.OpenFile(path));
    DrawWith(form.rectangleBtn, {1, 1}, {5, 5});
    form.SaveAnnotationsBtnClick();
    EXPECT_EQ(::access((native + ".kelvo.json").constData(), F_OK), 0);
    form.ConfirmLoadAnnotations = [](const QString&) { return true; };
    form.UndoKey();
    QMimeData mime;
    mime.setUrls({QUrl::fromEncoded("file://" + native.toPercentEncoding("/"))});
    QDragEnterEvent enter(QPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QDropEvent drop(QPointF(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    ASSERT_TRUE(QApplication::sendEvent(&form, &enter) && QApplication::sendEvent(&form, &drop));
    QCoreApplication::processEvents();
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 1) << "the shapes saved beside it, loaded";
}

TEST_F(OpenPictureTest, TheCurrentZoomApplies) {
    form.Edit1->setText(QStringLiteral("2"));
    form.Button1->click();
    ASSERT_TRUE(form.OpenFile(PydicomFile("MR_small.dcm")));
    EXPECT_EQ(form.MyCAD1->size(), QSize(128, 128));
    EXPECT_EQ(form.MyCAD1->Zoom(), 2.0);
}

TEST_F(OpenPictureTest, AFailedOpenKeepsPictureShapesAndTitleAndAsksNothing) {
    DrawWith(form.rulelineBtn, {10, 10}, {100, 60});
    const QImage before = form.MyCAD1->BackGround();
    QTemporaryDir dir;
    QFile empty(dir.path() + QStringLiteral("/empty.dcm"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    // clang-format off
    const QString bad[] = {dir.path() + QStringLiteral("/missing.dcm"), empty.fileName(), PydicomFile("rtplan.dcm"),
                           PydicomFile("JPEG2000-embedded-sequence-delimiter.dcm"),
                           PydicomFile("MR_truncated.dcm"), PydicomFile("README.txt")};
    // clang-format on
    for (const QString& path : bad) {
        SCOPED_TRACE(path.toStdString());
        errors.clear();
        EXPECT_FALSE(form.OpenFile(path));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].indexOf(QFileInfo(path).fileName()), -1) << errors[0].toStdString();
        EXPECT_EQ(form.MyCAD1->ShapeCount(), 1);
        EXPECT_EQ(form.MyCAD1->BackGround(), before);
        EXPECT_EQ(form.windowTitle(), QString::fromLatin1(TForm1::kCaption));
        EXPECT_EQ(form.MyCAD1->Picture(), nullptr);
    }
    EXPECT_TRUE(asked.empty());
}

// As the program starts with a file: loaded on a worker while the window is built.
TEST_F(OpenPictureTest, APictureLoadedAheadIsShownAndAFailedOneIsTold) {
    const QString good = PydicomFile("MR_small.dcm");
    ASSERT_TRUE(form.OpenFile(good, imaging::LoadPictureAsync(good)));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(form.OpenedFile(), good);
    const QString bad = PydicomFile("MR_truncated.dcm");
    EXPECT_FALSE(form.OpenFile(bad, imaging::LoadPictureAsync(bad)));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].indexOf(QStringLiteral("MR_truncated.dcm")), -1) << errors[0].toStdString();
    EXPECT_EQ(form.OpenedFile(), good);
}

TEST_F(OpenPictureTest, ShapesAreDroppedOnlyWhenTheUserAgrees) {
    DrawWith(form.rectangleBtn, {10, 10}, {100, 60});
    DrawWith(form.rulelineBtn, {10, 100}, {100, 160});
    agree = false;
    EXPECT_FALSE(form.OpenFile(PydicomFile("CT_small.dcm")));
    EXPECT_EQ(asked, std::vector<int>{2});
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 2);
    EXPECT_EQ(form.MyCAD1->Picture(), nullptr);
    agree = true;
    EXPECT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 0);
    // Nothing to drop: no question.
    asked.clear();
    EXPECT_TRUE(form.OpenFile(PydicomFile("MR_small.dcm")));
    EXPECT_TRUE(asked.empty());
}

TEST_F(OpenPictureTest, OpenButtonAndCtrlOAskForAFile) {
    int dialogs = 0;
    form.OpenDialog = [&] {
        ++dialogs;
        return PydicomFile("CT_small.dcm");
    };
    form.OpenBtn->click();
    EXPECT_EQ(dialogs, 1);
    EXPECT_NE(form.MyCAD1->Picture(), nullptr);
    EXPECT_EQ(form.OpenBtn->shortcut(), QKeySequence(QKeySequence::Open));
    // A cancelled dialog changes nothing.
    form.OpenDialog = [&] {
        ++dialogs;
        return QString();
    };
    const auto* shown = form.MyCAD1->Picture();
    form.OpenBtn->click();
    EXPECT_EQ(dialogs, 2);
    EXPECT_EQ(form.MyCAD1->Picture(), shown);
    EXPECT_TRUE(errors.empty());
}

TEST_F(OpenPictureTest, TheOpenButtonLeavesEveryOtherControlUncovered) {
    EXPECT_EQ(form.OpenBtn->parentWidget(), &form);
    for (QWidget* w : form.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (w == form.OpenBtn || !w->isVisibleTo(&form)) continue;
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_FALSE(w->geometry().intersects(form.OpenBtn->geometry()));
    }
    form.resize(TForm1::kDesignWidth, TForm1::kDesignHeight + 100);
    EXPECT_EQ(form.OpenBtn->y(), form.BitBtn3->y());
    // The value label sits in the panel below the zoom frame.
    EXPECT_GE(form.ValueLabel->y(), form.Bevel1->geometry().bottom());
    EXPECT_LE(form.ValueLabel->geometry().bottom(), form.Panel1->height());
}

TEST_F(OpenPictureTest, ADroppedFileIsOpened) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(PydicomFile("CT_small.dcm"))});
    QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &drop);
    EXPECT_TRUE(drop.isAccepted());
    QTRY_VERIFY_WITH_TIMEOUT(form.MyCAD1->Picture() != nullptr, 5000);
    EXPECT_EQ(form.OpenedFile(), PydicomFile("CT_small.dcm"));

    // Text without a file is refused at the door.
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    QDragEnterEvent refused(QPoint(300, 300), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    refused.ignore();
    QApplication::sendEvent(&form, &refused);
    EXPECT_FALSE(refused.isAccepted());
}

TEST_F(OpenPictureTest, RightDragChangesWidthAcrossAndCentreDownWhereRightDoesNothingElse) {
    ASSERT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    TMyCAD* cad = form.MyCAD1;
    const imaging::TWindow start = cad->Window();
    struct Case {
        QToolButton* Tool;
        bool Changes;
    };
    const Case cases[] = {{form.SelectBtn, true},    {form.LineBtn, true},    {form.rulelineBtn, true},
                          {form.rectangleBtn, true}, {form.EllipseBtn, true}, {form.PolyLineBtn, true},
                          {form.Sectorbtn, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Tool->objectName().toStdString());
        cad->ResetWindow();
        c.Tool->click();
        const QImage before = cad->BackGround();
        Drag(TMouseButton::mbRight, {20, 20}, {60, 30});
        if (c.Changes) {
            EXPECT_GT(cad->Window().Width, start.Width);
            EXPECT_GT(cad->Window().Center, start.Center);
            EXPECT_NE(cad->BackGround(), before);
        } else {
            EXPECT_EQ(cad->Window(), start);
        }
        EXPECT_FALSE(cad->WindowDragging());
        EXPECT_EQ(cad->ShapeCount(), 0);
    }
    // Leftward and upward narrows the window and lowers the centre.
    form.SelectBtn->click();
    cad->ResetWindow();
    Drag(TMouseButton::mbRight, {60, 60}, {30, 20});
    EXPECT_LT(cad->Window().Width, start.Width);
    EXPECT_LT(cad->Window().Center, start.Center);
    // Ctrl+R puts the file's window back.
    form.show();
    QApplication::setActiveWindow(&form);
    QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(cad->Window(), start);
}

// A picture shown through its file's display table leaves it for a linear window when
// dragged, starting from the span of the table; Ctrl+R brings the table back.
TEST_F(OpenPictureTest, RightDragLeavesTheFilesDisplayTable) {
    ASSERT_TRUE(form.OpenFile(QStringLiteral(KELVO_SOURCE_DIR "/fuzz/corpus/dicom/voi_lut_sequence.dcm")));
    TMyCAD* cad = form.MyCAD1;
    const imaging::TWindow table = cad->Window();
    ASSERT_TRUE(table.FileTable);
    form.SelectBtn->click();
    Drag(TMouseButton::mbRight, {1, 0}, {2, 0});
    EXPECT_FALSE(cad->Window().FileTable);
    EXPECT_GT(cad->Window().Width, table.Width);
    cad->ResetWindow();
    EXPECT_EQ(cad->Window(), table);
}

TEST_F(OpenPictureTest, RightClickStillEndsAPolylineAndLeavesTheWindow) {
    ASSERT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    TMyCAD* cad = form.MyCAD1;
    const imaging::TWindow start = cad->Window();
    form.PolyLineBtn->click();
    cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 10, 10);
    cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 10, 10);
    cad->MouseMove(Qt::NoModifier, 50, 40);
    cad->MouseDown(TMouseButton::mbRight, Qt::NoModifier, 50, 40);
    cad->MouseMove(Qt::NoModifier, 90, 80);
    cad->MouseUp(TMouseButton::mbRight, Qt::NoModifier, 90, 80);
    EXPECT_EQ(cad->ShapeCount(), 1);
    EXPECT_EQ(cad->Window(), start);
}

TEST_F(OpenPictureTest, TheBuiltInPictureHasNoWindowToDrag) {
    const QImage before = form.MyCAD1->BackGround();
    Drag(TMouseButton::mbRight, {20, 20}, {200, 100});
    EXPECT_EQ(form.MyCAD1->BackGround(), before);
    EXPECT_FALSE(form.MyCAD1->WindowDragging());
}

TEST_F(OpenPictureTest, RulersMeasureMillimetresOnEachAxisWithItsOwnSpacing) {
    QTemporaryDir dir;
    // CT_small with rows 0.5 mm apart and columns 0.25 mm apart.
    const QString path = dir.path() + QStringLiteral("/aniso.dcm");
    {
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile(PydicomFile("CT_small.dcm").toLocal8Bit().constData()).good());
        file.getDataset()->putAndInsertString(DCM_PixelSpacing, "0.5\\0.25");
        ASSERT_TRUE(file.saveFile(path.toLocal8Bit().constData()).good());
    }
    ASSERT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    // 30 across and 40 down at 0.661468 mm: 50 pixels, 33.07 mm.
    DrawWith(form.rulelineBtn, {10, 10}, {40, 50});
    EXPECT_EQ(RulerLabel(), QStringLiteral("l =     33.07 mm"));

    // Zoom changes the screen, not the length.
    form.Edit1->setText(QStringLiteral("2"));
    form.Button1->click();
    ASSERT_TRUE(form.OpenFile(path));
    DrawWith(form.rulelineBtn, {20, 20}, {100, 80}); // picture (10,10)-(50,40)
    // 40 columns x 0.25 = 10 mm across, 30 rows x 0.5 = 15 mm down.
    EXPECT_EQ(RulerLabel(), QStringLiteral("l =     18.03 mm"));

    // A picture without spacing measures in inches, as the built-in one does.
    QImage png(64, 64, QImage::Format_Grayscale8);
    png.fill(100);
    const QString pngPath = dir.path() + QStringLiteral("/plain.png");
    ASSERT_TRUE(png.save(pngPath));
    ASSERT_TRUE(form.OpenFile(pngPath));
    DrawWith(form.rulelineBtn, {0, 0}, {96, 0});
    EXPECT_TRUE(RulerLabel().endsWith(QStringLiteral(" in"))) << RulerLabel().toStdString();
}

// Imager Pixel Spacing holds at the detector; over the magnification factor, at the patient.
TEST_F(OpenPictureTest, LengthsAndAreasSayWhetherTheyHoldAtThePatientOrTheDetector) {
    const char* cases[][4] = {
        {"1.25", "4.80 mm", "mm²,", "Imager Pixel Spacing ÷ magnification"},
        {nullptr, "6.00 mm at detector", "mm² at detector,", "Imager Pixel Spacing (at detector)"}};
    const QTemporaryDir dir;
    const QString path = dir.filePath("dx.dcm");
    form.ListBtn->click();
    for (const auto& c : cases) {
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile(PydicomFile("CT_small.dcm").toLocal8Bit().constData()).good());
        delete file.getDataset()->remove(DCM_PixelSpacing);
        file.getDataset()->putAndInsertString(DCM_ImagerPixelSpacing, "0.2\\0.2");
        if (c[0]) file.getDataset()->putAndInsertString(DCM_EstimatedRadiographicMagnificationFactor, c[0]);
        ASSERT_TRUE(file.saveFile(path.toLocal8Bit().constData()).good() && form.OpenFile(path));
        DrawWith(form.rulelineBtn, {10, 10}, {40, 10});
        DrawWith(form.rectangleBtn, {10, 20}, {20, 30});
        QFile csv(path + ".csv");
        ASSERT_TRUE(form.ExportMeasurements(csv.fileName()) && csv.open(QIODevice::ReadOnly));
        const QString value = c[1], source = c[3], rows = csv.readAll();
        EXPECT_EQ(form.MyCAD1->Shape(0)->Caption(), "l =      " + value);
        EXPECT_TRUE(form.MeasurementPanel->ListText().contains("Ruler\t" + value + '\n'));
        EXPECT_EQ(form.MeasurementPanel->SpacingLabel->text(), "Spacing: " + source);
        EXPECT_TRUE(rows.contains(c[2]) && rows.contains(',' + value.mid(5) + ",,,,,,,,,," + source));
    }
}

TEST_F(OpenPictureTest, MillimetresUseTheUsersDecimalSeparator) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ASSERT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    DrawWith(form.rulelineBtn, {10, 10}, {40, 50});
    const QString label = RulerLabel();
    QLocale::setDefault(before);
    EXPECT_EQ(label, QStringLiteral("l =     33,07 mm"));
}

TEST_F(OpenPictureTest, PositionLabelGivesPictureCoordinatesAndTheValueUnderTheCursor) {
    form.Edit1->setText(QStringLiteral("2"));
    form.Button1->click();
    ASSERT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    const imaging::TPicture* p = form.MyCAD1->Picture();
    form.MyCAD1->MouseMove(Qt::NoModifier, 21, 41);
    EXPECT_EQ(form.Label1->text(), QStringLiteral("(10,20)"));
    EXPECT_EQ(form.ValueLabel->text(), QStringLiteral("%1 HU").arg(p->Stored(0, 10, 20) - 1024));
    // Another picture takes the value and its unit away until the cursor moves.
    ASSERT_TRUE(form.OpenFile(PydicomFile("MR_small.dcm")));
    EXPECT_EQ(form.ValueLabel->text(), QString());
    // Outside the picture there is no value.
    form.MyCAD1->MouseMove(Qt::NoModifier, 300, 10);
    EXPECT_EQ(form.ValueLabel->text(), QString());
    // Colour pictures give their three samples.
    ASSERT_TRUE(form.OpenFile(PydicomFile("SC_rgb_small_odd.dcm")));
    form.MyCAD1->MouseMove(Qt::NoModifier, 1, 1);
    EXPECT_TRUE(form.ValueLabel->text().startsWith(QStringLiteral("R "))) << form.ValueLabel->text().toStdString();
    // YBR colour gives its samples by their own names.
    ASSERT_TRUE(form.OpenFile(PydicomFile("SC_ybr_full_422_uncompressed.dcm")));
    form.MyCAD1->MouseMove(Qt::NoModifier, 1, 1);
    EXPECT_TRUE(form.ValueLabel->text().startsWith(QStringLiteral("Y "))) << form.ValueLabel->text().toStdString();
    EXPECT_TRUE(form.ValueLabel->text().contains(QStringLiteral(" Cb "))) << form.ValueLabel->text().toStdString();
}

TEST_F(OpenPictureTest, PageKeysAndCtrlWheelStepFramesAndShapesStay) {
    ASSERT_TRUE(form.OpenFile(PydicomFile("rtdose.dcm")));
    TMyCAD* cad = form.MyCAD1;
    form.Edit1->setText(QStringLiteral("8"));
    form.Button1->click();
    DrawWith(form.rectangleBtn, {5, 5}, {40, 40});
    form.show();
    QApplication::setActiveWindow(&form);
    const QImage first = cad->BackGround();
    QTest::keyClick(&form, Qt::Key_PageDown);
    EXPECT_EQ(cad->Frame(), 1);
    EXPECT_NE(cad->BackGround(), first);
    EXPECT_EQ(cad->ShapeCount(), 1);
    QTest::keyClick(&form, Qt::Key_PageUp);
    QTest::keyClick(&form, Qt::Key_PageUp);
    EXPECT_EQ(cad->Frame(), 0);
    // Also while the line width box, which has the focus at start, has it.
    form.SpinEdit1->setFocus();
    QTest::keyClick(form.SpinEdit1, Qt::Key_PageDown);
    EXPECT_EQ(cad->Frame(), 1);
    EXPECT_EQ(form.SpinEdit1->value(), 1);
    QTest::keyClick(form.SpinEdit1, Qt::Key_PageUp);
    EXPECT_EQ(cad->Frame(), 0);
    EXPECT_EQ(cad->BackGround(), first);

    QWheelEvent down(QPointF(10, 10), cad->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -120), Qt::NoButton,
                     Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(cad, &down);
    EXPECT_EQ(cad->Frame(), 1);
    QWheelEvent plain(QPointF(10, 10), cad->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(cad, &plain);
    EXPECT_EQ(cad->Frame(), 1);
    for (int i = 0; i < 20; ++i) cad->StepFrame(1);
    EXPECT_EQ(cad->Frame(), 14);
    EXPECT_EQ(cad->ShapeCount(), 1);
}

// A picture larger than the view opens fitted, F fits it again after the zoom box, and
// the readout tells the zoom of pictures from files only.
TEST_F(OpenPictureTest, ALargePictureOpensFittedAndFFitsItAgain) {
    const QLabel* readout = form.ViewControls->ZoomLabel;
    EXPECT_FALSE(readout->isVisibleTo(&form));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wide.png"));
    ASSERT_TRUE(QImage(2000, 1000, QImage::Format_Grayscale8).save(path));
    ASSERT_TRUE(form.OpenFile(path));
    const double fitted = form.MyCAD1->Zoom();
    EXPECT_EQ(form.MyCAD1->width(), form.ScrollBox1->contentsRect().width() - form.MyCAD1->x());
    EXPECT_EQ(readout->text(), TZoomReadout::Text(fitted));
    EXPECT_TRUE(readout->isVisibleTo(&form));
    form.Edit1->setText(QStringLiteral("2"));
    form.Button1->click();
    EXPECT_EQ(readout->text(), QStringLiteral("Zoom 200 %"));
    form.show();
    QApplication::setActiveWindow(&form);
    QTest::keyClick(&form, Qt::Key_F);
    EXPECT_EQ(form.MyCAD1->Zoom(), fitted);
    EXPECT_EQ(TZoomReadout::Text(1.0 / 64), QStringLiteral("Zoom 1.6 %"));
}

// P plays the frames in a loop at the file's rate (10/s when it names none) and
// pauses them; a single frame has nothing to play.
TEST_F(OpenPictureTest, PPlaysTheFramesAtTheFilesRate) {
    form.show();
    QApplication::setActiveWindow(&form);
    QTemporaryDir dir;
    // Recommended Display Frame Rate over Cine Rate, over the default.
    const struct {
        const char* recommended;
        const char* cine;
        int interval;
    } rates[] = {{"25", "8", 40}, {nullptr, "8", 125}, {nullptr, nullptr, 100}};
    TCine& cine = *form.ViewControls->Cine;
    for (const auto& [recommended, cineRate, interval] : rates) {
        const QString path = dir.filePath(QString::number(interval) + QStringLiteral(".dcm"));
        DcmFileFormat file;
        ASSERT_TRUE(file.loadFile(PydicomFile("rtdose.dcm").toLocal8Bit().constData()).good());
        if (recommended) file.getDataset()->putAndInsertString(DCM_RecommendedDisplayFrameRate, recommended);
        if (cineRate) file.getDataset()->putAndInsertString(DCM_CineRate, cineRate);
        ASSERT_TRUE(file.saveFile(path.toLocal8Bit().constData()).good());
        ASSERT_TRUE(form.OpenFile(path));
        EXPECT_FALSE(cine.Playing()) << "a new picture stops the old one's playing";
        QTest::keyClick(&form, Qt::Key_P);
        EXPECT_TRUE(cine.Playing());
        EXPECT_EQ(cine.IntervalMs(), interval);
    }
    for (int i = 1; i <= 15; ++i) {
        cine.Advance();
        EXPECT_EQ(form.MyCAD1->Frame(), i % 15);
    }
    QTest::keyClick(&form, Qt::Key_P);
    EXPECT_FALSE(cine.Playing());
    ASSERT_TRUE(form.OpenFile(PydicomFile("CT_small.dcm")));
    QTest::keyClick(&form, Qt::Key_P);
    EXPECT_FALSE(cine.Playing());
}

// Without a window of its own, the range of the frames in so far, the full range's once all are.
TEST_F(OpenPictureTest, AWindowlessPictureEndsAtItsFullRangesWindow) {
    auto p = std::make_shared<imaging::TPicture>();
    p->Allocate(4, 4, 2, 1, imaging::TSampleType::U16, 16);
    std::promise<void> release;
    p->FillLater(1, [gate = release.get_future().share()](int32_t, uint8_t* values) {
        gate.wait();
        std::fill_n(reinterpret_cast<uint16_t*>(values), 16, uint16_t(999));
    });
    EXPECT_TRUE(form.MyCAD1->SetPicture(p));
    FollowFullRange(form.MyCAD1, p);
    EXPECT_EQ(form.MyCAD1->Window(), (imaging::TWindow{0.5, 1.0}));
    release.set_value();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.MyCAD1->Window() == imaging::TWindow{500.0, 1000.0}; }));
}

// The canvas shows a palette picture in pydicom's colours (plain and segmented tables),
// each picture pixel as a zoom × zoom block.
TEST_F(OpenPictureTest, PalettePicturesShowPydicomsColoursOnTheCanvas) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList names = test::PaletteReferences(dir.path());
    for (const QString& name : {QStringLiteral("hotiron"), QStringLiteral("segmented_eight_bit")}) {
        ASSERT_TRUE(names.contains(name)) << name.toStdString();
        QFile rgbFile(dir.filePath(name + QStringLiteral(".rgb")));
        ASSERT_TRUE(rgbFile.open(QIODevice::ReadOnly));
        const QByteArray rgb = rgbFile.readAll();
        for (const int zoom : {1, 3}) {
            SCOPED_TRACE(name.toStdString() + " at zoom " + std::to_string(zoom));
            form.Edit1->setText(QString::number(zoom));
            form.Button1->click();
            ASSERT_TRUE(form.OpenFile(dir.filePath(name + QStringLiteral(".dcm"))));
            EXPECT_TRUE(errors.empty());
            const QImage shot = form.MyCAD1->grab().toImage().convertToFormat(QImage::Format_RGB32);
            ASSERT_EQ(shot.size(), QSize(16, 16) * zoom);
            int mismatches = 0;
            for (int i = 0; i < 256; ++i) {
                const auto* e = reinterpret_cast<const uint8_t*>(rgb.constData()) + size_t(i) * 3;
                const QRgb expected = qRgb(e[0], e[1], e[2]);
                // The block's corners: nothing of a neighbour bleeds in.
                for (const QPoint d : {QPoint(0, 0), QPoint(zoom - 1, zoom - 1)}) {
                    const QRgb shown = shot.pixel(i % 16 * zoom + d.x(), i / 16 * zoom + d.y());
                    if (shown != expected && mismatches++ < 3) {
                        ADD_FAILURE() << "index " << i << ": " << std::hex << shown << " vs pydicom " << expected;
                    }
                }
            }
            EXPECT_EQ(mismatches, 0);
        }
    }
}

} // namespace
} // namespace kelvo
