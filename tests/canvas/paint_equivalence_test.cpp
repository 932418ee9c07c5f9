#include "canvas/line_shapes.h"
#include "canvas/my_cad.h"
#include "support/canvas_fixture.h"

#include <memory>
#include <random>

using namespace kelvo;
using kelvo::test::CanvasTest;

namespace {

class PaintEquivalence : public CanvasTest {
protected:
    // A canvas full of shapes of every kind, some reaching beyond the picture, some
    // selected, with mixed pens and fonts.
    std::unique_ptr<TMyCAD> Crowded(double zoom, int count, uint32_t seed) {
        auto cad = std::make_unique<TMyCAD>();
        cad->AnnotationDialog = [](TMyCAD*) { return QStringLiteral("note Wg|"); };
        cad->SetBackGround(GreyPicture(300, 260));
        cad->SetColorOfShadow(RGB(20, 40, 200));
        cad->SetColorOfHot(RGB(0, 128, 255));
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> pos(-40, 320);
        std::uniform_int_distribution<int> size(-80, 80);
        std::uniform_int_distribution<int> pick(0, 99);
        const TDrawTool kinds[] = {SpLine, SpRuleLine, SpSector, SpPolyLine, SpRectangle, SpEllipse};
        const TPenStyle styles[] = {TPenStyle::psSolid, TPenStyle::psSolid, TPenStyle::psDash, TPenStyle::psDot,
                                    TPenStyle::psClear};
        for (int i = 0; i < count; ++i) {
            const TDrawTool kind = kinds[i % 6];
            TPen pen;
            pen.Color = RGB(uint8_t(pick(rng) * 2), 255, uint8_t(pick(rng)));
            const int w = pick(rng);
            pen.Width = w < 70 ? 1 : (w < 85 ? 2 : (w < 95 ? 3 : 0));
            pen.Style = styles[size_t(pick(rng) % 5)];
            cad->SetPen(pen);
            TFont font;
            font.Name = pick(rng) < 70 ? QStringLiteral("Arial") : QStringLiteral("Times New Roman");
            font.Height = pick(rng) < 80 ? -12 : 15;
            font.Style = pick(rng) < 20 ? uint8_t(fsBold) : uint8_t(0);
            font.Color = RGB(255, uint8_t(pick(rng)), 0);
            cad->SetFont(font);
            cad->SetShapeTool(kind);
            auto shape = cad->CreateShape(kind);
            const int x = pos(rng);
            const int y = pos(rng);
            shape->Points = {{x, y}, {x + size(rng), y + size(rng)}};
            if (pick(rng) < 10) {
                shape->Points[1] = shape->Points[0]; // degenerate
            } else if (pick(rng) < 10) {
                shape->Points[1].X = x; // vertical
            } else if (pick(rng) < 10) {
                shape->Points[1].Y = y; // horizontal
            }
            if (kind == SpPolyLine || kind == SpSector) {
                shape->Points.push_back({x + size(rng), y + size(rng)});
                if (kind == SpPolyLine && pick(rng) < 50) {
                    shape->Points.push_back({x + size(rng), y});
                }
            }
            shape->Selected = pick(rng) < 30;
            cad->AddShape(std::move(shape));
        }
        cad->SetShapeTool(SpNone);
        cad->SetZoom(zoom);
        return cad;
    }

    static QImage Painted(TMyCAD& cad, bool reference) {
        cad.Surface().ReferenceRaster = reference;
        cad.Paint();
        return cad.Image().copy();
    }
};

struct Scene {
    double Zoom;
    bool Shadow;
    bool Labels;
    uint32_t Seed;
};

// The fast rasterisers must give the very pixels of the plain ones, for every kind,
// label, shadow and hot point, also where figures leave the picture.
TEST_F(PaintEquivalence, FastPaintMatchesThePlainRasterisers) {
    const Scene scenes[] = {
        {1.0, true, true, 1},   {2.0, true, true, 2},    {0.5, true, true, 3},  {1.5, true, true, 4},
        {3.0, true, true, 5},   {4.0, true, true, 6},    {2.0, false, true, 7}, {2.0, true, false, 8},
        {1.0, false, false, 9}, {0.333, true, true, 10},
    };
    for (const Scene& s : scenes) {
        SCOPED_TRACE(::testing::Message() << "zoom " << s.Zoom << " seed " << s.Seed);
        auto cad = Crowded(s.Zoom, 240, s.Seed);
        cad->SetShadow(s.Shadow);
        cad->SetDICOMStyle(s.Labels);
        const QImage fast = Painted(*cad, false);
        const QImage plain = Painted(*cad, true);
        ASSERT_FALSE(fast.isNull());
        ASSERT_EQ(fast.size(), plain.size());
        int differing = 0;
        for (int y = 0; y < fast.height(); ++y) {
            const auto* a = reinterpret_cast<const uint32_t*>(fast.constScanLine(y));
            const auto* b = reinterpret_cast<const uint32_t*>(plain.constScanLine(y));
            for (int x = 0; x < fast.width(); ++x) {
                if (a[x] != b[x] && ++differing <= 5) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") " << std::hex << a[x] << " != " << b[x];
                }
            }
        }
        EXPECT_EQ(differing, 0);
        // The scene really is drawn: not just the picture.
        const QImage bare = StretchImage(cad->BackGround(), cad->ZoomedSize().width(), cad->ZoomedSize().height());
        EXPECT_NE(fast.copy(bare.rect()).convertToFormat(QImage::Format_RGB32), bare);
    }
}

// The measurement texts are kept between paints; a moved point must still show at the
// next drawing, and moving it back must show the old text again.
TEST_F(PaintEquivalence, MeasurementLabelsFollowTheirPointsFromPaintToPaint) {
    TMyRuleLine rule;
    TMySector sector;
    for (TMyShape* shape : {static_cast<TMyShape*>(&rule), static_cast<TMyShape*>(&sector)}) {
        shape->Canvas = &surface_;
    }
    rule.Points = {{10, 10}, {106, 10}};
    sector.Points = {{50, 10}, {10, 10}, {10, 60}};
    rule.Draw();
    sector.Draw();
    EXPECT_EQ(rule.Caption(), rule.LengthText({10, 10}, {106, 10}));
    const QString firstLength = rule.Caption();
    rule.Points[1] = {10, 202};
    sector.Points[2] = {60, 10};
    rule.Draw();
    sector.Draw();
    EXPECT_EQ(rule.Caption(), rule.LengthText({10, 10}, {10, 202}));
    EXPECT_NE(rule.Caption(), firstLength);
    rule.Points[1] = {106, 10};
    rule.Draw();
    EXPECT_EQ(rule.Caption(), firstLength);
    // The sector's label is drawn, not stored: compare what two paints put on the surface.
    image_ = GreyPicture(200, 120);
    surface_.SetImage(&image_);
    sector.Points[2] = {10, 60};
    sector.Draw();
    QImage right = image_.copy();
    image_ = GreyPicture(200, 120);
    surface_.SetImage(&image_);
    sector.Points[2] = {60, 10};
    sector.Draw();
    EXPECT_NE(image_, right);
}

} // namespace
