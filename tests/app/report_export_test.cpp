// Reports exported from the window and opened again: the same shapes and values as one undo step, and refusals that keep what is shown.
#include "app/main_window.h"
#include "app/report_export.h"
#include "canvas/measuring.h"
#include "imaging/loader.h"
#include "tests/support/sample_files.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TAnnotation Shape(TShapeKind kind, std::vector<TPoint> points, int32_t roi = 0) {
    return {kind, std::move(points), clRed, 2, TPenStyle::psSolid, roi ? QStringLiteral("Roi-%1").arg(roi) : "", roi};
}

class ReportExportTest : public ::testing::Test {
protected:
    ReportExportTest() {
        form.ShowError = [this](const QString& m) { told << m; };
        form.AskSaveShapes = [](const QString&) { return QMessageBox::Discard; };
        form.ConfirmLoadAnnotations = [](const QString&) { return false; };
        SaveAnnotations(File("drawn.kelvo.json"), drawn);
        EXPECT_TRUE(form.OpenFile(ct) && form.LoadAnnotationsFrom(File("drawn.kelvo.json")));
    }
    QString File(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QString Written(const char* name, const QByteArray& bytes) const {
        QFile f(File(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        return f.fileName();
    }
    std::vector<std::vector<reports::TReportValue>> Values() {
        std::vector<std::vector<reports::TReportValue>> values;
        for (const TMeasurement& m : form.Measurements()) values.push_back(reports::ReportValues(m));
        return values;
    }

    const QString ct = test::PydicomFile("CT_small.dcm");
    const std::vector<TAnnotation> drawn = {
        Shape(TShapeKind::Arrow, {{5, 60}, {30, 40}}),     Shape(TShapeKind::Ruler, {{10, 10}, {50, 40}}),
        Shape(TShapeKind::Angle, {{10, 60}, {30, 60}, {30, 40}}),
        Shape(TShapeKind::Polyline, {{20, 20}, {60, 25}, {40, 60}}, 1),
        Shape(TShapeKind::Rectangle, {{8, 12}, {40, 30}}, 2), Shape(TShapeKind::Ellipse, {{30, 30}, {63, 50}}, 3)};
    QTemporaryDir dir;
    QStringList told;
    TForm1 form;
};

TEST_F(ReportExportTest, EveryShapeKindOpensAgainWithItsValuesAsOneUndoStep) {
    const auto values = Values();
    form.MyCAD1->SetPen({clRed, TPenStyle::psSolid, 2});
    ASSERT_TRUE(form.ExportReport(File("view.dcm")));
    for (const char* name : {"view.sr.dcm", "view.ps.dcm"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(form.OpenFile(ct));
        ASSERT_EQ(form.MyCAD1->ShapeCount(), 0);
        EXPECT_FALSE(form.OpenFile(File(name))) << "the picture stays";
        EXPECT_EQ(form.History().Current(), drawn);
        EXPECT_EQ(Values(), values);
        form.History().Stack().undo();
        EXPECT_EQ(form.MyCAD1->ShapeCount(), 0);
    }
    EXPECT_TRUE(told.isEmpty()) << told.join('\n').toStdString();
    // Names the user did not type are not written over unasked.
    QStringList asked;
    form.ConfirmReplaceReports = [&asked](const QStringList& paths) { return asked = paths, false; };
    EXPECT_FALSE(form.ExportReport(File("view.dcm")));
    EXPECT_EQ(asked, (QStringList{File("view.sr.dcm"), File("view.ps.dcm")}));
}

TEST_F(ReportExportTest, AReportThatCannotBeUsedIsNamedAndWhatIsShownStays) {
    const auto reference = [this](const char* variant) {
        QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral(KELVO_SOURCE_DIR "/tests/reports/tid1500_reference.py"),
                           QStringLiteral("write"), ct, File(variant), QString::fromLatin1(variant)});
        return File(variant);
    };
    reports::TReportImage mr{test::PydicomFile("MR_small.dcm"), 0, {drawn[1]}, {}, {}, {}, 1.0};
    ASSERT_TRUE(form.ExportReport(File("mine.sr.dcm")));
    QFile mine(File("mine.sr.dcm"));
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    const QByteArray sr = mine.readAll();
    const struct {
        const char* Case;
        QString Path;
        const char* Says;
    } rows[] = {
        {"an SR that is no TID 1500", reference("not-tid1500"), "no measurement report (TID 1500)"},
        {"coordinates beyond the image", reference("outside"), "outside the image"},
        {"a unit no one here knows", reference("unknown-unit"), "unit this program does not know"},
        {"a presentation state for another image", Written("mr.ps.dcm", reports::WritePresentationState({mr})),
         "refers to other images"},
        {"a damaged file", Written("damaged.dcm", sr.left(sr.size() / 2)), "damaged"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Case);
        told.clear();
        EXPECT_FALSE(form.OpenFile(row.Path));
        EXPECT_EQ(form.History().Current(), drawn);
        EXPECT_EQ(form.OpenedFile(), ct);
        ASSERT_EQ(told.size(), 1);
        EXPECT_TRUE(told[0].contains(QLatin1String(row.Says))) << told[0].toStdString();
    }
    // A series report gives this picture its shapes, numbered after those shown, and
    // names the image not shown.
    told.clear();
    reports::TReportImage shown = ShownReportImage(*form.MyCAD1, ct, {});
    EXPECT_FALSE(form.OpenFile(Written("two.dcm", reports::WriteMeasurementReport({shown, mr}))));
    EXPECT_EQ(form.History().Current().size(), drawn.size() * 2);
    EXPECT_EQ(form.History().Current().back().Caption, QStringLiteral("Roi-6"));
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains(imaging::LoadPicture(mr.File).SopInstanceUid)) << told[0].toStdString();
}

} // namespace
} // namespace kelvo
