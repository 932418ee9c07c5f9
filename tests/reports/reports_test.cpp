// Reports written from the shapes on pydicom's CT test picture, read back, and checked by other programs.
#include "reports/reports.h"

#include "imaging/loader.h"
#include "tests/support/sample_files.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

namespace kelvo::reports {
namespace {

// Read with the program's own small dictionary, as the program does.
[[maybe_unused]] const bool kReaderDictionary = (imaging::PreferReaderDictionary(), true);

struct TRun {
    int Code = -1;
    QString Out;
};

TRun RunTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(120000)) p.kill();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAll())};
}

QString Script() { return QStringLiteral(KELVO_SOURCE_DIR "/tests/reports/tid1500_reference.py"); }

TAnnotation Shape(TShapeKind kind, std::vector<TPoint> points, const char* caption = "", int32_t roi = 0) {
    TAnnotation a;
    a.Kind = kind;
    a.Points = std::move(points);
    a.Caption = QString::fromUtf8(caption);
    a.RoiNumber = roi;
    return a;
}

// One shape of every kind, measured on CT_small (HU, 0.66 mm spacing) as the window measures.
struct TScene {
    QString File = test::PydicomFile("CT_small.dcm");
    std::shared_ptr<const imaging::TPicture> Picture =
        std::make_shared<const imaging::TPicture>(imaging::LoadPicture(File));
    TReportImage Image;

    TScene() {
        Image.File = File;
        Image.Shapes = {Shape(TShapeKind::Arrow, {{5, 60}, {30, 40}}, "Lesion \xC3\xA9"),
                        Shape(TShapeKind::Arrow, {{2, 3}, {9, 9}}),
                        Shape(TShapeKind::Ruler, {{10, 10}, {50, 40}}),
                        Shape(TShapeKind::Angle, {{10, 60}, {30, 60}, {30, 40}}),
                        Shape(TShapeKind::Polyline, {{20, 20}, {60, 25}, {40, 60}}, "Roi-1", 1),
                        Shape(TShapeKind::Rectangle, {{8, 12}, {40, 30}}, "Roi-2", 2),
                        Shape(TShapeKind::Ellipse, {{30, 30}, {63, 50}}, "Roi-3", 3)};
        std::vector<std::unique_ptr<TMyShape>> owned;
        std::vector<const TMyShape*> shapes;
        for (const TAnnotation& a : Image.Shapes) {
            owned.push_back(MakeShape(a));
            shapes.push_back(owned.back().get());
        }
        TMeasureContext c;
        c.Picture = Picture;
        c.MmPerPixelX = Picture->ColumnSpacing;
        c.MmPerPixelY = Picture->RowSpacing;
        c.Spacing = Picture->SpacingSource;
        Image.Measurements = Measure(shapes, c);
        Image.Window = {40.0, 400.0, false};
        Image.DisplayedArea = QRect(4, 4, 50, 50);
        Image.Zoom = 2.0;
    }
    TReportTarget Target() const {
        return {Picture->SopInstanceUid, Picture->Width(), Picture->Height(), Picture->Frames()};
    }
};

TEST(Reports, EveryShapeKindComesBackWithItsValues) {
    TScene scene;
    for (const bool sr : {true, false}) {
        SCOPED_TRACE(sr ? "measurement report" : "presentation state");
        const QByteArray bytes = sr ? WriteMeasurementReport({scene.Image}) : WritePresentationState({scene.Image});
        const TReadReport read = ReadReport(bytes, QStringLiteral("report.dcm"), {scene.Target()});
        EXPECT_EQ(read.Kind, sr ? TReportKind::MeasurementReport : TReportKind::PresentationState);
        EXPECT_TRUE(read.MissingImages.isEmpty());
        ASSERT_EQ(read.Images.size(), 1u);
        EXPECT_EQ(read.Images[0].SopInstanceUid, scene.Picture->SopInstanceUid);
        ASSERT_EQ(read.Images[0].Shapes.size(), scene.Image.Shapes.size());
        for (size_t i = 0; i < scene.Image.Shapes.size(); ++i) {
            const TAnnotation& want = scene.Image.Shapes[i];
            const TAnnotation& got = read.Images[0].Shapes[i];
            SCOPED_TRACE(KindWord(want.Kind).toStdString());
            EXPECT_EQ(got.Kind, want.Kind);
            EXPECT_EQ(got.Points, want.Points);
            EXPECT_EQ(got.Caption, want.Caption);
            EXPECT_EQ(got.RoiNumber, want.RoiNumber);
            if (sr) {
                EXPECT_EQ(read.Images[0].Values[i], ReportValues(scene.Image.Measurements[i]));
            }
        }
    }
    // Every measuring kind gave values to compare.
    EXPECT_EQ(ReportValues(scene.Image.Measurements[2]).size(), 1u);
    EXPECT_EQ(ReportValues(scene.Image.Measurements[3]).size(), 1u);
    EXPECT_EQ(ReportValues(scene.Image.Measurements[6]).size(), 5u);
}

TEST(Reports, OtherProgramsAcceptTheExports) {
    TScene scene;
    QTemporaryDir dir;
    const QString sr = dir.filePath(QStringLiteral("sr.dcm")), ps = dir.filePath(QStringLiteral("ps.dcm"));
    for (const auto& [path, bytes] : {std::pair{sr, WriteMeasurementReport({scene.Image})},
                                      std::pair{ps, WritePresentationState({scene.Image})}}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    for (const QString& path : {sr, ps}) {
        const TRun v = RunTool(QStringLiteral("dciodvfy"), {path});
        EXPECT_FALSE(v.Out.contains(QLatin1String("Error"))) << v.Out.toStdString();
    }
    const TRun dump = RunTool(QStringLiteral("dsrdump"), {sr});
    EXPECT_EQ(dump.Code, 0) << dump.Out.toStdString();
    EXPECT_TRUE(dump.Out.contains(QLatin1String("Imaging Measurement Report")));
    const TRun check = RunTool(QStringLiteral("dcmpschk"), {ps});
    EXPECT_EQ(check.Code, 0) << check.Out.toStdString();
    EXPECT_FALSE(check.Out.contains(QLatin1String("Error"))) << check.Out.toStdString();

    // pydicom reads every value as written, in the groups' order.
    const TRun values = RunTool(QStringLiteral("/usr/bin/python3"), {Script(), QStringLiteral("values"), sr});
    ASSERT_EQ(values.Code, 0) << values.Out.toStdString();
    QStringList lines = values.Out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const TMeasurement& m : scene.Image.Measurements) {
        for (const TReportValue& v : ReportValues(m)) {
            ASSERT_FALSE(lines.isEmpty());
            const QStringList f = lines.takeFirst().split(QLatin1Char('|'));
            ASSERT_EQ(f.size(), 3);
            EXPECT_EQ(f[1], v.Unit);
            EXPECT_EQ(f[2].toDouble(), v.Value) << f.join(QLatin1Char(' ')).toStdString();
        }
    }
    EXPECT_TRUE(lines.isEmpty());
}

TEST(Reports, AnotherProgramsTid1500ReportReads) {
    TScene scene;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("other.dcm"));
    ASSERT_EQ(RunTool(QStringLiteral("/usr/bin/python3"), {Script(), QStringLiteral("write"), scene.File, path,
                                                     QStringLiteral("good")}).Code, 0);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const TReadReport read = ReadReport(f.readAll(), path, {scene.Target()});
    ASSERT_EQ(read.Images.size(), 1u);
    const TReportShapes& s = read.Images[0];
    ASSERT_EQ(s.Shapes.size(), 3u);
    EXPECT_EQ(s.Shapes[0], Shape(TShapeKind::Ruler, {{10, 20}, {30, 40}}));
    EXPECT_EQ(s.Values[0], (std::vector<TReportValue>{{TValueKind::Length, 12.5, QStringLiteral("mm")}}));
    EXPECT_EQ(s.Shapes[1], Shape(TShapeKind::Rectangle, {{5, 6}, {25, 16}}, "Roi-7", 7));
    EXPECT_EQ(s.Values[1], (std::vector<TReportValue>{{TValueKind::Mean, -3.25, QStringLiteral("[hnsf'U]")}}));
    EXPECT_EQ(s.Shapes[2], Shape(TShapeKind::Ellipse, {{40, 45}, {60, 55}}));
}

TEST(Reports, BadInputIsRefusedWithItsKind) {
    TScene scene;
    QTemporaryDir dir;
    const auto pydicomReport = [&](const char* variant) {
        const QString path = dir.filePath(QString::fromLatin1(variant));
        RunTool(QStringLiteral("/usr/bin/python3"), {Script(), QStringLiteral("write"), scene.File, path,
                                                QString::fromLatin1(variant)});
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QFile source(scene.File);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray sr = WriteMeasurementReport({scene.Image});
    const TReportTarget otherImage{QStringLiteral("1.2.3.4"), 64, 64, 1};
    const struct {
        const char* Case;
        QByteArray Bytes;
        std::vector<TReportTarget> Targets;
        TReportError Kind;
    } rows[] = {
        {"an SR that is no TID 1500", pydicomReport("not-tid1500"), {}, TReportError::NotTid1500},
        {"coordinates beyond the image", pydicomReport("outside"), {scene.Target()}, TReportError::OutsideImage},
        {"a unit no one here knows", pydicomReport("unknown-unit"), {}, TReportError::UnknownUnit},
        {"a presentation state for another image", WritePresentationState({scene.Image}), {otherImage},
         TReportError::OtherImage},
        {"a damaged file", sr.left(sr.size() / 2), {}, TReportError::Damaged},
        {"bytes that are no DICOM", QByteArray("no report"), {}, TReportError::Unreadable},
        {"an image", source.readAll(), {}, TReportError::NotAReport},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Case);
        try {
            ReadReport(row.Bytes, QStringLiteral("bad.dcm"), row.Targets);
            ADD_FAILURE() << "read";
        } catch (const EReportError& e) {
            EXPECT_EQ(e.Kind(), row.Kind) << e.Text().toStdString();
            EXPECT_FALSE(e.Text().isEmpty());
        }
    }
    // A series whose report names images not given says which.
    TReportImage second = scene.Image;
    second.File = test::PydicomFile("MR_small.dcm");
    const TReadReport read = ReadReport(WriteMeasurementReport({scene.Image, second}), QStringLiteral("two.dcm"),
                                        {scene.Target()});
    EXPECT_EQ(read.Images.size(), 1u);
    ASSERT_EQ(read.MissingImages.size(), 1);
    EXPECT_EQ(read.MissingImages[0], imaging::LoadPicture(second.File).SopInstanceUid);
}

} // namespace
} // namespace kelvo::reports
