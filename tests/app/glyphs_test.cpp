// Button glyphs: every one is drawn, fits its square, and no two look alike.
#include "app/glyphs.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvo {
namespace {

constexpr TGlyph kAll[] = {TGlyph::Select,    TGlyph::Annotation, TGlyph::Ruler,  TGlyph::Sector, TGlyph::PolyLine,
                           TGlyph::Rectangle, TGlyph::Ellipse,    TGlyph::Delete, TGlyph::Help,   TGlyph::Close};

int OpaquePixels(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) >= 128) ++n;
    return n;
}

TEST(Glyphs, EachIsASquareWithVisibleInkOnATransparentGround) {
    for (TGlyph g : kAll) {
        SCOPED_TRACE(static_cast<int>(g));
        const QImage image = GlyphImage(g);
        EXPECT_EQ(image.size(), QSize(kGlyphSize, kGlyphSize));
        EXPECT_TRUE(image.hasAlphaChannel());
        const int ink = OpaquePixels(image);
        EXPECT_GE(ink, 15);
        EXPECT_LE(ink, kGlyphSize * kGlyphSize * 3 / 4);
    }
}

TEST(Glyphs, NoTwoAreAlikeAndEachIsStable) {
    std::vector<QImage> images;
    for (TGlyph g : kAll) images.push_back(GlyphImage(g));
    for (size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(images[i], GlyphImage(kAll[i]));
        for (size_t j = i + 1; j < images.size(); ++j) EXPECT_NE(images[i], images[j]) << i << " " << j;
    }
}

TEST(Glyphs, IconCarriesTheGlyph) {
    const QIcon icon = GlyphIcon(TGlyph::Ruler);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixmap(kGlyphSize, kGlyphSize).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
              GlyphImage(TGlyph::Ruler));
}

} // namespace
} // namespace kelvo
