// JPEG 2000 through the loader: codestreams that OpenJPEG's own encoder (opj_compress) or OpenJPH's
// High-Throughput one made from known values come back as those values; damaged ones are refused.
#include "imaging/dicom_module.h"
#include "imaging/loader.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QtEndian>
#include <QTemporaryDir>

#include <vector>

namespace kelvo::imaging {
namespace {

[[maybe_unused]] const bool kReaderDictionary =
    (PreferReaderDictionary(), (void)OpenDicomModule(DicomModulePath(), QString()), true);

struct Layout {
    uint16_t Columns, Rows, Samples, Bits;
    bool Signed;
    const char* Photometric;
};

// The value of sample `s` at pixel `i` of frame `f`: all of the range, signs included.
int32_t Value(const Layout& l, int f, size_t i, int s) {
    const int32_t span = 1 << l.Bits;
    const int32_t v = int32_t((i * 977 + size_t(s) * 101 + size_t(f) * 7919) % size_t(span));
    return l.Signed ? v - span / 2 : v;
}

// Frame `f` encoded by opj_compress (lossless; RCT on three components; two resolutions,
// which the smallest pictures allow) as .j2k or .jp2; grey by ojph_compress as .j2c, lossy at `qstep`, with
// the values that ojph_expand decodes from it in `expanded`.
QByteArray Encode(const QTemporaryDir& dir, const Layout& l, int f, const char* extension, const char* qstep = nullptr,
                  QByteArray* expanded = nullptr) {
    QByteArray raw;
    const size_t pixels = size_t(l.Columns) * l.Rows;
    for (int s = 0; s < l.Samples; ++s) {
        for (size_t i = 0; i < pixels; ++i) {
            const int32_t v = Value(l, f, i, s);
            raw.append(char(v & 0xff));
            if (l.Bits > 8) raw.append(char((v >> 8) & 0xff));
        }
    }
    const bool ht = QLatin1String(extension) == QLatin1String("j2c");
    const QString in = dir.filePath(QLatin1String(ht ? "in.yuv" : "in.rawl"));
    const QString out = dir.filePath(QStringLiteral("out.") + QLatin1String(extension));
    QFile file(in);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(raw) == raw.size());
    file.close();
    const QString htArguments =
        QStringLiteral("-num_decomps 2 -num_comps 1 -signed false -downsamp {1,1} -dims "
                       "{%1,%2} -bit_depth %3 -reversible %4 -qstep %5 -i %6 -o %7")
            .arg(QString::number(l.Columns), QString::number(l.Rows), QString::number(l.Bits),
                 QLatin1String(qstep ? "false" : "true"), QLatin1String(qstep ? qstep : "1"), in, out);
    QProcess opj;
    if (ht)
        opj.start(QStringLiteral("ojph_compress"), htArguments.split(QLatin1Char(' ')));
    else
        opj.start(QStringLiteral("opj_compress"), {QStringLiteral("-n"), QStringLiteral("2"), QStringLiteral("-i"), in,
                                                   QStringLiteral("-o"), out, QStringLiteral("-F"),
                                                   QStringLiteral("%1,%2,%3,%4,%5")
                                                       .arg(l.Columns)
                                                       .arg(l.Rows)
                                                       .arg(l.Samples)
                                                       .arg(l.Bits)
                                                       .arg(QLatin1Char(l.Signed ? 's' : 'u'))});
    EXPECT_TRUE(opj.waitForFinished(60000) && opj.exitCode() == 0) << opj.readAllStandardError().toStdString();
    QFile decoded(in);
    if (ht && expanded) opj.start(QStringLiteral("ojph_expand"), {QStringLiteral("-i"), out, QStringLiteral("-o"), in});
    if (ht && expanded && opj.waitForFinished(60000) && decoded.open(QIODevice::ReadOnly))
        *expanded = decoded.readAll();
    EXPECT_TRUE(!ht || !expanded || expanded->size() == raw.size()) << "ojph_expand's values";
    QFile encoded(out);
    return encoded.open(QIODevice::ReadOnly) ? encoded.readAll() : QByteArray();
}

// A JPEG 2000 DICOM file of the frames, each split into `parts` fragments.
QString WriteJ2kDicom(const QTemporaryDir& dir, const Layout& l, const std::vector<QByteArray>& frames, int parts,
                      const char* syntax = UID_JPEG2000LosslessOnlyTransferSyntax) {
    DcmFileFormat file;
    DcmDataset* ds = file.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4.5.6.7");
    ds->putAndInsertUint16(DCM_Rows, l.Rows);
    ds->putAndInsertUint16(DCM_Columns, l.Columns);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, l.Samples);
    ds->putAndInsertString(DCM_PhotometricInterpretation, l.Photometric);
    ds->putAndInsertUint16(DCM_BitsAllocated, l.Bits > 8 ? 16 : 8);
    ds->putAndInsertUint16(DCM_BitsStored, l.Bits);
    ds->putAndInsertUint16(DCM_HighBit, uint16_t(l.Bits - 1));
    ds->putAndInsertUint16(DCM_PixelRepresentation, l.Signed ? 1 : 0);
    ds->putAndInsertString(DCM_NumberOfFrames, std::to_string(frames.size()).c_str());
    auto* seq = new DcmPixelSequence(DCM_PixelSequenceTag);
    seq->insert(new DcmPixelItem(DCM_PixelItemTag));
    for (const QByteArray& frame : frames) {
        const qsizetype step = (frame.size() / parts + 1) & ~qsizetype(1);
        for (qsizetype at = 0; at < frame.size(); at += step) {
            auto* item = new DcmPixelItem(DCM_PixelItemTag);
            const QByteArray part = frame.mid(at, step);
            item->putUint8Array(reinterpret_cast<const Uint8*>(part.constData()), Uint32(part.size()));
            seq->insert(item);
        }
    }
    auto* pixels = new DcmPixelData(DCM_PixelData);
    pixels->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, seq);
    ds->insert(pixels);
    const QString path = dir.filePath(QStringLiteral("j2k.dcm"));
    // Syntaxes DCMTK does not know: named in the meta header that it made for .90.
    file.validateMetaInfo(EXS_JPEG2000LosslessOnly);
    file.getMetaInfo()->putAndInsertString(DCM_TransferSyntaxUID, syntax);
    EXPECT_TRUE(file.saveFile(path.toLocal8Bit().constData(), EXS_JPEG2000LosslessOnly, EET_ExplicitLength,
                              EGL_recalcGL, EPD_noChange, 0, 0, EWM_dontUpdateMeta)
                    .good());
    return path;
}

TEST(J2k, FramesDecodeToTheEncodedValues) {
    struct Case {
        const char* Name;
        Layout L;
        int Frames, Parts;
        const char* Extension;
        const char* Shown; // photometric as loaded
        const char *Syntax = UID_JPEG2000LosslessOnlyTransferSyntax, *QStep = nullptr;
        int Tolerance = 0; // lossy: from the source values (noise at 0.1 loses up to 38), 1 from ojph_expand's
    } const cases[] = {
        {"signed 12-bit, 3 frames, 2 fragments each", {33, 17, 1, 12, true, "MONOCHROME2"}, 3, 2, "j2k", "MONOCHROME2"},
        {"16-bit in a JP2 box", {16, 16, 1, 16, false, "MONOCHROME2"}, 1, 1, "jp2", "MONOCHROME2"},
        {"8-bit, an odd byte count, 2 frames", {7, 5, 1, 8, false, "MONOCHROME2"}, 2, 1, "j2k", "MONOCHROME2"},
        {"8-bit colour through the reversible transform", {9, 8, 3, 8, false, "YBR_RCT"}, 2, 3, "j2k", "RGB"},
        {"signed 16-bit colour, JP2", {6, 4, 3, 16, true, "YBR_RCT"}, 1, 1, "jp2", "RGB"},
        {"HT, 2 frames", {33, 17, 1, 12, false, "MONOCHROME2"}, 2, 2, "j2c", "", "1.2.840.10008.1.2.4.201"},
        {"HT RPCL 16-bit", {16, 16, 1, 16, false, "MONOCHROME2"}, 1, 1, "j2c", "", "1.2.840.10008.1.2.4.202"},
        {"HT lossy 8-bit", {40, 30, 1, 8, false, "MONOCHROME2"}, 1, 1, "j2c", "", "1.2.840.10008.1.2.4.203", "0.1", 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir dir;
        std::vector<QByteArray> frames, expanded(c.Frames);
        for (int f = 0; f < c.Frames; ++f) frames.push_back(Encode(dir, c.L, f, c.Extension, c.QStep, &expanded[f]));
        const TPicture p = LoadPicture(WriteJ2kDicom(dir, c.L, frames, c.Parts, c.Syntax));
        ASSERT_EQ(p.Frames(), c.Frames);
        ASSERT_EQ(p.SamplesPerPixel(), c.L.Samples);
        EXPECT_EQ(p.Photometric, QLatin1String(*c.Shown ? c.Shown : c.L.Photometric));
        int wrong = 0;
        for (int f = 0; f < c.Frames; ++f) {
            for (size_t i = 0; i < size_t(c.L.Columns) * c.L.Rows * c.L.Samples; ++i) {
                const int x = int(i / c.L.Samples % c.L.Columns), y = int(i / c.L.Samples / c.L.Columns);
                const int s = int(i % c.L.Samples);
                const int32_t got = p.Stored(f, x, y, s), want = Value(c.L, f, i / c.L.Samples, s);
                const char* theirs = expanded[f].constData() + i * (c.L.Bits > 8 ? 2 : 1);
                const int32_t other = expanded[f].isEmpty() ? want
                                      : c.L.Bits > 8        ? qFromLittleEndian<uint16_t>(theirs)
                                                            : uint8_t(*theirs);
                EXPECT_TRUE((std::abs(got - want) <= c.Tolerance && std::abs(got - other) <= (c.Tolerance ? 1 : 0)) ||
                            ++wrong > 3)
                    << "frame " << f << " (" << x << "," << y << ") sample " << s << ": " << got;
            }
        }
    }
}

TEST(J2k, DamagedCodestreamsAreRefusedWithTheDecodersReason) {
    const Layout l{64, 48, 1, 12, true, "MONOCHROME2"};
    QTemporaryDir dir;
    const QByteArray good = Encode(dir, l, 0, "j2k");
    const auto flipped = [&](qsizetype at, char bit) {
        QByteArray b = good;
        b[at] = char(b[at] ^ bit);
        return b;
    };
    struct Case {
        const char* Name;
        QByteArray Codestream;
        Layout Header;
        const char* Says;
        const char* Syntax = UID_JPEG2000LosslessOnlyTransferSyntax;
    } const cases[] = {
        {"cut in half", good.left(good.size() / 2), l, "JPEG 2000: "},
        {"cut after its header", good.left(200), l, "JPEG 2000: "},
        {"width flipped in SIZ", flipped(9, 0x10), l, "the codestream holds"},
        {"component count flipped in SIZ", flipped(41, 0x02), l, "JPEG 2000: "},
        {"tile length flipped in SOT", flipped(good.indexOf("\xff\x90") + 6, 0x40), l, "JPEG 2000: "},
        {"no codestream at all", QByteArray(64, '\0'), l, "no codestream"},
        {"header wants colour", good, {64, 48, 3, 12, true, "RGB"}, "the codestream holds"},
        {"header wants 8 bits", good, {64, 48, 1, 8, true, "MONOCHROME2"}, "12-bit samples in 8 bits"},
        {"HT cut in half", Encode(dir, l, 0, "j2c").chopped(300), l, "Tile part length", "1.2.840.10008.1.2.4.201"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            (void)LoadPicture(WriteJ2kDicom(dir, c.Header, {c.Codestream}, 1, c.Syntax));
            ADD_FAILURE() << "loaded";
        } catch (const EImageError& e) {
            EXPECT_EQ(e.Kind(), TLoadError::Corrupt) << e.what();
            EXPECT_NE(e.Text().indexOf(QLatin1String(c.Says)), -1) << e.what();
        }
    }
}

} // namespace
} // namespace kelvo::imaging
