#include "platform/surface.h"

#include "tests/support/application.h"

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <functional>
#include <random>
#include <vector>

using namespace kelvo;

namespace {

const auto* const kEnv = test::AddApplicationEnvironment(test::AppKind::Gui);

// A picture with a different value in every pixel, so that xor results tell pixels apart.
QImage Noise(int w, int h, uint32_t seed) {
    QImage img(w, h, QImage::Format_RGB32);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            row[x] = 0xFF000000u | (rng() & 0xFFFFFFu);
        }
    }
    return img;
}

using Drawing = std::function<void(TSurface&)>;

// Draws the same thing with the fast and with the plain rasterisers, on the same
// picture, and expects the same pixels and the same touched rectangle.
void ExpectSameAsPlain(const Drawing& draw, uint32_t seed) {
    QImage fast = Noise(97, 61, seed);
    QImage plain = fast.copy();
    TSurface a(&fast);
    TSurface b(&plain);
    b.ReferenceRaster = true;
    draw(a);
    draw(b);
    EXPECT_EQ(a.Touched(), b.Touched());
    for (int y = 0; y < fast.height(); ++y) {
        for (int x = 0; x < fast.width(); ++x) {
            if (fast.pixel(x, y) != plain.pixel(x, y)) {
                ADD_FAILURE() << "first difference at (" << x << ", " << y << ")";
                return;
            }
        }
    }
}

struct LineCase {
    const char* Name;
    TPoint A;
    TPoint B;
};

TEST(FastRaster, ThinLinesMatchThePlainRasteriserInEveryDirectionAndClip) {
    const LineCase cases[] = {
        // clang-format off
        {"shallow right down", {3, 4}, {80, 20}},     {"steep left up", {50, 55}, {40, 2}},
        {"exact diagonal", {0, 0}, {60, 60}},          {"horizontal left", {90, 10}, {5, 10}},
        {"vertical down", {7, 0}, {7, 60}},            {"single step", {10, 10}, {11, 11}},
        {"enters from the left", {-30, 5}, {40, 50}},  {"leaves at the bottom", {20, 30}, {60, 200}},
        // clang-format on
        {"crosses the whole picture", {-500, -300}, {700, 400}},
        {"passes beside it", {-20, -5}, {120, -1}},
        {"minor axis enters late", {-10, -40}, {90, 30}},
        {"huge", {-2000000000, -1900000000}, {2000000000, 1800000000}},
        {"huge steep", {48, -2100000000}, {49, 2100000000}},
    };
    const TPenMode modes[] = {TPenMode::pmCopy, TPenMode::pmXor, TPenMode::pmNotXor};
    for (const LineCase& c : cases) {
        for (TPenMode mode : modes) {
            for (int reverse = 0; reverse < 2; ++reverse) {
                SCOPED_TRACE(::testing::Message() << c.Name << " mode " << int(mode) << " reverse " << reverse);
                const TPoint from = reverse ? c.B : c.A;
                const TPoint to = reverse ? c.A : c.B;
                ExpectSameAsPlain(
                    [&](TSurface& s) {
                        s.Pen.Color = RGB(200, 30, 90);
                        s.Pen.Mode = mode;
                        s.MoveTo(from.X, from.Y);
                        s.LineTo(to.X, to.Y);
                    },
                    7);
            }
        }
    }
}

TEST(FastRaster, RandomThinLinesMatchThePlainRasteriser) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> coord(-60, 160);
    for (int k = 0; k < 400; ++k) {
        const TPoint a{coord(rng), coord(rng)};
        const TPoint b{coord(rng), coord(rng)};
        const TPenMode mode = TPenMode(k % 3);
        SCOPED_TRACE(::testing::Message() << a.X << "," << a.Y << " to " << b.X << "," << b.Y);
        ExpectSameAsPlain(
            [&](TSurface& s) {
                s.Pen.Mode = mode;
                s.Pen.Color = RGB(10, 250, 60);
                s.MoveTo(a.X, a.Y);
                s.LineTo(b.X, b.Y);
            },
            uint32_t(k));
    }
}

} // namespace
