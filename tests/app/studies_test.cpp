// Studies in the window: a folder opened in the background, its series stepped through by
// wheel, keys and slider, shapes bound to the slice they were drawn on, and folders that
// give nothing to show.
#include "app/main_window.h"
#include "app/measurement_panel.h"
#include "app/series_browser.h"
#include "app/study_view.h"
#include "tests/support/event_loop.h"

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace kelvo {
namespace {

// 12 slices (tests/imaging/study_reference.py), shuffled against their file names, each
// filled with ten times its z: z = -20 + 2.5 * slice.
void Generate(const QString& dir, bool extras = false) {
    QStringList args{QStringLiteral(KELVO_SOURCE_DIR "/tests/imaging/study_reference.py"), dir, QStringLiteral("12"),
                     QStringLiteral("32")};
    if (extras) args << QStringLiteral("--extras");
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), args);
    ASSERT_TRUE(p.waitForFinished(120000) && p.exitCode() == 0) << p.readAllStandardError().toStdString();
}

class Studies : public ::testing::Test {
protected:
    Studies() {
        form.ShowError = [this](const QString& m) { errors << m; };
        form.AskSaveShapes = [](const QString&) { return QMessageBox::Discard; };
        form.ConfirmLoadAnnotations = [](const QString&) { return true; };
        form.show();
    }
    bool Open(const QString& path) {
        form.OpenFile(path);
        return test::SpinUntil([&] { return !form.Study->Indexing(); }, 60000) && form.Study->Active();
    }
    // The value of the slice on screen: ten times its z.
    int32_t ShownValue() { return form.MyCAD1->Picture()->Stored(0, 0, 0); }
    static int32_t ValueOf(int slice) { return int32_t(std::lround((-20 + 2.5 * slice) * 10)); }
    void Wheel(QWidget* at, int delta, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWheelEvent e(QPointF(5, 5), at->mapToGlobal(QPointF(5, 5)), {}, QPoint(0, delta), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
        QApplication::sendEvent(at, &e);
    }

    // Chooses the browser's row that reads `text` and waits for its first slice.
    bool Choose(const char* text) {
        for (QTreeWidgetItemIterator it(form.Study->Browser->Tree); *it; ++it) {
            if ((*it)->text(0) == QString::fromUtf8(text)) form.Study->Browser->Tree->setCurrentItem(*it);
        }
        const QTreeWidgetItem* row = form.Study->Browser->Tree->currentItem();
        return row && row->text(0) == QString::fromUtf8(text) && test::SpinUntil([&] { return form.Study->ShownSlice() == 0; });
    }

    QTemporaryDir dir;
    TForm1 form;
    QStringList errors;
};

TEST_F(Studies, SlicesStepInSpaceOrderKeepingWindowAndZoom) {
    Generate(dir.path());
    ASSERT_TRUE(Open(dir.path())) << errors.join('\n').toStdString();
    TStudyView& study = *form.Study;
    EXPECT_EQ(study.SliceCount(), 12);
    EXPECT_EQ(ShownValue(), ValueOf(0));
    EXPECT_EQ(study.Browser->Summary->text(), QStringLiteral("12 images in 1 series"));
    form.MyCAD1->SetWindow({40, 300});
    ASSERT_TRUE(form.MyCAD1->SetZoom(2.0));
    struct Row { const char* Name; std::function<void()> Act; int Slice; };
    const Row rows[] = {
        {"wheel down", [&] { Wheel(form.MyCAD1, -120); }, 1},
        {"wheel beside the picture", [&] { Wheel(form.ScrollBox1->viewport(), -120); }, 2},
        {"Ctrl+wheel is not a slice step", [&] { Wheel(form.MyCAD1, -120, Qt::ControlModifier); }, 2},
        {"Page Down", [&] { QTest::keyClick(&form, Qt::Key_PageDown); }, 3},
        {"End", [&] { QTest::keyClick(&form, Qt::Key_End); }, 11},
        {"wheel down past the end", [&] { Wheel(form.MyCAD1, -120); }, 11},
        {"Page Up", [&] { QTest::keyClick(&form, Qt::Key_PageUp); }, 10},
        {"slider", [&] { study.SliceSlider->setValue(5); }, 5},
        {"Home", [&] { QTest::keyClick(&form, Qt::Key_Home); }, 0},
        {"wheel up past the start", [&] { Wheel(form.MyCAD1, 120); }, 0},
    };
    for (const Row& row : rows) {
        row.Act();
        ASSERT_TRUE(test::SpinUntil([&] { return study.ShownSlice() == row.Slice; })) << row.Name;
        EXPECT_EQ(ShownValue(), ValueOf(row.Slice)) << row.Name;
        EXPECT_EQ(study.SliceSlider->value(), row.Slice) << row.Name;
        const QString label = QStringLiteral("slice %1 / 12 · %2 mm").arg(row.Slice + 1).arg(-20 + 2.5 * row.Slice, 0, 'f', 1);
        EXPECT_EQ(form.FrameLabel->text(), label) << row.Name;
        EXPECT_EQ(form.MyCAD1->Window().Center, 40) << row.Name;
        EXPECT_EQ(form.MyCAD1->Zoom(), 2.0) << row.Name;
    }
}

TEST_F(Studies, ShapesStayOnTheirSliceThroughUndoSaveAndReopen) {
    Generate(dir.path());
    ASSERT_TRUE(Open(dir.path()));
    TStudyView& study = *form.Study;
    auto draw = [&](QToolButton* tool, int slice, QPoint a, QPoint b) {
        study.ShowSlice(slice);
        ASSERT_TRUE(test::SpinUntil([&] { return study.ShownSlice() == slice; }));
        tool->click();
        form.MyCAD1->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, a.x(), a.y());
        form.MyCAD1->MouseMove(Qt::NoModifier, b.x(), b.y());
        form.MyCAD1->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, b.x(), b.y());
    };
    draw(form.rectangleBtn, 2, {4, 4}, {20, 20});
    draw(form.rulelineBtn, 7, {2, 30}, {30, 30});
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 2);
    EXPECT_EQ(form.MyCAD1->Shape(0)->ImageUid, study.Cache()->Stack().Slices[2].SopInstanceUid);
    EXPECT_FALSE(form.MyCAD1->OnView(*form.MyCAD1->Shape(0)));
    EXPECT_TRUE(form.MyCAD1->OnView(*form.MyCAD1->Shape(1)));
    QTest::keyClick(form.MyCAD1, Qt::Key_Escape);
    QTest::keyClick(form.MyCAD1, Qt::Key_Tab);
    EXPECT_EQ(form.MyCAD1->SelectedIndex(), 1) << "Tab passes over the shape out of sight";
    // Measured on its own slice while another is shown, and named by it in the list.
    const std::vector<TMeasurement> list = form.Measurements();
    ASSERT_TRUE(list[0].Stats.has_value());
    EXPECT_EQ(list[0].Stats->Mean, ValueOf(2));
    EXPECT_EQ(study.PlaceOf(list[0]), QStringLiteral("slice 3"));
    form.History().Stack().undo();
    EXPECT_EQ(form.MyCAD1->ShapeCount(), 1);
    form.History().Stack().redo();
    ASSERT_EQ(form.MyCAD1->ShapeCount(), 2);
    ASSERT_TRUE(form.SaveAnnotationsTo(form.AnnotationFile()));
    EXPECT_EQ(form.AnnotationFile(), dir.path() + QStringLiteral(".kelvo.json"));

    TForm1 again;
    again.ConfirmLoadAnnotations = [](const QString&) { return true; };
    again.OpenFile(dir.path());
    ASSERT_TRUE(test::SpinUntil([&] { return again.Study->Active() && !again.Study->Indexing(); }, 60000));
    ASSERT_EQ(again.MyCAD1->ShapeCount(), 2);
    EXPECT_FALSE(again.MyCAD1->OnView(*again.MyCAD1->Shape(0)));
    // Choosing it in the list shows its slice.
    again.ListBtn->click();
    again.MeasurementPanel->OnRowSelected(0);
    ASSERT_TRUE(test::SpinUntil([&] { return again.Study->ShownSlice() == 2; }));
    EXPECT_TRUE(again.MyCAD1->Shape(0)->Selected);
    EXPECT_TRUE(again.MyCAD1->OnView(*again.MyCAD1->Shape(0)));
}

TEST_F(Studies, AnOpenTheUserTurnsDownLeavesTheStudyShownAsItWas) {
    Generate(dir.path());
    ASSERT_TRUE(Open(dir.path()));
    const QString series = form.Study->ShownSeries();
    form.rectangleBtn->click();
    form.MyCAD1->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 2, 2);
    form.MyCAD1->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 20, 20);
    ASSERT_TRUE(form.ShapesUnsaved());
    QTemporaryDir other;
    Generate(other.path());
    form.AskSaveShapes = [](const QString&) { return QMessageBox::Cancel; };
    EXPECT_TRUE(Open(other.path()));
    EXPECT_EQ(form.OpenedFile(), dir.path());
    EXPECT_EQ(form.Study->ShownSeries(), series);
    EXPECT_EQ(form.Study->Browser->Tree->topLevelItemCount(), 1) << "the study shown is still listed";
}

// Cancelled five files into a folder opened again, before any of it could be shown.
TEST_F(Studies, ACancelledOpenLeavesTheStudyShownWhole) {
    Generate(dir.path());
    ASSERT_TRUE(Open(dir.path()));
    TStudyView& study = *form.Study;
    study.IndexOptions.OnFileRead = [&](const imaging::TIndexProgress& p) { p.Done == 5 ? study.Cancel() : void(); };
    EXPECT_TRUE(Open(dir.path()) && errors.isEmpty() && ShownValue() == ValueOf(0) && form.OpenedFile() == dir.path());
    ASSERT_TRUE(study.ShowSeries(study.ShownSeries(), 7)) << "its series can still be chosen";
    EXPECT_TRUE(test::SpinUntil([&] { return study.ShownSlice() == 7 && ShownValue() == ValueOf(7); }));
}

TEST_F(Studies, FoldersWithoutImagesAreToldAndThePictureStays) {
    struct Row { const char* Name; std::function<QString(const QString&)> Make; const char* Says; };
    const Row rows[] = {
        {"empty", [](const QString& d) { return d; }, "no files"},
        {"junk only",
         [](const QString& d) {
             QFile f(d + QStringLiteral("/notes.txt"));
             return f.open(QIODevice::WriteOnly) && f.write("x") == 1 ? d : QString();
         },
         "DICOM"},
        {"missing", [](const QString& d) { return d + QStringLiteral("/gone/DICOMDIR"); }, "gone"},
    };
    for (const Row& row : rows) {
        QTemporaryDir folder;
        errors.clear();
        EXPECT_FALSE(Open(row.Make(folder.path()))) << row.Name;
        ASSERT_EQ(errors.size(), 1) << row.Name;
        EXPECT_TRUE(errors[0].contains(QLatin1String(row.Says), Qt::CaseInsensitive)) << errors[0].toStdString();
        EXPECT_TRUE(form.OpenedFile().isEmpty()) << row.Name;
    }
}

TEST_F(Studies, SkippedFilesAreCountedAndListedWithTheirReason) {
    Generate(dir.path(), true);
    ASSERT_TRUE(QFile::link(dir.path(), dir.path() + QStringLiteral("/SUB/loop")));
    ASSERT_TRUE(Open(dir.path()));
    QString details;
    form.Study->ShowDetails = [&](const QString&, const QString& list) { details = list; };
    EXPECT_TRUE(form.Study->Browser->Summary->text().contains(QLatin1String("files skipped")));
    form.Study->Browser->DetailsBtn->click();
    EXPECT_TRUE(details.contains(QLatin1String("SUB/loop: ")));
    EXPECT_TRUE(details.contains(QLatin1String("NOTES.TXT: ")));
}

// Stacks of one series, each with its own thumbnail; a multi-frame file's frames, one of them broken.
TEST_F(Studies, EachStackIsARowOfItsOwnSteppedAlone) {
    Generate(dir.path(), true);
    ASSERT_TRUE(Open(dir.path()));
    struct Row { const char* Text; int Count, First, Last; };
    std::set<qint64> thumbnails;
    const Row rows[] = {{"Series 1 (2 of 2): 16×16 (1 image)", 1, 1000, 1000}, {"CT 3 (3 images)", 3, 0, 20},
                        {"Series 1 (1 of 2): 32×32 (12 images)", 12, ValueOf(0), ValueOf(11)}};
    for (const Row& row : rows) {
        ASSERT_TRUE(Choose(row.Text)) << row.Text;
        const QTreeWidgetItem& item = *form.Study->Browser->Tree->currentItem();
        ASSERT_TRUE(test::SpinUntil([&] { return !item.icon(0).isNull(); }) && thumbnails.insert(item.icon(0).cacheKey()).second);
        EXPECT_EQ(form.Study->SliceCount(), row.Count) << row.Text;
        EXPECT_EQ(ShownValue(), row.First) << row.Text;
        QTest::keyClick(&form, Qt::Key_End);
        ASSERT_TRUE(test::SpinUntil([&] { return form.Study->ShownSlice() == row.Count - 1; })) << row.Text;
        EXPECT_EQ(ShownValue(), row.Last) << row.Text;
    }
    QProcess rle; // with DCMTK's dictionary, not the empty one this program names
    rle.setEnvironment(QProcess::systemEnvironment().filter(QRegularExpression(QStringLiteral("^(?!DCMDICTPATH=)"))));
    rle.start(QStringLiteral("dcmcrle"), {dir.filePath(QStringLiteral("MULTI")), dir.filePath(QStringLiteral("RLE"))});
    QFile in(dir.filePath(QStringLiteral("RLE"))), out(dir.filePath(QStringLiteral("MULTI")));
    ASSERT_TRUE(rle.waitForFinished(60000) && in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
    QByteArray bytes = in.readAll();
    qsizetype at = -1; // item 0 of the fragments is the offset table, item 3 holds frame 3
    for (int item = 0; item <= 3; ++item) at = bytes.indexOf(QByteArray("\xFE\xFF\x00\xE0", 4), at + 1);
    ASSERT_TRUE(out.write(bytes.replace(at + 8, 64, QByteArray(64, '\xFF'))) > 0 && out.flush());
    ASSERT_TRUE(Choose("CT 3 (3 images)"));
    form.Study->ShowSlice(2);
    ASSERT_TRUE(test::SpinUntil([&] { return !errors.isEmpty() || form.Study->ShownSlice() == 2; }));
    EXPECT_TRUE(form.Study->ShownSlice() == 0 && ShownValue() == 0) << "frame 1 stays on screen";
    EXPECT_TRUE(errors.value(0).startsWith(QLatin1String("Frame 3 of \"MULTI\" cannot be shown: ")));
}

// The budget set in the browser takes effect on the slices held at once, and is kept.
TEST_F(Studies, ASliceBudgetSetInTheBrowserTakesEffectAndIsKept) {
    Generate(dir.path());
    ASSERT_TRUE(Open(dir.path()));
    QSettings settings(QStringLiteral("kelvo"), QStringLiteral("kelvo"));
    const QVariant was = settings.value(QLatin1String(kSliceBudgetKey));
    form.Study->Browser->BudgetBox->setValue(1);
    EXPECT_TRUE(form.Study->Cache()->Budget() == 1 << 20 && settings.value(kSliceBudgetKey) == 1);
    was.isValid() ? settings.setValue(kSliceBudgetKey, was) : settings.remove(kSliceBudgetKey);
}

} // namespace
} // namespace kelvo
