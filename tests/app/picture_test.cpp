// The built-in picture: its format, its greyness, and that it shows a head slice.
#include "app/picture.h"

#include <gtest/gtest.h>

#include <set>

namespace kelvo {
namespace {

int GreyAt(const QImage& image, int x, int y) { return qRed(image.pixel(x, y)); }

TEST(BuiltInPicture, Is512By512With24BitsPerPixel) {
    const QImage image = BuiltInPicture();
    EXPECT_EQ(image.width(), 512);
    EXPECT_EQ(image.height(), 512);
    EXPECT_EQ(image.depth(), 24);
    EXPECT_EQ(image.format(), QImage::Format_RGB888);
}

TEST(BuiltInPicture, EveryPixelHasThreeEqualChannels) {
    const QImage image = BuiltInPicture();
    int coloured = 0;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* p = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x, p += 3)
            if (p[0] != p[1] || p[1] != p[2]) ++coloured;
    }
    EXPECT_EQ(coloured, 0);
}

// The embedded pixels are the ones the drawing code gives now: a stale build
// step or a drawing that depends on anything but its code would show here.
TEST(BuiltInPicture, EmbeddedPixelsAreTheComputedOnes) {
    EXPECT_EQ(BuiltInPicture(), ComputedPicture());
    EXPECT_EQ(HeadSliceGrey(), HeadSliceGrey());
}

// Dark air around a bright skull, mid-grey brain, darker ventricles: the
// landmarks a reader of the picture (and the end-to-end tests) rely on.
TEST(BuiltInPicture, ShowsAHeadSliceOnDarkAir) {
    const QImage image = BuiltInPicture();
    const struct {
        const char* where;
        int x, y, low, high;
    } landmarks[] = {
        {"air, top left", 10, 10, 0, 30},
        {"air, right of the head", 500, 256, 0, 30},
        {"skull, top", 256, 51, 200, 255},
        {"skull, left", 100, 256, 200, 255},
        {"brain, centre", 256, 300, 80, 150},
        {"left ventricle", 200, 260, 20, 75},
        {"bright lesion, upper middle", 256, 150, 130, 190},
    };
    for (const auto& l : landmarks) {
        SCOPED_TRACE(l.where);
        const int g = GreyAt(image, l.x, l.y);
        EXPECT_GE(g, l.low);
        EXPECT_LE(g, l.high);
    }
}

// Soft texture: the brain is not one flat grey, but neighbours differ little.
TEST(BuiltInPicture, BrainIsSoftlyTextured) {
    const QImage image = BuiltInPicture();
    std::set<int> levels;
    int biggestStep = 0;
    for (int x = 140; x < 180; ++x) {
        levels.insert(GreyAt(image, x, 330));
        biggestStep = std::max(biggestStep, std::abs(GreyAt(image, x + 1, 330) - GreyAt(image, x, 330)));
    }
    EXPECT_GE(levels.size(), 5u);
    EXPECT_LE(biggestStep, 6);
}

} // namespace
} // namespace kelvo
