// The loader's model and its refusals: fields a viewer shows, spacing and its source,
// the window rendering, pictures through Qt, and a clear error for every bad input.
#include "imaging/dicom_module.h"
#include "imaging/loader.h"
#include "imaging/region_stats.h"
#include "imaging/slice_cache.h"
#include "tests/support/sample_files.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpath.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace kelvo::imaging {
namespace {

// Read with the program's own data dictionary, as the program reads. The module,
// which brings it, is loaded before these tests write DICOM with DCMTK themselves.
[[maybe_unused]] const bool kReaderDictionary =
    (PreferReaderDictionary(), (void)OpenDicomModule(DicomModulePath(), QString()), true);

using test::PydicomFile;

// Writes a small uncompressed DICOM file; `pixels` are the bytes of Pixel Data
// (absent when empty and `withPixels` is false); `edit` adds or changes elements.
QString WriteDicom(const QTemporaryDir& dir, const char* name, uint16_t rows, uint16_t cols,
                   const std::vector<uint16_t>& pixels, const std::function<void(DcmDataset*)>& edit = {},
                   bool withPixels = true) {
    DcmFileFormat file;
    DcmDataset* ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4.5.6.7");
    ds->putAndInsertString(DCM_Modality, "OT");
    ds->putAndInsertUint16(DCM_Rows, rows);
    ds->putAndInsertUint16(DCM_Columns, cols);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 16);
    ds->putAndInsertUint16(DCM_HighBit, 15);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    if (withPixels) {
        ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), unsigned(pixels.size()));
    }
    if (edit) {
        edit(ds);
    }
    const QString path = dir.path() + QLatin1Char('/') + QLatin1String(name);
    EXPECT_TRUE(file.saveFile(path.toLocal8Bit().constData(), EXS_LittleEndianExplicit).good());
    return path;
}

QString WriteBytes(const QTemporaryDir& dir, const char* name, const QByteArray& bytes) {
    const QString path = dir.path() + QLatin1Char('/') + QLatin1String(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

// A PNG claiming the given size whose data is one empty zlib stream.
QByteArray PngHeaderOnly(uint32_t width, uint32_t height) {
    const auto be32 = [](uint32_t v) {
        const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(bytes, 4);
    };
    const auto chunk = [&](const char* type, const QByteArray& data) {
        const QByteArray body = QByteArray(type) + data;
        uint32_t crc = 0xffffffffu;
        for (const char c : body) {
            crc ^= uint8_t(c);
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        return be32(uint32_t(data.size())) + body + be32(~crc);
    };
    return QByteArray("\x89PNG\r\n\x1a\n", 8) +
           chunk("IHDR", be32(width) + be32(height) + QByteArray("\x08\x00\x00\x00\x00", 5)) +
           chunk("IDAT", QByteArray("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) + chunk("IEND", QByteArray());
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The module's compiled-in dictionary is DCMTK's standard one, entry for entry, for the
// elements the reader looks at.
TEST(Loader, TheReadersDictionaryIsDcmtksStandardOne) {
    const std::string defaults = DCM_DICT_DEFAULT_PATH;
    DcmDataDictionary standard(OFFalse, OFFalse);
    ASSERT_TRUE(standard.loadDictionary(defaults.substr(0, defaults.find(ENVIRONMENT_PATH_SEPARATOR)).c_str()));
    DcmDataDictionary& reader = dcmDataDict.wrlock();
    std::vector<const DcmDictEntry*> entries(reader.repeatingBegin(), reader.repeatingEnd());
    for (auto it = reader.normalBegin(); it != reader.normalEnd(); ++it) entries.push_back(*it);
    for (const DcmDictEntry* e : entries) {
        // A ranged entry is compared with the standard one of the same range.
        const DcmDictEntry* s = e->isRepeating() ? nullptr : standard.findEntry(e->getKey(), e->getPrivateCreator());
        for (auto it = standard.repeatingBegin(); s == nullptr && it != standard.repeatingEnd(); ++it) {
            if ((*it)->setEQ(*e)) s = *it;
        }
        ASSERT_NE(s, nullptr) << e->getTagName();
        EXPECT_STREQ(e->getTagName(), s->getTagName());
        EXPECT_EQ(e->getVR().getEVR(), s->getVR().getEVR()) << e->getTagName();
        EXPECT_EQ(e->getVMMin(), s->getVMMin()) << e->getTagName();
        EXPECT_EQ(e->getVMMax(), s->getVMMax()) << e->getTagName();
        EXPECT_STREQ(e->getStandardVersion(), s->getStandardVersion()) << e->getTagName();
        EXPECT_TRUE(e->setEQ(*s)) << e->getTagName();
    }
    // All of the reader's entries (the skeleton that DCMTK always has is among them), a
    // fourteenth of the standard dictionary.
    EXPECT_GT(entries.size(), 300u);
    EXPECT_LT(entries.size(), size_t(standard.numberOfEntries() / 10));
    dcmDataDict.wrunlock();
    EXPECT_TRUE(dcmDataDict.isDictionaryLoaded());
}

TEST(Loader, CtSmallCarriesSpacingRescaleUnitAndIdentity) {
    const TPicture p = LoadPicture(PydicomFile("CT_small.dcm"));
    EXPECT_EQ(p.Width(), 128);
    EXPECT_EQ(p.Height(), 128);
    EXPECT_EQ(p.Frames(), 1);
    EXPECT_EQ(p.SpacingSource, TSpacingSource::PixelSpacing);
    EXPECT_NEAR(p.RowSpacing, 0.661468, 1e-6);
    EXPECT_NEAR(p.ColumnSpacing, 0.661468, 1e-6);
    EXPECT_EQ(p.Slope, 1.0);
    EXPECT_EQ(p.Intercept, -1024.0);
    EXPECT_EQ(p.Unit, QStringLiteral("HU"));
    EXPECT_EQ(p.Modality, QStringLiteral("CT"));
    EXPECT_EQ(p.PatientName, QStringLiteral("CompressedSamples^CT1"));
    EXPECT_EQ(p.StudyDate, QStringLiteral("20040119"));
    EXPECT_EQ(p.ModalityValue(0, 10, 20), double(p.Stored(0, 10, 20)) - 1024.0);
}

struct SpacingCase {
    const char* Name;
    const char* PixelSpacing;
    const char* ImagerSpacing;
    TSpacingSource Source;
    double Row, Column;
};

TEST(Loader, SpacingComesFromPixelSpacingElseImagerPixelSpacing) {
    const SpacingCase cases[] = {
        {"both", "0.5\\0.25", "0.9\\0.9", TSpacingSource::PixelSpacing, 0.5, 0.25},
        {"imager only", nullptr, "0.2\\0.4", TSpacingSource::ImagerPixelSpacing, 0.2, 0.4},
        {"none", nullptr, nullptr, TSpacingSource::None, 0.0, 0.0},
        {"zero is no spacing", "0\\0", nullptr, TSpacingSource::None, 0.0, 0.0},
        {"broken pixel spacing falls back", "abc", "0.3\\0.3", TSpacingSource::ImagerPixelSpacing, 0.3, 0.3},
    };
    QTemporaryDir dir;
    for (const SpacingCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString path = WriteDicom(dir, "s.dcm", 2, 2, {1, 2, 3, 4}, [&](DcmDataset* ds) {
            if (c.PixelSpacing != nullptr) {
                ds->putAndInsertString(DCM_PixelSpacing, c.PixelSpacing);
            }
            if (c.ImagerSpacing != nullptr) {
                ds->putAndInsertString(DCM_ImagerPixelSpacing, c.ImagerSpacing);
            }
        });
        const TPicture p = LoadPicture(path);
        EXPECT_EQ(p.SpacingSource, c.Source);
        EXPECT_DOUBLE_EQ(p.RowSpacing, c.Row);
        EXPECT_DOUBLE_EQ(p.ColumnSpacing, c.Column);
    }
}

// Enhanced multi-frame objects keep spacing, rescale and window in functional groups:
// those shared by all frames, else the first frame's.
TEST(Loader, EnhancedObjectsReadSpacingRescaleAndWindowFromTheirFunctionalGroups) {
    QTemporaryDir dir;
    for (const DcmTagKey& groups : {DCM_SharedFunctionalGroupsSequence, DCM_PerFrameFunctionalGroupsSequence}) {
        SCOPED_TRACE(groups.toString().c_str());
        const QString path = WriteDicom(dir, "enhanced.dcm", 1, 2, {0, 2048}, [&](DcmDataset* ds) {
            ds->putAndInsertString(DCM_Modality, "CT");
            DcmItem* group = nullptr;
            DcmItem* item = nullptr;
            ASSERT_TRUE(ds->findOrCreateSequenceItem(groups, group, 0).good());
            ASSERT_TRUE(group->findOrCreateSequenceItem(DCM_PixelMeasuresSequence, item, 0).good());
            item->putAndInsertString(DCM_PixelSpacing, "0.7\\0.35");
            ASSERT_TRUE(group->findOrCreateSequenceItem(DCM_PixelValueTransformationSequence, item, 0).good());
            item->putAndInsertString(DCM_RescaleIntercept, "-1024");
            item->putAndInsertString(DCM_RescaleSlope, "1");
            item->putAndInsertString(DCM_RescaleType, "HU");
            ASSERT_TRUE(group->findOrCreateSequenceItem(DCM_FrameVOILUTSequence, item, 0).good());
            item->putAndInsertString(DCM_WindowCenter, "40");
            item->putAndInsertString(DCM_WindowWidth, "400");
        });
        const TPicture p = LoadPicture(path);
        EXPECT_EQ(p.SpacingSource, TSpacingSource::PixelSpacing);
        EXPECT_DOUBLE_EQ(p.RowSpacing, 0.7);
        EXPECT_DOUBLE_EQ(p.ColumnSpacing, 0.35);
        EXPECT_DOUBLE_EQ(p.ModalityValue(0, 0, 0), -1024.0);
        EXPECT_DOUBLE_EQ(p.ModalityValue(0, 1, 0), 1024.0);
        EXPECT_EQ(p.Unit, QStringLiteral("HU"));
        ASSERT_TRUE(p.FileWindow.has_value());
        EXPECT_DOUBLE_EQ(p.FileWindow->Center, 40.0);
        EXPECT_DOUBLE_EQ(p.FileWindow->Width, 400.0);
    }
}

uint8_t GreyAt(const QImage& image, int x, int y) { return uint8_t(qRed(image.pixel(x, y))); }

// Per-frame functional groups give each frame its own rescale and window: its values,
// statistics and rendering, and the range, are as pydicom and numpy make them.
TEST(Loader, EachFrameHasItsOwnRescaleAndWindow) {
    const double intercepts[3] = {-1024, -500, 0};
    const TWindow windows[3] = {{40, 400}, {50, 500}, {751, 101}};
    std::vector<uint16_t> stored(72);
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = uint16_t((i * 37) % 1500 + 100);
    stored[2 * 24 + 6 + 1] = 751; // frame 3, (1, 1)
    QTemporaryDir dir;
    const QString path = WriteDicom(dir, "perframe.dcm", 4, 6, stored, [&](DcmDataset* ds) {
        ds->putAndInsertString(DCM_NumberOfFrames, "3");
        for (int f = 0; f < 3; ++f) {
            const QByteArray group = "PerFrameFunctionalGroupsSequence[" + QByteArray::number(f) + "].";
            for (const QByteArray& key :
                 {QByteArray("PixelValueTransformationSequence[0].RescaleSlope=1"),
                  "PixelValueTransformationSequence[0].RescaleIntercept=" + QByteArray::number(intercepts[f]),
                  "FrameVOILUTSequence[0].WindowCenter=" + QByteArray::number(windows[f].Center),
                  "FrameVOILUTSequence[0].WindowWidth=" + QByteArray::number(windows[f].Width)})
                EXPECT_TRUE(DcmPathProcessor().applyPathWithValue(ds, (group + key).constData()).good()) << key.data();
        }
    });
    const TPicture p = LoadPicture(path);
    const QStringList numpy =
        test::NumpyRegionStatistics(path, QStringLiteral("frame:0 rect:0,0;6,4 frame:2 rect:0,0;6,4").split(' '));
    ASSERT_EQ(numpy.size(), 2) << "region_reference.py failed";
    for (const int32_t frame : {0, 2}) {
        const TRegionStats s = RegionStatistics(p, frame, TRegion{TRegionKind::Rectangle, {{0, 0}, {6, 4}}});
        const double ours[5] = {double(s.Count), s.Mean, s.Sd, s.Min, s.Max};
        for (int k = 0; k < 5; ++k) EXPECT_NEAR(ours[k], numpy[frame / 2].split(' ')[k].toDouble(), 1e-9) << frame;
        EXPECT_EQ(p.DefaultWindow(frame), windows[frame]);
    }
    EXPECT_DOUBLE_EQ(p.ModalityValue(2, 1, 1), 751.0);
    // Cut out as a slice of a stack, a frame keeps its own rescale and window.
    const TPicture third = FramePicture(p, 2);
    EXPECT_DOUBLE_EQ(third.ModalityValue(0, 1, 1), 751.0);
    EXPECT_EQ(third.DefaultWindow(0), windows[2]);
    // The first frame holds the smallest value, the third the largest.
    EXPECT_DOUBLE_EQ(p.MinValue(), numpy[0].split(' ')[3].toDouble());
    EXPECT_DOUBLE_EQ(p.MaxValue(), numpy[1].split(' ')[4].toDouble());
    EXPECT_EQ(GreyAt(p.Render(2, windows[2]), 1, 1), 129); // ((751 - 750.5) / 100 + 0.5) * 255
}

// A Modality LUT Sequence stands for the rescale: its table gives the values under the
// cursor, the range and window, and the statistics; values beyond it take its ends.
TEST(Loader, AModalityTableGivesTheModalityValues) {
    QTemporaryDir dir;
    const TPicture p = LoadPicture(WriteDicom(dir, "mlut.dcm", 1, 5, {0, 1, 2, 3, 7}, [](DcmDataset* ds) {
        DcmItem* item = nullptr;
        ASSERT_TRUE(ds->findOrCreateSequenceItem(DCM_ModalityLUTSequence, item, 0).good());
        const Uint16 descriptor[3] = {4, 0, 16};
        const Uint16 table[4] = {1000, 3000, 2000, 4000};
        item->putAndInsertUint16Array(DCM_LUTDescriptor, descriptor, 3);
        item->putAndInsertUint16Array(DCM_LUTData, table, 4);
        item->putAndInsertString(DCM_ModalityLUTType, "HU");
    }));
    const double expected[5] = {1000, 3000, 2000, 4000, 4000};
    for (int x = 0; x < 5; ++x) EXPECT_EQ(p.ModalityValue(0, x, 0), expected[x]) << x;
    EXPECT_EQ(p.Unit, QStringLiteral("HU"));
    EXPECT_EQ(p.MinValue(), 1000.0);
    EXPECT_EQ(p.MaxValue(), 4000.0);
    const QImage shown = p.Render(0, p.DefaultWindow());
    EXPECT_EQ(GreyAt(shown, 0, 0), 0);
    EXPECT_GT(GreyAt(shown, 1, 0), GreyAt(shown, 2, 0));
    EXPECT_EQ(GreyAt(shown, 4, 0), 255);
    const TRegionStats s = RegionStatistics(p, 0, TRegion{TRegionKind::Rectangle, {{0, 0}, {5, 1}}});
    EXPECT_EQ(s.Count, 5);
    EXPECT_DOUBLE_EQ(s.Mean, 2800.0);
    EXPECT_EQ(s.Min, 1000.0);
    EXPECT_EQ(s.Max, 4000.0);
}

// A VOI LUT Sequence without a window is the file's way of showing its values: the
// default "window" is its table; a window set by hand is linear again.
TEST(Loader, AFilesDisplayTableIsItsDefaultWindow) {
    TPicture p = LoadPicture(QStringLiteral(KELVO_SOURCE_DIR "/fuzz/corpus/dicom/voi_lut_sequence.dcm"));
    const TWindow table = p.DefaultWindow();
    EXPECT_TRUE(table.FileTable);
    QImage shown = p.Render(0, table);
    const int expected[4] = {255, 170, 85, 0}; // the table's entries, 8 bits wide
    for (int x = 0; x < 4; ++x) EXPECT_EQ(GreyAt(shown, x, 0), expected[x]) << x;
    TWindow linear = table;
    linear.FileTable = false;
    shown = p.Render(0, linear);
    EXPECT_LT(GreyAt(shown, 0, 0), GreyAt(shown, 3, 0));
    // A window in the file comes first.
    p.FileWindow = TWindow{2, 2};
    EXPECT_FALSE(p.DefaultWindow().FileTable);
}

// Pixel Padding Value (with Pixel Padding Range Limit, a range) marks pixels that are
// no part of the picture: the range, and so the default window, leaves them out.
TEST(Loader, PaddingIsLeftOutOfTheRange) {
    QTemporaryDir dir;
    const auto padded = [](const char* limit) {
        return [limit](DcmDataset* ds) {
            ds->putAndInsertString(DCM_RescaleIntercept, "-1024");
            ds->putAndInsertUint16(DCM_PixelPaddingValue, 0);
            if (limit != nullptr) ds->putAndInsertUint16(DCM_PixelPaddingRangeLimit, uint16_t(std::atoi(limit)));
        };
    };
    const TPicture value = LoadPicture(WriteDicom(dir, "value.dcm", 1, 4, {0, 5, 1000, 3048}, padded(nullptr)));
    EXPECT_DOUBLE_EQ(value.MinValue(), -1019.0);
    EXPECT_DOUBLE_EQ(value.MaxValue(), 2024.0);
    const TPicture range = LoadPicture(WriteDicom(dir, "range.dcm", 1, 4, {0, 5, 1000, 3048}, padded("5")));
    EXPECT_DOUBLE_EQ(range.MinValue(), -24.0);
    EXPECT_EQ(range.DefaultWindow(), (TWindow{-24.0 + 2049.0 / 2.0, 2049.0}));
    // All padding: the range is what there is.
    const TPicture all = LoadPicture(WriteDicom(dir, "all.dcm", 1, 2, {0, 0}, padded(nullptr)));
    EXPECT_DOUBLE_EQ(all.MinValue(), -1024.0);
    // Written as US on signed pixels: -2000 is 63536 in its 16 bits.
    const TPicture us = LoadPicture(WriteDicom(dir, "us.dcm", 1, 3, {63536, 65486, 300}, [](DcmDataset* ds) {
        ds->putAndInsertUint16(DCM_PixelRepresentation, 1);
        ds->putAndInsertUint16(DCM_PixelPaddingValue, 63536);
    }));
    EXPECT_DOUBLE_EQ(us.MinValue(), -50.0);
}

TEST(Loader, WindowRenderingFollowsTheLinearFunctionAndInvertsMonochrome1) {
    QTemporaryDir dir;
    // Values 0, 100, 200, 300 with rescale 2x - 100 give modality -100, 100, 300, 500.
    const auto rescaled = [](DcmDataset* ds) {
        ds->putAndInsertString(DCM_RescaleSlope, "2");
        ds->putAndInsertString(DCM_RescaleIntercept, "-100");
        ds->putAndInsertString(DCM_WindowCenter, "100\\999");
        ds->putAndInsertString(DCM_WindowWidth, "401\\1");
    };
    TPicture p = LoadPicture(WriteDicom(dir, "w.dcm", 1, 4, {0, 100, 200, 300}, rescaled));
    ASSERT_TRUE(p.FileWindow.has_value());
    EXPECT_EQ(p.DefaultWindow(), (TWindow{100.0, 401.0}));
    EXPECT_EQ(p.MinValue(), -100.0);
    EXPECT_EQ(p.MaxValue(), 500.0);
    QImage image = p.Render(0, p.DefaultWindow());
    // -100 is at the lower edge, 100 at the centre, 300 at the top.
    EXPECT_EQ(GreyAt(image, 0, 0), 0);
    EXPECT_EQ(GreyAt(image, 1, 0), 128);
    EXPECT_EQ(GreyAt(image, 2, 0), 255);
    EXPECT_EQ(GreyAt(image, 3, 0), 255);

    // Without a window in the file: the full range, smallest black and largest white.
    p.FileWindow.reset();
    image = p.Render(0, p.DefaultWindow());
    EXPECT_EQ(GreyAt(image, 0, 0), 0);
    EXPECT_EQ(GreyAt(image, 3, 0), 255);
    EXPECT_GT(GreyAt(image, 1, 0), 0);
    EXPECT_LT(GreyAt(image, 2, 0), 255);

    const TPicture inverted = LoadPicture(WriteDicom(dir, "m1.dcm", 1, 4, {0, 100, 200, 300}, [&](DcmDataset* ds) {
        rescaled(ds);
        ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME1");
    }));
    image = inverted.Render(0, inverted.DefaultWindow());
    EXPECT_EQ(GreyAt(image, 0, 0), 255);
    EXPECT_EQ(GreyAt(image, 2, 0), 0);

    // The file's VOI LUT Function (PS3.3 C.11.2.1.3): 0, 50, 100, 150 through centre
    // 100 and width 100; LINEAR_EXACT also narrower than 1 (100 is at (-0.125 / 0.5 + 0.5) * 255).
    const struct {
        const char* Function;
        const char* Center;
        const char* Width;
        int Grey[4];
    } functions[] = {
        {"LINEAR_EXACT", "100", "100", {0, 0, 128, 255}},
        {"LINEAR_EXACT", "100.125", "0.5", {0, 0, 64, 255}},
        {"SIGMOID", "100", "100", {5, 30, 128, 225}}, // 255 / (1 + exp(-4 (x - 100) / 100))
    };
    for (const auto& f : functions) {
        SCOPED_TRACE(f.Function);
        const TPicture q = LoadPicture(WriteDicom(dir, "f.dcm", 1, 4, {0, 50, 100, 150}, [&](DcmDataset* ds) {
            ds->putAndInsertString(DCM_WindowCenter, f.Center);
            ds->putAndInsertString(DCM_WindowWidth, f.Width);
            ds->putAndInsertString(DCM_VOILUTFunction, f.Function);
        }));
        image = q.Render(0, q.DefaultWindow());
        for (int x = 0; x < 4; ++x) EXPECT_EQ(GreyAt(image, x, 0), f.Grey[x]) << x;
    }
}

TEST(Loader, YbrColourIsShownAsTheSameColoursAsRgb) {
    // The same picture stored as RGB and as YBR_FULL (both lossy JPEG).
    const TPicture rgb = LoadPicture(PydicomFile("SC_rgb_dcmtk_+eb+cr.dcm"));
    const TPicture ybr = LoadPicture(PydicomFile("SC_rgb_dcmtk_+eb+cy+n1.dcm"));
    ASSERT_TRUE(rgb.IsColour());
    ASSERT_EQ(ybr.Photometric, QStringLiteral("YBR_FULL"));
    const QImage a = rgb.Render(0, rgb.DefaultWindow() = TWindow{128, 256});
    const QImage b = ybr.Render(0, TWindow{128, 256});
    // Lossy coding differs at the colour edges (pydicom's own conversion differs there
    // by up to 77); on average the two agree within a few levels.
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    }
    EXPECT_LT(sum / (3.0 * a.width() * a.height()), 4.0);
    // And it is colour: the first band of this picture is red.
    EXPECT_GT(qRed(b.pixel(50, 2)), 200);
    EXPECT_LT(qGreen(b.pixel(50, 2)), 40);
}

// Signed colour samples (which no writer should make, but a damaged header may claim)
// go through the YBR conversion too: its results stay within what the samples can
// hold, here the top of signed 8-bit, and the window's table is never read beyond.
TEST(Loader, YbrOfSignedSamplesStaysWithinTheirRange) {
    TPicture p;
    p.Photometric = QStringLiteral("YBR_FULL");
    p.Allocate(1, 1, 1, 3, TSampleType::S8, 8);
    const int8_t ybr[3] = {127, -128, -128};
    std::memcpy(p.Data(), ybr, sizeof ybr);
    TPicture top;
    top.Photometric = QStringLiteral("MONOCHROME2");
    top.Allocate(1, 1, 1, 1, TSampleType::S8, 8);
    *reinterpret_cast<int8_t*>(top.Data()) = 127;
    const TWindow window{0, 256};
    EXPECT_EQ(qGreen(p.Render(0, window).pixel(0, 0)), qGreen(top.Render(0, window).pixel(0, 0)));
}

// Colour files keep their own colours: no stretch to their range, whatever window a
// colour DICOM file may name (windows are for grey pictures).
TEST(Loader, ColourPicturesShowTheirOwnColours) {
    QTemporaryDir dir;
    QImage image(2, 1, QImage::Format_RGB32);
    image.setPixel(0, 0, qRgb(100, 150, 200));
    image.setPixel(1, 0, qRgb(110, 160, 190));
    const QString png = dir.path() + QStringLiteral("/narrow.png");
    ASSERT_TRUE(image.save(png));
    const QString dcm = WriteDicom(dir, "rgb.dcm", 1, 2, {}, [](DcmDataset* ds) {
        ds->putAndInsertUint16(DCM_SamplesPerPixel, 3);
        ds->putAndInsertString(DCM_PhotometricInterpretation, "RGB");
        ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
        ds->putAndInsertUint16(DCM_BitsAllocated, 8);
        ds->putAndInsertUint16(DCM_BitsStored, 8);
        ds->putAndInsertUint16(DCM_HighBit, 7);
        ds->putAndInsertString(DCM_WindowCenter, "150");
        ds->putAndInsertString(DCM_WindowWidth, "20");
        const Uint8 bytes[6] = {100, 150, 200, 110, 160, 190};
        ds->putAndInsertUint8Array(DCM_PixelData, bytes, 6);
    });
    for (const QString& path : {png, dcm}) {
        SCOPED_TRACE(path.toStdString());
        const TPicture p = LoadPicture(path);
        const QImage shown = p.Render(0, p.DefaultWindow());
        EXPECT_EQ(shown.pixel(0, 0), qRgb(100, 150, 200));
        EXPECT_EQ(shown.pixel(1, 0), qRgb(110, 160, 190));
    }
}

TEST(Loader, MultiFrameFilesKeepEveryFrame) {
    const TPicture p = LoadPicture(PydicomFile("rtdose.dcm"));
    EXPECT_EQ(p.Frames(), 15);
    EXPECT_FALSE(p.Render(14, p.DefaultWindow()).isNull());
    EXPECT_TRUE(p.Render(15, p.DefaultWindow()).isNull());
}

// Frames after the first are read on a worker once the picture is handed out: each,
// asked for in any order, holds the file's values, even once the file is gone (bytes
// in memory load through a temporary file), and the range and a copy wait for them all.
TEST(Loader, FramesArrivingLaterHoldTheirFilesValues) {
    const uint16_t frames = 40;
    std::vector<uint16_t> stored(size_t(frames) * 64 * 64);
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = uint16_t(i / 4096 * 100 + i % 97);
    stored.back() = 60000; // the largest value, in the last frame only
    QTemporaryDir dir;
    const QString path = WriteDicom(dir, "frames.dcm", 64, 64, stored, [&](DcmDataset* ds) {
        ds->putAndInsertString(DCM_NumberOfFrames, QByteArray::number(frames).constData());
    });
    const QByteArray bytes = ReadAll(path);
    const TPicture p = LoadDicomBytes(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()),
                                      QStringLiteral("frames.dcm"));
    ASSERT_EQ(p.Frames(), frames);
    EXPECT_TRUE(p.FrameReady(0));
    for (int32_t f = frames - 1; f >= 0; --f) {
        const size_t at = size_t(f) * 4096 + 5 * 64 + 3;
        EXPECT_EQ(p.Stored(f, 3, 5), stored[at]) << f;
    }
    const TPicture copy = p;
    EXPECT_DOUBLE_EQ(p.MinValue(), 0.0);
    EXPECT_DOUBLE_EQ(p.MaxValue(), 60000.0);
    EXPECT_TRUE(p.LateError().isEmpty()) << p.LateError().toStdString();
    ASSERT_EQ(copy.DataBytes(), stored.size() * 2);
    EXPECT_EQ(std::memcmp(copy.Data(), stored.data(), copy.DataBytes()), 0);
    EXPECT_DOUBLE_EQ(copy.MaxValue(), 60000.0);
}

// Compressed frames after the first decode later into the uncompressed file's values, the
// window ending at the full range's; a broken codestream fails its frame, not those before.
TEST(Loader, CompressedFramesArriveLaterAndABrokenOneFails) {
    QTemporaryDir dir;
    std::vector<uint16_t> stored(size_t(12) * 32 * 32);
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = uint16_t(i / 1024 * 300 + i % 50);
    const QString plain = WriteDicom(dir, "plain.dcm", 32, 32, stored, [](DcmDataset* ds) {
        ds->putAndInsertString(DCM_NumberOfFrames, "12");
        ds->putAndInsertUint16(DCM_BitsStored, 12);
        ds->putAndInsertUint16(DCM_HighBit, 11);
    });
    QProcess compress; // with DCMTK's dictionary, not the empty one this program names
    compress.setEnvironment(
        QProcess::systemEnvironment().filter(QRegularExpression(QStringLiteral("^(?!DCMDICTPATH=)"))));
    for (const QString tool : {"dcmcjpls", "dcmcjpeg", "dcmcrle"}) {
        SCOPED_TRACE(tool.toStdString());
        const QString packed = dir.filePath(tool + QStringLiteral(".dcm"));
        compress.start(tool, {plain, packed});
        ASSERT_TRUE(compress.waitForFinished(60000) && compress.exitCode() == 0);
        const TPicture p = LoadPicture(packed);
        for (int32_t f = 11; f >= 0; --f) EXPECT_EQ(p.Stored(f, 7, 9), stored[size_t(f) * 1024 + 9 * 32 + 7]) << f;
        EXPECT_EQ(p.DefaultWindow(), (TWindow{3350.0 / 2.0, 3350.0}));
        QByteArray bytes = ReadAll(packed);
        qsizetype at = -1; // item 0 of the fragments is the offset table, item 8 holds frame 7
        for (int item = 0; item <= 8; ++item) at = bytes.indexOf(QByteArray("\xFE\xFF\x00\xE0", 4), at + 1);
        const TPicture q =
            LoadPicture(WriteBytes(dir, "broken.dcm", bytes.replace(at + 8, 64, QByteArray(64, '\xFF'))));
        EXPECT_FALSE(q.FrameFailed(6));
        EXPECT_TRUE(q.FrameFailed(7));
        EXPECT_FALSE(q.LateError().isEmpty());
    }
}

struct QtCase {
    const char* Name;
    QImage::Format Format;
    int32_t Samples;
    TSampleType Type;
};

TEST(Loader, CommonPicturesKeepTheirDepthAndColour) {
    const QtCase cases[] = {
        {"grey8.png", QImage::Format_Grayscale8, 1, TSampleType::U8},
        {"grey16.png", QImage::Format_Grayscale16, 1, TSampleType::U16},
        {"colour.png", QImage::Format_RGB32, 3, TSampleType::U8},
        {"colour16.png", QImage::Format_RGBX64, 3, TSampleType::U16},
        {"grey8.bmp", QImage::Format_Grayscale8, 1, TSampleType::U8},
    };
    QTemporaryDir dir;
    for (const QtCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QImage image(7, 5, c.Format);
        for (int y = 0; y < 5; ++y) {
            for (int x = 0; x < 7; ++x) {
                const int v = x * 30 + y * 10;
                image.setPixelColor(x, y, c.Samples == 1 ? QColor(v, v, v) : QColor(v, 255 - v, y * 50));
            }
        }
        const QString path = dir.path() + QLatin1Char('/') + QLatin1String(c.Name);
        ASSERT_TRUE(image.save(path));
        const QImage written(path); // what the file holds, after the format's conversions
        const TPicture p = LoadPicture(path);
        EXPECT_EQ(p.Width(), 7);
        EXPECT_EQ(p.Height(), 5);
        EXPECT_EQ(p.SamplesPerPixel(), c.Samples);
        if (QString::fromLatin1(c.Name).endsWith(QLatin1String(".png"))) {
            EXPECT_EQ(p.SampleType(), c.Type);
        }
        EXPECT_FALSE(p.HasSpacing());
        // Qt widens 8-bit channels to 16 bits by multiplying with 257.
        const int shift = p.SampleType() == TSampleType::U16 ? 1 : 257;
        const QColor expected = written.pixelColor(4, 3);
        if (c.Samples == 1) {
            EXPECT_EQ(p.Stored(0, 4, 3) * shift, expected.rgba64().red());
        } else {
            EXPECT_EQ(p.Stored(0, 4, 3, 0) * shift, expected.rgba64().red());
            EXPECT_EQ(p.Stored(0, 4, 3, 1) * shift, expected.rgba64().green());
            EXPECT_EQ(p.Stored(0, 4, 3, 2) * shift, expected.rgba64().blue());
        }
    }
}

struct BadCase {
    const char* Name;
    std::function<QString(const QTemporaryDir&)> Make;
    TLoadError Kind;
    const char* Says; // part of the message
};

std::function<QString(const QTemporaryDir&)> Corpus(const char* name) {
    return [name](const QTemporaryDir&) { return QStringLiteral(KELVO_SOURCE_DIR "/fuzz/corpus/dicom/") + name; };
}

TEST(Loader, BadInputIsRefusedWithAClearMessage) {
    const BadCase cases[] = {
        {"missing file", [](const QTemporaryDir& d) { return d.path() + QStringLiteral("/nothing.dcm"); },
         TLoadError::Unreadable, "Cannot read \"nothing.dcm\""},
        {"folder", [](const QTemporaryDir& d) { return d.path(); }, TLoadError::Unreadable, "folder"},
        {"zero bytes", [](const QTemporaryDir& d) { return WriteBytes(d, "empty.dcm", {}); }, TLoadError::EmptyFile,
         "is empty (0 bytes)"},
        {"text", [](const QTemporaryDir& d) { return WriteBytes(d, "notes.txt", "just some words\n"); },
         TLoadError::NotAPicture, "is not a picture"},
        {"RT plan", [](const QTemporaryDir&) { return PydicomFile("rtplan.dcm"); }, TLoadError::NoPixelData,
         "without pixel data (RT Plan Storage)"},
        {"structured report", [](const QTemporaryDir&) { return PydicomFile("test-SR.dcm"); }, TLoadError::NoPixelData,
         "without pixel data"},
        {"truncated MR", [](const QTemporaryDir&) { return PydicomFile("MR_truncated.dcm"); }, TLoadError::Truncated,
         "is truncated"},
        {"CT cut in half",
         [](const QTemporaryDir& d) {
             const QByteArray all = ReadAll(PydicomFile("CT_small.dcm"));
             return WriteBytes(d, "half.dcm", all.left(all.size() / 2));
         },
         TLoadError::Truncated, "is truncated"},
        {"JPEG 2000 multi-component",
         [](const QTemporaryDir& d) {
             QByteArray bytes = ReadAll(PydicomFile("JPEG2000.dcm"));
             return WriteBytes(d, "mc.dcm", bytes.replace("1.2.840.10008.1.2.4.91", "1.2.840.10008.1.2.4.93"));
         },
         TLoadError::UnsupportedSyntax, "1.2.840.10008.1.2.4.93"},
        {"60000 x 60000 header without the data",
         [](const QTemporaryDir& d) {
             return WriteDicom(d, "huge.dcm", 60000, 60000, {1, 2, 3, 4});
         },
         TLoadError::TooLarge, "60000 × 60000"},
        {"PNG header of 60000 x 60000",
         [](const QTemporaryDir& d) { return WriteBytes(d, "huge.png", PngHeaderOnly(60000, 60000)); },
         TLoadError::TooLarge, "60000 × 60000 pixels"},
        {"20000 x 20000 header with four pixels",
         [](const QTemporaryDir& d) {
             return WriteDicom(d, "big.dcm", 20000, 20000, {1, 2, 3, 4});
         },
         TLoadError::Truncated, "8 of 800000000 bytes"},
        // DCMTK reserves the declared 3 GiB before it finds the bytes missing; the
        // reservation is never touched and the file is refused.
        {"deflated data set declaring a 3 GiB element",
         [](const QTemporaryDir&) {
             return QStringLiteral(KELVO_SOURCE_DIR "/fuzz/corpus/dicom/regression-deflated-huge-length.dcm");
         },
         TLoadError::Corrupt, "is damaged"},
        // Sizes whose product wraps around 64 bits to a few bytes that the file holds.
        {"grey 32-bit size wrapping to 160 bytes", Corpus("regression-size-wraps-grey32.dcm"), TLoadError::TooLarge,
         "65384 × 44797 pixels, 1574487853 frames"},
        {"RGB size wrapping to 130808 bytes", Corpus("regression-size-wraps-rgb.dcm"), TLoadError::TooLarge,
         "65532 × 52718 pixels, 1779861133 frames"},
        {"image header without pixel data",
         [](const QTemporaryDir& d) { return WriteDicom(d, "nopix.dcm", 4, 4, {}, {}, false); },
         TLoadError::NoPixelData, "Secondary Capture"},
        {"float pixel data", Corpus("float_pixel_data.dcm"), TLoadError::UnsupportedLayout,
         "(32-bit float pixel data)"},
        // 4:2:2 pairs the pixels of a row; an odd row leaves one without its colour.
        {"YBR_FULL_422 with an odd number of columns",
         [](const QTemporaryDir& d) {
             return WriteDicom(d, "ybr422.dcm", 3, 3, {}, [](DcmDataset* ds) {
                 ds->putAndInsertUint16(DCM_SamplesPerPixel, 3);
                 ds->putAndInsertString(DCM_PhotometricInterpretation, "YBR_FULL_422");
                 ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
                 ds->putAndInsertUint16(DCM_BitsAllocated, 8);
                 ds->putAndInsertUint16(DCM_BitsStored, 8);
                 ds->putAndInsertUint16(DCM_HighBit, 7);
                 const std::vector<Uint8> bytes(18, 100);
                 ds->putAndInsertUint8Array(DCM_PixelData, bytes.data(), unsigned(bytes.size()));
             });
         },
         TLoadError::UnsupportedLayout, "odd number of columns (3)"},
        {"12 bits allocated",
         [](const QTemporaryDir& d) {
             return WriteDicom(d, "b12.dcm", 2, 2, {1, 2, 3, 4},
                               [](DcmDataset* ds) { ds->putAndInsertUint16(DCM_BitsAllocated, 12); });
         },
         TLoadError::UnsupportedLayout, "12 bits allocated"},
        {"PNG cut short",
         [](const QTemporaryDir& d) {
             QImage image(64, 64, QImage::Format_RGB32);
             image.fill(Qt::red);
             const QString full = d.path() + QStringLiteral("/full.png");
             image.save(full);
             const QByteArray all = ReadAll(full);
             return WriteBytes(d, "cut.png", all.left(60));
         },
         TLoadError::Corrupt, "cut.png"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir dir;
        const QString path = c.Make(dir);
        try {
            (void)LoadPicture(path);
            ADD_FAILURE() << "loaded";
        } catch (const EImageError& e) {
            EXPECT_EQ(int(e.Kind()), int(c.Kind)) << e.what();
            EXPECT_NE(e.Text().indexOf(QString::fromUtf8(c.Says)), -1) << e.what();
        }
    }
}

// A data set in another syntax than the meta header names is read in its own, as pydicom reads it.
TEST(Loader, ADataSetIsReadInItsOwnSyntaxWhateverTheMetaHeaderNames) {
    const TPicture p = LoadPicture(Corpus("implicit_under_explicit_meta.dcm")(QTemporaryDir()));
    EXPECT_EQ((std::vector{p.Stored(0, 0, 0), p.Stored(0, 1, 0), p.Stored(0, 2, 0)}),
              (std::vector<int64_t>{7, 300, 65535}));
}

TEST(Loader, BytesInMemoryLoadLikeTheFile) {
    const QByteArray bytes = ReadAll(PydicomFile("MR_small.dcm"));
    const TPicture a = LoadPicture(PydicomFile("MR_small.dcm"));
    const TPicture b = LoadDicomBytes(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()),
                                      QStringLiteral("MR_small.dcm"));
    ASSERT_EQ(a.DataBytes(), b.DataBytes());
    EXPECT_EQ(std::memcmp(a.Data(), b.Data(), a.DataBytes()), 0);
    // A limit below the picture's size refuses it before decoding.
    TLoadLimits small;
    small.MaxDecodedBytes = 1000;
    EXPECT_THROW((void)LoadDicomBytes(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()),
                                      QStringLiteral("MR_small.dcm"), small),
                 EImageError);
}

} // namespace
} // namespace kelvo::imaging
