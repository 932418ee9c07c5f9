// PALETTE COLOR pictures show pydicom's palette colours, while their stored values stay
// the palette's indices.
#include "imaging/loader.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace kelvo::imaging {
namespace {

// Runs the reference script into `dir`; the names of the pictures it wrote.
QStringList WriteReferences(const QString& dir) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(KELVO_SOURCE_DIR "/tests/imaging/palette_reference.py"), dir});
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    QFile manifest(dir + QStringLiteral("/manifest.txt"));
    if (!manifest.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return {};
    }
    return QString::fromUtf8(manifest.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

TEST(Palette, PicturesShowPydicomsColoursAndKeepTheirIndices) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList names = WriteReferences(dir.path());
    // Four plain palettes ship with pydicom; one more has 16-bit tables.
    ASSERT_GE(names.size(), 5) << "the reference script wrote no pictures";
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        const TPicture p = LoadPicture(dir.path() + QLatin1Char('/') + name + QStringLiteral(".dcm"));
        QFile rgbFile(dir.path() + QLatin1Char('/') + name + QStringLiteral(".rgb"));
        ASSERT_TRUE(rgbFile.open(QIODevice::ReadOnly));
        const QByteArray rgb = rgbFile.readAll();
        ASSERT_EQ(rgb.size(), qsizetype(p.Width()) * p.Height() * 3);
        // Any window: a palette picture is not windowed.
        const QImage shown = p.Render(0, TWindow{1.0, 1.0});
        ASSERT_FALSE(shown.isNull());
        int mismatches = 0;
        for (int32_t y = 0; y < p.Height(); ++y) {
            for (int32_t x = 0; x < p.Width(); ++x) {
                const int32_t i = y * p.Width() + x;
                EXPECT_EQ(p.Stored(0, x, y), i) << "the index at (" << x << "," << y << ")";
                const auto* e = reinterpret_cast<const uint8_t*>(rgb.constData()) + size_t(i) * 3;
                const QRgb c = shown.pixel(x, y);
                if ((qRed(c) != e[0] || qGreen(c) != e[1] || qBlue(c) != e[2]) && mismatches++ < 3) {
                    ADD_FAILURE() << "index " << i << ": " << qRed(c) << "," << qGreen(c) << "," << qBlue(c)
                                  << " vs pydicom " << int(e[0]) << "," << int(e[1]) << "," << int(e[2]);
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
        EXPECT_EQ(p.MinValue(), 0.0);
        // The canvas's stretched view shows the same colours, each pixel twice over.
        QImage zoomed(p.Width() * 2, p.Height() * 2, QImage::Format_RGB32);
        zoomed.fill(Qt::black);
        p.RenderZoomed(zoomed, QPoint(0, 0), zoomed.rect(), 0, TWindow{1.0, 1.0}, zoomed.size());
        for (int32_t i = 0; i < p.Width() * p.Height(); i += 7) {
            const int32_t x = i % p.Width();
            const int32_t y = i / p.Width();
            EXPECT_EQ(zoomed.pixel(2 * x + 1, 2 * y + 1), shown.pixel(x, y)) << "zoomed index " << i;
        }
    }
}

} // namespace
} // namespace kelvo::imaging
