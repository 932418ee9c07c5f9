// Which pixels a region holds, checked on shapes small enough to count by hand, and its
// statistics checked against numpy over pydicom's CT and MR test files.
#include "imaging/loader.h"
#include "imaging/region_stats.h"
#include "tests/support/sample_files.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <cmath>
#include <limits>
#include <set>
#include <utility>

namespace kelvo::imaging {
namespace {

using Pixels = std::set<std::pair<int32_t, int32_t>>;

TRegion Region(TRegionKind kind, std::vector<TRegionPoint> points) { return TRegion{kind, std::move(points)}; }

Pixels PixelsOf(const TRegion& r, int32_t w = 64, int32_t h = 64) {
    Pixels out;
    for (const TRegionSpan& s : RegionSpans(r, w, h)) {
        for (int32_t x = s.First; x <= s.Last; ++x) {
            EXPECT_TRUE(out.insert({x, s.Y}).second) << "pixel counted twice: " << x << "," << s.Y;
        }
    }
    return out;
}

Pixels Box(int32_t x0, int32_t y0, int32_t x1, int32_t y1) { // inclusive
    Pixels out;
    for (int32_t y = y0; y <= y1; ++y) {
        for (int32_t x = x0; x <= x1; ++x) {
            out.insert({x, y});
        }
    }
    return out;
}

TEST(RegionPixels, HandCountableShapes) {
    struct Row {
        const char* Name;
        TRegion R;
        Pixels Expected;
    };
    Pixels triangle; // x + y <= 3: centres on the slanted edge count
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x + y <= 3; ++x) {
            triangle.insert({x, y});
        }
    }
    Pixels u = Box(0, 0, 5, 0);
    for (const auto& p : Box(0, 1, 1, 3)) u.insert(p);
    for (const auto& p : Box(4, 1, 5, 3)) u.insert(p);
    Pixels disc = Box(0, 0, 3, 3);
    for (const auto& corner : Pixels{{0, 0}, {3, 0}, {0, 3}, {3, 3}}) disc.erase(corner);
    const Row rows[] = {
        {"rectangle covers its drawn columns and rows", Region(TRegionKind::Rectangle, {{10, 10}, {50, 30}}),
         Box(10, 10, 49, 29)},
        {"rectangle with corners reversed", Region(TRegionKind::Rectangle, {{50, 30}, {10, 10}}), Box(10, 10, 49, 29)},
        {"polygon through a rectangle's corners",
         Region(TRegionKind::Polygon, {{10, 10}, {50, 10}, {50, 30}, {10, 30}}), Box(10, 10, 49, 29)},
        {"triangle keeps centres on its edge", Region(TRegionKind::Polygon, {{0, 0}, {4, 0}, {0, 4}}), triangle},
        {"U-shaped polygon gives two runs a row",
         Region(TRegionKind::Polygon, {{0, 0}, {6, 0}, {6, 4}, {4, 4}, {4, 1}, {2, 1}, {2, 4}, {0, 4}}), u},
        {"ellipse in a 4x4 box leaves the corners", Region(TRegionKind::Ellipse, {{0, 0}, {4, 4}}), disc},
        {"ellipse in a 2x2 box", Region(TRegionKind::Ellipse, {{2, 2}, {0, 0}}), Box(0, 0, 1, 1)},
        {"clipped at the picture's edges", Region(TRegionKind::Rectangle, {{-5, -5}, {3, 2}}), Box(0, 0, 2, 1)},
        {"flat rectangle holds nothing", Region(TRegionKind::Rectangle, {{5, 5}, {9, 5}}), {}},
        {"flat ellipse holds nothing", Region(TRegionKind::Ellipse, {{5, 5}, {5, 9}}), {}},
        {"two-point polygon holds nothing", Region(TRegionKind::Polygon, {{0, 0}, {9, 9}}), {}},
        {"outside the picture", Region(TRegionKind::Rectangle, {{70, 70}, {80, 80}}), {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PixelsOf(row.R), row.Expected) << row.Name;
    }
    // A disc cut by the far corner keeps exactly its own upper-left quarter.
    Pixels quarter;
    for (const auto& [x, y] : PixelsOf(Region(TRegionKind::Ellipse, {{0, 0}, {8, 8}}))) {
        if (x < 4 && y < 4) quarter.insert({x + 60, y + 60});
    }
    EXPECT_EQ(quarter.size(), 13u);
    EXPECT_EQ(PixelsOf(Region(TRegionKind::Ellipse, {{60, 60}, {68, 68}})), quarter);
}

TEST(RegionPixels, SelfCrossingPolygonUsesEvenOdd) {
    // A square drawn twice round: every inside point is crossed an even number of times.
    const TRegion twice =
        Region(TRegionKind::Polygon, {{0, 0}, {4, 0}, {4, 4}, {0, 4}, {0, 0}, {4, 0}, {4, 4}, {0, 4}});
    // A bow tie: two triangles meeting at the middle.
    const TRegion bow = Region(TRegionKind::Polygon, {{0, 0}, {4, 4}, {4, 0}, {0, 4}});
    const Pixels b = PixelsOf(bow);
    EXPECT_TRUE(b.count({0, 2}) && b.count({3, 1}) && !b.count({1, 0}) && !b.count({2, 3})) << b.size();
    EXPECT_EQ(PixelsOf(twice), Pixels{}) << "every centre is crossed twice";
}

TEST(RegionPixels, FarOffCoordinatesStayDefined) {
    const int32_t lo = std::numeric_limits<int32_t>::min();
    const int32_t hi = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(PixelsOf(Region(TRegionKind::Rectangle, {{lo, lo}, {hi, hi}}), 8, 8), Box(0, 0, 7, 7));
    EXPECT_EQ(PixelsOf(Region(TRegionKind::Ellipse, {{lo, lo}, {hi, hi}}), 8, 8), Box(0, 0, 7, 7));
    EXPECT_EQ(PixelsOf(Region(TRegionKind::Polygon, {{lo, lo}, {hi, lo}, {hi, hi}, {lo, hi}}), 8, 8), Box(0, 0, 7, 7));
}

TPicture Ramp(TSampleType type, int64_t base) { // value = base + x + 10 y on 8 x 8
    TPicture p;
    p.Allocate(8, 8, 2, 1, type, 32);
    for (int32_t y = 0; y < 8; ++y) {
        for (int32_t x = 0; x < 8; ++x) {
            const int64_t v = base + x + 10 * y;
            uint8_t* at = p.Data() + (size_t(y) * 8 + size_t(x)) * SampleBytes(type);
            switch (type) {
            // clang-format off
            case TSampleType::U8: *at = uint8_t(v); break;
            case TSampleType::S8: *at = uint8_t(int8_t(v)); break;
            case TSampleType::U16: { auto s = uint16_t(v); std::memcpy(at, &s, 2); break; }
            case TSampleType::S16: { auto s = int16_t(v); std::memcpy(at, &s, 2); break; }
            case TSampleType::U32: { auto s = uint32_t(v); std::memcpy(at, &s, 4); break; }
            case TSampleType::S32: { auto s = int32_t(v); std::memcpy(at, &s, 4); break; }
                // clang-format on
            }
        }
    }
    return p;
}

TEST(RegionStatistics, ModalityValuesOfEverySampleType) {
    // Pixels (1,1) (2,1) (1,2) (2,2) hold base + 11, 12, 21, 22: mean base + 16.5, population sd sqrt(25.25).
    struct Row {
        TSampleType Type;
        int64_t Base;
        double Slope, Intercept;
    };
    const Row rows[] = {
        {TSampleType::U8, 200, 1, 0},           {TSampleType::S8, -100, 1, 0},
        {TSampleType::U16, 60000, 2, -1000},    {TSampleType::S16, -30000, -1, 0},
        {TSampleType::U32, 4000000000LL, 1, 0}, {TSampleType::S32, -2000000000LL, 0.5, 7},
    };
    for (const Row& row : rows) {
        TPicture p = Ramp(row.Type, row.Base);
        p.Slope = row.Slope;
        p.Intercept = row.Intercept;
        p.Unit = QStringLiteral("HU");
        const TRegionStats s = RegionStatistics(p, 0, Region(TRegionKind::Rectangle, {{1, 1}, {3, 3}}));
        const double m = [&](double v) { return v * row.Slope + row.Intercept; }(double(row.Base) + 16.5);
        const double a = double(row.Base + 11) * row.Slope + row.Intercept;
        const double b = double(row.Base + 22) * row.Slope + row.Intercept;
        SCOPED_TRACE(int(row.Type));
        EXPECT_EQ(s.Count, 4);
        EXPECT_DOUBLE_EQ(s.Mean, m);
        EXPECT_DOUBLE_EQ(s.Sd, std::sqrt(25.25) * std::abs(row.Slope));
        EXPECT_EQ(s.Min, std::min(a, b));
        EXPECT_EQ(s.Max, std::max(a, b));
        EXPECT_EQ(s.Unit, QStringLiteral("HU"));
    }
}

TEST(RegionStatistics, AreaCountAndEmptyRegions) {
    TPicture p = Ramp(TSampleType::U16, 0);
    const TRegion r = Region(TRegionKind::Rectangle, {{1, 1}, {3, 3}});
    EXPECT_EQ(RegionStatistics(p, 0, r).Area, 4.0);
    EXPECT_FALSE(RegionStatistics(p, 0, r).AreaInMm2);
    p.ColumnSpacing = 0.5;
    p.RowSpacing = 0.25;
    p.SpacingSource = TSpacingSource::PixelSpacing;
    EXPECT_EQ(RegionStatistics(p, 0, r).Area, 0.5);
    EXPECT_TRUE(RegionStatistics(p, 0, r).AreaInMm2);
    EXPECT_EQ(RegionStatistics(p, 1, r).Mean, 0.0) << "the second frame is all zero";
    for (const TRegionStats& s : {RegionStatistics(p, 2, r), RegionStatistics(p, -1, r),
                                  RegionStatistics(p, 0, Region(TRegionKind::Rectangle, {{9, 9}, {20, 20}}))}) {
        EXPECT_EQ(s.Count, 0);
        EXPECT_TRUE(std::isnan(s.Mean) && std::isnan(s.Sd) && std::isnan(s.Min) && std::isnan(s.Max));
    }
}

TEST(RegionStatistics, ColourIsMeasuredOnLuma) {
    TPicture p;
    p.Allocate(2, 1, 1, 3, TSampleType::U8, 8);
    const uint8_t rgb[] = {100, 50, 200, 0, 0, 0};
    std::memcpy(p.Data(), rgb, sizeof rgb);
    const TRegionStats s = RegionStatistics(p, 0, Region(TRegionKind::Rectangle, {{0, 0}, {2, 1}}));
    EXPECT_EQ(s.Count, 2);
    EXPECT_NEAR(s.Max, 82.05, 1e-12);
    EXPECT_NEAR(s.Mean, 41.025, 1e-12);
    EXPECT_NEAR(s.Sd, 41.025, 1e-12);
}

QString RegionArgument(const TRegion& r) {
    QStringList points;
    for (const TRegionPoint& p : r.Points) {
        points << QStringLiteral("%1,%2").arg(p.X).arg(p.Y);
    }
    const char* kind = r.Kind == TRegionKind::Rectangle ? "rect"
                       : r.Kind == TRegionKind::Ellipse ? "ellipse"
                                                        : "polygon";
    return QLatin1String(kind) + QLatin1Char(':') + points.join(QLatin1Char(';'));
}

void ExpectRelative(double got, double want, const char* what) {
    EXPECT_LE(std::abs(got - want), 1e-9 * std::max(1.0, std::abs(want))) << what << ": " << got << " vs " << want;
}

TEST(RegionStatistics, AgreesWithNumpyOnPydicomFiles) {
    const std::vector<TRegion> regions = {
        Region(TRegionKind::Rectangle, {{10, 12}, {90, 70}}),
        Region(TRegionKind::Ellipse, {{5, 3}, {60, 58}}),
        Region(TRegionKind::Ellipse, {{-20, 30}, {200, 61}}),
        Region(TRegionKind::Polygon, {{3, 4}, {57, 9}, {40, 50}, {20, 33}, {8, 60}}),
        Region(TRegionKind::Polygon, {{0, 0}, {50, 50}, {50, 0}, {0, 50}}),
        Region(TRegionKind::Polygon, {{1, 1}, {30, 2}, {31, 31}}),
    };
    // Colour on its luma: Y as it is stored in YBR (JPEG, 4:2:2, uncompressed), weighed from RGB.
    for (const char* name : {"CT_small.dcm", "MR_small.dcm", "SC_rgb_dcmtk_+eb+cy+n1.dcm", "SC_rgb_dcmtk_+eb+cy+np.dcm",
                             "SC_ybr_full_422_uncompressed.dcm", "SC_rgb_rle.dcm"}) {
        SCOPED_TRACE(name);
        const QString path = test::PydicomFile(name);
        const TPicture picture = LoadPicture(path);
        QStringList args;
        for (const TRegion& r : regions) args << RegionArgument(r);
        const QStringList lines = test::NumpyRegionStatistics(path, args);
        ASSERT_EQ(lines.size(), qsizetype(regions.size())) << "region_reference.py failed";
        for (size_t i = 0; i < regions.size(); ++i) {
            SCOPED_TRACE(RegionArgument(regions[i]).toStdString());
            const QStringList f = lines[qsizetype(i)].split(QLatin1Char(' '));
            ASSERT_EQ(f.size(), 5);
            const TRegionStats s = RegionStatistics(picture, 0, regions[i]);
            EXPECT_EQ(s.Count, f[0].toLongLong());
            ExpectRelative(s.Mean, f[1].toDouble(), "mean");
            ExpectRelative(s.Sd, f[2].toDouble(), "sd");
            ExpectRelative(s.Min, f[3].toDouble(), "min");
            ExpectRelative(s.Max, f[4].toDouble(), "max");
        }
        EXPECT_EQ(RegionStatistics(picture, 0, regions[0]).AreaInMm2, true);
    }
}

} // namespace
} // namespace kelvo::imaging
