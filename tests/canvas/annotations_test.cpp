// The annotation file keeps every shape as it was, refuses what it cannot trust with a
// clear message, and never leaves a half-written file; the CSV export follows RFC 4180.
#include "canvas/annotations.h"
#include "canvas/area_shapes.h"
#include "canvas/line_shapes.h"
#include "canvas/measurements.h"
#include "canvas/my_cad.h"
#include "platform/screen.h"
#include "support/canvas_fixture.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <memory>

namespace kelvo {
namespace {

using test::CanvasTest;

std::vector<TAnnotation> SampleShapes() {
    return {
        {TShapeKind::Arrow, {{1, 2}, {30, 40}}, clYellow, 1, TPenStyle::psSolid, QStringLiteral("Lesion, \"left\""), 0},
        {TShapeKind::Ruler, {{-5, 7}, {100, 7}}, clRed, 3, TPenStyle::psDash, QString(), 0},
        {TShapeKind::Angle, {{0, 0}, {10, 0}, {10, 10}}, clWhite, 2, TPenStyle::psDot, QString(), 0},
        // clang-format off
        {TShapeKind::Polyline, {{0, 0}, {4, 0}, {0, 4}}, RGB(1, 2, 3), 10, TPenStyle::psDashDot, QStringLiteral("Roi-7"), 7},
        // clang-format on
        {TShapeKind::Rectangle, {{50, 30}, {10, 10}}, clLime, 1, TPenStyle::psSolid, QStringLiteral("Roi-2"), 2},
        // clang-format off
        {TShapeKind::Ellipse, {{kMaxImageCoordinate, -kMaxImageCoordinate}, {0, 0}}, clBlue, 1,
         TPenStyle::psDashDotDot, QStringLiteral("Roi-3"), 3},
        // clang-format on
    };
}

TEST(AnnotationFile, KeepsEveryShapeThroughSaveAndLoad) {
    QTemporaryDir dir;
    const QString path = AnnotationPathFor(dir.path() + QStringLiteral("/scan.dcm"));
    EXPECT_TRUE(path.endsWith(QLatin1String("/scan.dcm.kelvo.json")));
    std::vector<TAnnotation> shapes = SampleShapes();
    // clang-format off
    shapes.push_back({TShapeKind::Arrow, {{0, 0}, {1, 1}}, clBlack, 1, TPenStyle::psSolid,
                      QStringLiteral("back\\slash\ttab\nline \u00e9\U0001F600 </script>"), 0});
    // clang-format on
    // Only a shape bound to an image of a series writes the image's keys.
    EXPECT_FALSE(AnnotationsToJson(shapes).contains("sop_instance_uid"));
    shapes[1].Image = {QStringLiteral("1.2.840.99.7"), 3};
    EXPECT_EQ(AnnotationsToJson(shapes).count("\"sop_instance_uid\": \"1.2.840.99.7\", \"frame\": 3"), 1);
    SaveAnnotations(path, shapes);
    EXPECT_EQ(LoadAnnotations(path), shapes);
    SaveAnnotations(path, {});
    EXPECT_TRUE(LoadAnnotations(path).empty());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("scan.dcm.kelvo.json")})
        << "no temporary file stays behind";
}

QByteArray WithShape(const QByteArray& shape, const QByteArray& version = "1") {
    return "{\"format\": \"kelvo-annotations\", \"version\": " + version + ", \"shapes\": [" + shape + "]}";
}

TEST(AnnotationFile, RefusesWhatItCannotTrust) {
    const QByteArray good =
        R"({"kind": "rectangle", "points": [[1, 2], [3, 4]], "color": "#ff0000", "width": 1, "style": "solid", "caption": "Roi-1", "roi": 1})";
    ASSERT_EQ(AnnotationsFromJson(WithShape(good), QStringLiteral("f")).size(), 1u);
    struct Row {
        const char* Name;
        QByteArray Json;
        TAnnotationError Kind;
        const char* Says;
    };
    auto bad = [&](const char* from, const char* to) { return WithShape(QByteArray(good).replace(from, to)); };
    auto calibrated = [&](const char* mm) {
        return WithShape(good).replace("\"shapes\"",
                                       QByteArray("\"calibration\": {\"mm per pixel\": ") + mm + "}, \"shapes\"");
    };
    const Row rows[] = {
        {"not JSON", "{\"format\": ", TAnnotationError::NotAnnotations, "not an annotation file"},
        {"another JSON document", "{\"shapes\": []}", TAnnotationError::NotAnnotations, "not an annotation file"},
        {"a newer version", WithShape(good, "2"), TAnnotationError::UnknownVersion, "version 2"},
        {"a fractional version", WithShape(good, "1.5"), TAnnotationError::UnknownVersion, "version 1.5"},
        {"no version", "{\"format\": \"kelvo-annotations\", \"shapes\": []}", TAnnotationError::UnknownVersion,
         "(none)"},
        {"unknown kind", bad("rectangle", "hexagon"), TAnnotationError::BadValue, "shape 1: unknown kind"},
        {"coordinate too far", bad("[3, 4]", "[3, 268435456]"), TAnnotationError::BadValue, "coordinate"},
        {"fractional coordinate", bad("[3, 4]", "[3.5, 4]"), TAnnotationError::BadValue, "coordinate"},
        {"coordinate as text", bad("[3, 4]", "[\"3\", 4]"), TAnnotationError::BadValue, "coordinate"},
        {"one point for a rectangle", bad(", [3, 4]", ""), TAnnotationError::BadValue,
         "1 points do not make a rectangle"},
        {"colour not hex", bad("#ff0000", "#ff00zz"), TAnnotationError::BadValue, "colour"},
        {"colour with a sign", bad("#ff0000", "#+fffff"), TAnnotationError::BadValue, "colour"},
        {"colour with 0x", bad("#ff0000", "#0xfff0"), TAnnotationError::BadValue, "colour"},
        {"more shapes than are loaded", WithShape((good + ",").repeated(kMaxAnnotationShapes) + good),
         TAnnotationError::BadValue, "20001 shapes, more than the 20000"},
        {"width zero", bad("\"width\": 1", "\"width\": 0"), TAnnotationError::BadValue, "width"},
        {"width huge", bad("\"width\": 1", "\"width\": 1e300"), TAnnotationError::BadValue, "width"},
        {"unknown style", bad("solid", "wavy"), TAnnotationError::BadValue, "line style"},
        {"caption too long", bad("Roi-1", QByteArray(51, 'x').constData()), TAnnotationError::BadValue, "caption"},
        {"region number zero", bad("\"roi\": 1", "\"roi\": 0"), TAnnotationError::BadValue, "roi"},
        {"region number near the 32-bit limit", bad("\"roi\": 1", "\"roi\": 2147483646"), TAnnotationError::BadValue,
         "roi"},
        {"region number missing", bad(", \"roi\": 1", ""), TAnnotationError::BadValue, "roi"},
        {"region number twice", WithShape(good + "," + good), TAnnotationError::BadValue,
         "shape 2: region number 1 is used twice"},
        {"image UID as a number", bad("\"roi\": 1", "\"roi\": 1, \"sop_instance_uid\": 5"), TAnnotationError::BadValue,
         "sop_instance_uid"},
        {"image UID too long", bad("\"roi\": 1", "\"roi\": 1, \"sop_instance_uid\": \"" + QByteArray(65, '1') + "\""),
         TAnnotationError::BadValue, "sop_instance_uid"},
        {"negative frame", bad("\"roi\": 1", "\"roi\": 1, \"frame\": -1"), TAnnotationError::BadValue, "frame"},
        {"a shape that is a number", WithShape("5"), TAnnotationError::BadValue, "shape 1 is not an object"},
        {"calibration of zero", calibrated("[0, 0.5]"), TAnnotationError::BadValue, "calibration"},
        {"calibration as text", calibrated("[\"0.5\", 0.5]"), TAnnotationError::BadValue, "calibration"},
        {"calibration of one axis", calibrated("[0.5]"), TAnnotationError::BadValue, "calibration"},
        {"calibration without spacings", calibrated("null"), TAnnotationError::BadValue, "calibration"},
    };
    for (const Row& row : rows) {
        try {
            (void)AnnotationsFromJson(row.Json, QStringLiteral("scan.dcm.kelvo.json"));
            ADD_FAILURE() << row.Name << ": accepted";
        } catch (const EAnnotationError& e) {
            EXPECT_EQ(e.Kind(), row.Kind) << row.Name;
            EXPECT_TRUE(e.Text().contains(QLatin1String(row.Says))) << row.Name << ": " << e.Text().toStdString();
            EXPECT_TRUE(e.Text().contains(QLatin1String("scan.dcm.kelvo.json"))) << row.Name;
        }
    }
}

TEST(AnnotationFile, FailedSaveKeepsTheOldFile) {
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/a.kelvo.json");
    SaveAnnotations(path, SampleShapes());
    // clang-format off
    const QByteArray before = [&] { QFile f(path); f.open(QIODevice::ReadOnly); return f.readAll(); }();
    // clang-format on
    // A directory in the way of the temporary file's rename target cannot be replaced.
    const QString blocked = dir.path() + QStringLiteral("/blocked.kelvo.json");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("blocked.kelvo.json")));
    EXPECT_THROW(SaveAnnotations(blocked, SampleShapes()), EAnnotationError);
    EXPECT_THROW(SaveAnnotations(dir.path() + QStringLiteral("/missing/a.kelvo.json"), SampleShapes()),
                 EAnnotationError);
    {
        // A disk that fills part-way through the file, here as a limit on the size of
        // the files this process writes (its signal ignored: the write fails instead).
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = rlim_t(before.size() / 2);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        EXPECT_THROW(SaveAnnotations(path, SampleShapes()), EAnnotationError);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);
    EXPECT_THROW((void)LoadAnnotations(dir.path() + QStringLiteral("/none.json")), EAnnotationError);
}

class ShapeRecords : public CanvasTest {};

TEST_F(ShapeRecords, EveryKindSurvivesBeingMadeIntoAShapeAndBack) {
    for (const TAnnotation& a : SampleShapes()) {
        const std::unique_ptr<TMyShape> shape = MakeShape(a);
        ASSERT_EQ(KindOf(*shape), a.Kind);
        TAnnotation back = *ToAnnotation(*shape);
        EXPECT_EQ(back, a) << KindWord(a.Kind).toStdString();
    }
    EXPECT_EQ(RoiNumberOf(QStringLiteral("Roi-12")), 12);
    EXPECT_EQ(RoiNumberOf(QStringLiteral("Roi-x")), 0);
    EXPECT_EQ(RoiNumberOf(QStringLiteral("Ruler")), 0);
}

// The kind table's row makes the kind for its tool, and a copy keeps all a record holds.
std::shared_ptr<const imaging::TPicture> Ramp(double mmX = 1.5, double mmY = 0.5) { // value = x + 10 y, CT
    auto p = std::make_shared<imaging::TPicture>();
    p->Allocate(8, 8, 1, 1, imaging::TSampleType::S16, 16);
    auto* v = reinterpret_cast<int16_t*>(p->Data());
    for (int i = 0; i < 64; ++i) v[i] = int16_t(i % 8 + 10 * (i / 8));
    p->Intercept = -1024;
    p->Unit = QStringLiteral("HU");
    p->ColumnSpacing = mmX;
    p->RowSpacing = mmY;
    p->SpacingSource = imaging::TSpacingSource::PixelSpacing;
    return p;
}

TEST_F(ShapeRecords, CsvHasOneExactRowPerShapeWhateverTheLocale) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    std::vector<std::unique_ptr<TMyShape>> owned;
    std::vector<const TMyShape*> shapes;
    for (const TAnnotation& a : SampleShapes()) {
        owned.push_back(MakeShape(a));
        shapes.push_back(owned.back().get());
    }
    owned[1]->Points = {{0, 0}, {3, 4}}; // 4.5 mm across, 2 mm down
    TRegionStatsCache cache;
    const std::vector<TMeasurement> m = Measure(shapes, {Ramp(), 0, 1.5, 0.5, 96, &cache});
    const QString csv = QString::fromUtf8(MeasurementsCsv(m));
    QLocale::setDefault(before);
    const QStringList lines = csv.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 8) << csv.toStdString(); // header, six rows, the empty rest after the last CRLF
    EXPECT_EQ(
        lines[0],
        QStringLiteral(
            "Name,Kind,Points,Length,Length unit,Angle (degrees),Area,Area unit,Count,Mean,SD,Min,Max,Value unit,"
            "Spacing,File,SOP Instance UID,Frame"));
    EXPECT_EQ(lines[1], QStringLiteral("\"Lesion, \"\"left\"\"\",Arrow,1 2; 30 40,,,,,,,,,,,,,,,1"));
    EXPECT_TRUE(lines[2].startsWith(QLatin1String("Ruler 1,Ruler,0 0; 3 4,"))) << lines[2].toStdString();
    EXPECT_TRUE(lines[2].endsWith(QLatin1String(",mm,,,,,,,,,,,,,1"))) << lines[2].toStdString();
    const QStringList ruler = lines[2].split(QLatin1Char(','));
    EXPECT_DOUBLE_EQ(ruler[3].toDouble(), std::hypot(4.5, 2.0));
    EXPECT_EQ(lines[3].split(QLatin1Char(','))[5], QStringLiteral("90"));
    // The triangle x + y <= 3 holds 10 pixels of values x + 10 y - 1024: sum 110, squares 2120.
    EXPECT_EQ(lines[4], QStringLiteral("Roi-7,Polyline,0 0; 4 0; 0 4,,,,7.5,mm²,10,-1013,%1,-1024,-994,HU,,,,1")
                            .arg(QString::number(std::sqrt(91.0), 'g', QLocale::FloatingPointShortest)));
    EXPECT_TRUE(lines[5].startsWith(QStringLiteral("Roi-2,Rectangle,50 30; 10 10,,,,0,mm²,0,,,,,HU")))
        << lines[5].toStdString();
    EXPECT_TRUE(lines[6].startsWith(QLatin1String("Roi-3,Ellipse,"))) << lines[6].toStdString();
    EXPECT_EQ(lines[7], QString());
    EXPECT_EQ(cache.Computations(), 3);
    (void)Measure(shapes, {Ramp(), 0, 1.5, 0.5, 96, &cache});
    EXPECT_EQ(cache.Computations(), 6) << "another picture is measured again";
}

// The list shows the figure the label on the picture shows, also where computing the
// length or angle another way would round to the next hundredth.
TEST_F(ShapeRecords, TheListShowsTheLabelsFigureForRulersAndAngles) {
    struct Case {
        const char* name;
        std::vector<TPoint> points;
        double mmX, mmY;
    };
    const Case cases[] = {
        {"ruler in inches", {{10, 10}, {310, 252}}, 0, 0},
        {"ruler in square millimetres", {{0, 0}, {28, 198}}, 0.5, 0.5},
        {"ruler in non-square millimetres", {{0, 0}, {79, 114}}, 0.3, 0.7},
        {"angle", {{300, 200}, {200, 200}, {143, 201}}, 0, 0},
    };
    const int32_t dpi = ScreenPixelsPerInch();
    for (const Case& c : cases) {
        const bool angle = c.points.size() == 3;
        std::unique_ptr<TMyLine> shape;
        if (angle) {
            shape = std::make_unique<TMySector>();
        } else {
            shape = std::make_unique<TMyRuleLine>();
        }
        shape->Points = c.points;
        shape->LabelSpacing = TPixelSpacing{c.mmX, c.mmY};
        const std::vector<TMeasurement> m = Measure({shape.get()}, {nullptr, 0, c.mmX, c.mmY, dpi, nullptr});
        ASSERT_EQ(m.size(), 1u);
        QString label;
        if (angle) {
            label = shape->AngleText(c.points[0], c.points[1], c.points[2]).mid(3).trimmed() + QStringLiteral("°");
        } else {
            label = shape->LengthText(c.points[0], c.points[1]).mid(4).trimmed();
        }
        EXPECT_EQ(m[0].ValueText().toStdString(), label.toStdString()) << c.name;
    }
}

// Whichever canvas was given its picture last, each labels its rulers with its own.
TEST_F(ShapeRecords, EachCanvasLabelsRulersWithItsOwnPicturesSpacing) {
    TMyCAD wide;
    TMyCAD narrow;
    ASSERT_TRUE(wide.SetPicture(Ramp(2.0, 2.0)) && narrow.SetPicture(Ramp(0.5, 0.5)));
    const std::pair<TMyCAD*, QString> cases[] = {{&wide, QStringLiteral("20.00 mm")},
                                                 {&narrow, QStringLiteral("5.00 mm")}};
    for (const auto& [cad, length] : cases) {
        std::unique_ptr<TMyShape> ruler = cad->CreateShape(SpRuleLine);
        ruler->Points = {{0, 0}, {10, 0}};
        cad->AddShape(std::move(ruler));
        cad->show();
    }
    for (const auto& [cad, length] : cases) {
        cad->Paint();
        EXPECT_EQ(cad->Shape(0)->Caption().mid(4).trimmed(), length);
    }
}

TEST_F(ShapeRecords, StatisticsAreReusedUntilTheRegionChanges) {
    auto shape = MakeShape(SampleShapes()[4]);
    const std::vector<const TMyShape*> shapes{shape.get()};
    const auto picture = Ramp();
    TRegionStatsCache cache;
    for (int i = 0; i < 3; ++i) (void)Measure(shapes, {picture, 0, 0, 0, 96, &cache});
    EXPECT_EQ(cache.Computations(), 1);
    shape->Points = {{0, 0}, {2, 2}};
    const std::vector<TMeasurement> m = Measure(shapes, {picture, 0, 0, 0, 96, &cache});
    EXPECT_EQ(cache.Computations(), 2);
    ASSERT_TRUE(m[0].Stats.has_value());
    EXPECT_EQ(m[0].Stats->Count, 4);
    EXPECT_EQ(m[0].Stats->Mean, 5.5 - 1024);
    EXPECT_EQ(m[0].ValueText(), QStringLiteral("3.00 mm², -1018.50 ± 5.02 HU"));
}

} // namespace
} // namespace kelvo
