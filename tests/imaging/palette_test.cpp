// PALETTE COLOR pictures show pydicom's palette colours, while their stored values stay
// the palette's indices; segmented tables expand as they should, and damaged ones are
// refused with a message naming the fault.
#include "imaging/dicom_module.h"
#include "imaging/loader.h"
#include "imaging/palette.h"
#include "tests/support/sample_files.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <vector>

namespace kelvo::imaging {
namespace {

// Read with the program's own data dictionary, as the program reads. The module,
// which brings it, is loaded before these tests write DICOM with DCMTK themselves.
[[maybe_unused]] const bool kReaderDictionary =
    (PreferReaderDictionary(), (void)OpenDicomModule(DicomModulePath(), QString()), true);

TEST(Palette, PicturesShowPydicomsColoursAndKeepTheirIndices) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList names = test::PaletteReferences(dir.path());
    // Four plain palettes ship with pydicom; one more has 16-bit tables, three segmented ones.
    ASSERT_GE(names.size(), 8) << "the reference script wrote no pictures";
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

// Writes a 4 × 4 PALETTE COLOR picture of the indices 0..15 with segmented tables:
// red and blue ramps of `count` 8-bit entries, and green from `items` (8- or 16-bit
// items, as `bits` says; none when `green` is false).
QString WriteSegmented(const QString& path, uint16_t bits, uint16_t count, const std::vector<uint16_t>& items,
                       bool green = true) {
    DcmFileFormat file;
    DcmDataset* ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4.5.6.8");
    ds->putAndInsertUint16(DCM_Rows, 4);
    ds->putAndInsertUint16(DCM_Columns, 4);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "PALETTE COLOR");
    ds->putAndInsertUint16(DCM_BitsAllocated, 8);
    ds->putAndInsertUint16(DCM_BitsStored, 8);
    ds->putAndInsertUint16(DCM_HighBit, 7);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    Uint8 pixels[16];
    for (Uint8 i = 0; i < 16; ++i) pixels[i] = i;
    ds->putAndInsertUint8Array(DCM_PixelData, pixels, 16);
    // 8-bit items two to a word, the first in the low byte, padded with a zero.
    const auto words = [](uint16_t itemBits, const std::vector<uint16_t>& v) {
        if (itemBits != 8) return v;
        std::vector<uint16_t> packed((v.size() + 1) / 2);
        for (size_t i = 0; i < v.size(); ++i) packed[i / 2] |= uint16_t((v[i] & 0xff) << (8 * (i % 2)));
        return packed;
    };
    const std::vector<uint16_t> ramp = words(8, {0, 1, 0, 1, uint16_t(count - 1), 255});
    const Uint16 rampDescriptor[3] = {count, 0, 8};
    const Uint16 greenDescriptor[3] = {count, 0, bits};
    ds->putAndInsertUint16Array(DCM_RedPaletteColorLookupTableDescriptor, rampDescriptor, 3);
    ds->putAndInsertUint16Array(DCM_GreenPaletteColorLookupTableDescriptor, greenDescriptor, 3);
    ds->putAndInsertUint16Array(DCM_BluePaletteColorLookupTableDescriptor, rampDescriptor, 3);
    ds->putAndInsertUint16Array(DCM_SegmentedRedPaletteColorLookupTableData, ramp.data(), unsigned(ramp.size()));
    ds->putAndInsertUint16Array(DCM_SegmentedBluePaletteColorLookupTableData, ramp.data(), unsigned(ramp.size()));
    if (green) {
        const std::vector<uint16_t> data = words(bits, items);
        ds->putAndInsertUint16Array(DCM_SegmentedGreenPaletteColorLookupTableData, data.data(), unsigned(data.size()));
    }
    EXPECT_TRUE(file.saveFile(path.toLocal8Bit().constData(), EXS_LittleEndianExplicit).good());
    return path;
}

// A chain of indirect segments (16-bit items) after an empty discrete one: segment k
// copies `copies` segments from the one `back` before it; nothing ever adds an entry.
std::vector<uint16_t> IndirectChain(int length, uint16_t copies, int back) {
    std::vector<uint16_t> items = {0, 0};
    std::vector<uint16_t> starts = {0};
    for (int k = 1; k <= length; ++k) {
        starts.push_back(uint16_t(items.size()));
        const uint16_t from = starts[size_t(std::max(0, k - back))];
        items.insert(items.end(), {2, uint16_t(k == 1 ? 1 : copies), from, 0});
    }
    return items;
}

struct SegmentedCase {
    const char* Name;
    uint16_t Bits;
    uint16_t Count;
    std::vector<uint16_t> Items;
    std::vector<uint8_t> Levels; // the green levels; empty when the file is refused
    const char* Problem = "";    // what the refusal names
    bool Green = true;
};

TEST(Palette, SegmentedTablesExpandAndDamagedOnesAreRefusedByName) {
    // clang-format off
    const SegmentedCase cases[] = {
        // Indirect segments within a copy count their offsets from the data's start;
        // an odd number of 8-bit items ends in a padding zero.
        {"nested indirect", 8, 14, {0,1,9, 0,2,1,2, 1,2,6, 2,2,3,0,0,0, 2,1,10,0,0,0, 0,1,7},
         {9, 1,2, 4,6, 1,2,4,6, 1,2,4,6, 7}},
        // 16-bit items scale to levels; a linear half (49151.5) rounds to even.
        {"16-bit", 16, 6, {0,2,0,65535, 1,2,32768, 2,1,0,0}, {0,255,191,128,0,255}},
        {"unknown type", 16, 16, {0,1,5, 3,1,5}, {}, "unknown segment type 3 at item 3"},
        {"discrete past the end", 16, 16, {0,20,1,2}, {}, "discrete segment at item 0 runs past the end"},
        {"linear cut short", 16, 16, {0,1,5, 1,15}, {}, "segment at item 3 is cut short"},
        {"indirect cut short", 8, 16, {0,1,5, 2,1,0,0}, {}, "segment at item 3 is cut short"},
        {"linear first", 16, 16, {1,16,200}, {}, "linear segment at item 0 has no entry before it"},
        {"too long", 16, 16, {0,1,5, 1,20,9}, {}, "segment at item 3 runs past the 16 entries"},
        {"too short", 16, 16, {0,1,5, 1,10,9}, {}, "11 entries where the descriptor gives 16"},
        {"indirect at itself", 16, 16, {0,1,5, 2,1,3,0, 1,14,9}, {}, "indirect segment at item 3 points at item 3"},
        {"indirect forward", 16, 16, {0,1,5, 2,1,7,0, 1,14,9}, {}, "indirect segment at item 3 points at item 7"},
        {"8-bit offset, high byte", 8, 16, {0,1,5, 2,1,0,0,1,0}, {}, "points at item 65536"},
        {"copy past itself", 16, 16, {0,1,5, 1,7,9, 2,3,0,0}, {}, "copies 3 segments, only 2 lie before it"},
        {"deep nesting", 16, 16, IndirectChain(40, 1, 1), {}, "nested more than 32 deep"},
        {"empty copies doubling", 16, 16, IndirectChain(30, 2, 2), {}, "more than 1048576 segments"},
        {"12-bit entries", 12, 16, {0,1,5, 1,15,9}, {}, "segmented green palette: 12-bit entries"},
        {"no data", 16, 16, {}, {}, "0 entries where the descriptor gives 16"},
        {"no green table", 16, 16, {}, {}, "PALETTE COLOR without a green palette", false},
    };
    // clang-format on
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const SegmentedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString path = WriteSegmented(dir.filePath(QStringLiteral("seg.dcm")), c.Bits, c.Count, c.Items, c.Green);
        if (!c.Levels.empty()) {
            const TPicture p = LoadPicture(path);
            ASSERT_NE(p.Palette, nullptr);
            EXPECT_EQ(p.Palette->Channels[1].Levels, c.Levels);
            EXPECT_EQ(p.Palette->Channels[0].Levels.size(), c.Count);
            continue;
        }
        try {
            (void)LoadPicture(path);
            ADD_FAILURE() << "loaded";
        } catch (const EImageError& e) {
            EXPECT_EQ(e.Kind(), TLoadError::Corrupt);
            EXPECT_TRUE(e.Text().startsWith(QStringLiteral("\"seg.dcm\" is damaged"))) << e.Text().toStdString();
            EXPECT_TRUE(e.Text().contains(QLatin1String(c.Problem))) << e.Text().toStdString();
        }
    }
}

} // namespace
} // namespace kelvo::imaging
