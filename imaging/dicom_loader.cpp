// DICOM files through DCMTK: parse, decompress with the registered decoders, then
// copy the stored values out in the picture's own layout.
#include "imaging/dicom_loader.h"

#include "imaging/dicom_codecs.h"
#include "imaging/palette.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcfcache.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmf.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrus.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimgle/diluptab.h>
#include <dcmtk/dcmimgle/diutils.h>
#include <dcmtk/oflog/oflog.h>

#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvo::imaging {

namespace {

// DCMTK's settings for reading, made once per process. The decoders are registered
// then and removed at exit, so that the leak checker sees DCMTK's codec objects
// released. The JPEG and JPEG-LS decoders come with the first compressed file
// (RegisterCompressedCodecs).
struct TCodecs {
    TCodecs() {
        // DCMTK logs parse problems on stderr; the loader reports them itself.
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
        // Some writers store known elements as UN; read as UN, a patient's name would
        // show as hexadecimal bytes. Those the dictionary knows read with their own VR.
        dcmEnableUnknownVRConversion.set(OFTrue);
        DcmRLEDecoderRegistration::registerCodecs();
    }
    ~TCodecs() { DcmRLEDecoderRegistration::cleanup(); }
};

void RegisterCodecs() { static TCodecs codecs; }

[[noreturn]] void Fail(TLoadError kind, const QString& name, const QString& detail = QString()) {
    throw EImageError(kind, LoadErrorText(kind, name, detail));
}

QString StringOf(DcmItem* ds, const DcmTagKey& tag) {
    OFString s;
    if (ds->findAndGetOFStringArray(tag, s).good()) {
        return QString::fromUtf8(s.c_str()).trimmed();
    }
    return QString();
}

uint16_t U16Of(DcmItem* ds, const DcmTagKey& tag, uint16_t fallback) {
    Uint16 v = 0;
    return ds->findAndGetUint16(tag, v).good() ? uint16_t(v) : fallback;
}

bool PositiveAt(DcmItem* ds, const DcmTagKey& tag, unsigned long pos, double* out) {
    Float64 v = 0;
    if (ds->findAndGetFloat64(tag, v, pos).good() && std::isfinite(v) && v > 0) {
        *out = v;
        return true;
    }
    return false;
}

// The item of functional group `macro` within `group` (an item of the shared or the
// per-frame groups) when it holds `tag`.
DcmItem* MacroHolding(DcmItem* group, const DcmTagKey& macro, const DcmTagKey& tag) {
    DcmItem* item = nullptr;
    if (group != nullptr && group->findAndGetSequenceItem(macro, item, 0).good() && item != nullptr &&
        item->tagExists(tag)) {
        return item;
    }
    return nullptr;
}

// Enhanced multi-frame objects keep spacing, rescale and window in functional group
// macros rather than at the top: `tag` is read from the top when it is there, else
// from the macro shared by all frames, else from the frame's own (`frameGroup`, its
// item of the per-frame groups).
DcmItem* HoldingFor(DcmItem* ds, DcmItem* frameGroup, const DcmTagKey& tag, const DcmTagKey& macro) {
    if (ds->tagExists(tag)) {
        return ds;
    }
    DcmItem* shared = nullptr;
    (void)ds->findAndGetSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, 0);
    if (DcmItem* item = MacroHolding(shared, macro, tag)) {
        return item;
    }
    if (DcmItem* item = MacroHolding(frameGroup, macro, tag)) {
        return item;
    }
    return ds;
}

// The first frame's item of the per-frame functional groups, if any.
DcmItem* FirstFrameGroup(DcmItem* ds) {
    DcmItem* group = nullptr;
    return ds->findAndGetSequenceItem(DCM_PerFrameFunctionalGroupsSequence, group, 0).good() ? group : nullptr;
}

// `tag` as the first frame has it (see HoldingFor).
DcmItem* Holding(DcmItem* ds, const DcmTagKey& tag, const DcmTagKey& macro) {
    return HoldingFor(ds, FirstFrameGroup(ds), tag, macro);
}

void ReadSpacing(DcmItem* top, TPicture& p) {
    DcmItem* ds = Holding(top, DCM_PixelSpacing, DCM_PixelMeasuresSequence);
    double row = 0;
    double col = 0;
    if (PositiveAt(ds, DCM_PixelSpacing, 0, &row) && PositiveAt(ds, DCM_PixelSpacing, 1, &col)) {
        p.SpacingSource = TSpacingSource::PixelSpacing;
    } else if (PositiveAt(top, DCM_ImagerPixelSpacing, 0, &row) && PositiveAt(top, DCM_ImagerPixelSpacing, 1, &col)) {
        // The detector sees the patient magnified by the beam's divergence; the factor,
        // when given, takes the spacing back to the patient.
        double factor = 0;
        if (PositiveAt(top, DCM_EstimatedRadiographicMagnificationFactor, 0, &factor)) {
            row /= factor;
            col /= factor;
            p.SpacingSource = TSpacingSource::CorrectedImagerPixelSpacing;
        } else {
            p.SpacingSource = TSpacingSource::ImagerPixelSpacing;
        }
    } else {
        return;
    }
    p.RowSpacing = row;
    p.ColumnSpacing = col;
}

void ReadIdentity(DcmItem* ds, TPicture& p) {
    p.PatientName = StringOf(ds, DCM_PatientName);
    p.StudyDate = StringOf(ds, DCM_StudyDate);
    p.Modality = StringOf(ds, DCM_Modality);
    p.SeriesDescription = StringOf(ds, DCM_SeriesDescription);
    p.SopInstanceUid = StringOf(ds, DCM_SOPInstanceUID);
    // Both are IS, which DCMTK reads as integers only.
    for (const DcmTagKey& tag : {DCM_RecommendedDisplayFrameRate, DCM_CineRate}) {
        Sint32 rate = 0;
        if (ds->findAndGetSint32(tag, rate).good() && rate > 0) {
            p.FrameRate = rate;
            break;
        }
    }
}

// The rescale and window of the frame whose per-frame groups item is `frameGroup`.
TPicture::TFrameModality ReadFrameModality(DcmItem* top, DcmItem* frameGroup) {
    TPicture::TFrameModality m;
    DcmItem* ds = HoldingFor(top, frameGroup, DCM_RescaleIntercept, DCM_PixelValueTransformationSequence);
    Float64 v = 0;
    if (ds->findAndGetFloat64(DCM_RescaleSlope, v).good() && std::isfinite(v) && v != 0) {
        m.Slope = v;
    }
    if (ds->findAndGetFloat64(DCM_RescaleIntercept, v).good() && std::isfinite(v)) {
        m.Intercept = v;
    }
    ds = HoldingFor(top, frameGroup, DCM_WindowCenter, DCM_FrameVOILUTSequence);
    Float64 c = 0;
    Float64 w = 0;
    // LINEAR_EXACT takes any width above 0; the other functions, from 1 on.
    const bool exact = StringOf(ds, DCM_VOILUTFunction) == QLatin1String("LINEAR_EXACT");
    if (ds->findAndGetFloat64(DCM_WindowCenter, c, 0).good() && ds->findAndGetFloat64(DCM_WindowWidth, w, 0).good() &&
        std::isfinite(c) && std::isfinite(w) && (exact ? w > 0.0 : w >= 1.0)) {
        m.Window = TWindow{c, w};
    }
    return m;
}

// Each frame's rescale and window, kept only where some frame differs from the first.
// The per-frame items are walked once: reaching an item by its index is a walk itself.
void ReadPerFrameModality(DcmItem* top, int32_t frames, TPicture& p) {
    DcmSequenceOfItems* groups = nullptr;
    if (top->findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, groups).bad() || groups == nullptr ||
        groups->card() < 2 || frames < 2) {
        return;
    }
    const TPicture::TFrameModality first{p.Slope, p.Intercept, p.FileWindow};
    std::vector<TPicture::TFrameModality> all;
    bool differ = false;
    for (DcmObject* o = groups->nextInContainer(nullptr); o != nullptr && all.size() < size_t(frames);
         o = groups->nextInContainer(o)) {
        all.push_back(ReadFrameModality(top, dynamic_cast<DcmItem*>(o)));
        differ = differ || !(all.back() == first);
    }
    if (differ) {
        p.FrameModality = std::move(all);
    }
}

// Every pair of the multi-valued Window Center and Width (PS3.3 C.11.2.1.2), with
// its explanation; pairs the file's function could not show are left out.
void ReadFileWindows(DcmItem* ds, TPicture& p) {
    const bool exact = StringOf(ds, DCM_VOILUTFunction) == QLatin1String("LINEAR_EXACT");
    Float64 c = 0;
    Float64 w = 0;
    for (unsigned long i = 0;
         ds->findAndGetFloat64(DCM_WindowCenter, c, i).good() && ds->findAndGetFloat64(DCM_WindowWidth, w, i).good();
         ++i) {
        if (!std::isfinite(c) || !std::isfinite(w) || !(exact ? w > 0.0 : w >= 1.0)) continue;
        OFString text;
        (void)ds->findAndGetOFString(DCM_WindowCenterWidthExplanation, text, i);
        p.FileWindows.push_back({TWindow{c, w}, QString::fromUtf8(text.c_str()).trimmed()});
    }
}

void ReadModality(DcmItem* top, int32_t frames, TPicture& p) {
    const TPicture::TFrameModality first = ReadFrameModality(top, FirstFrameGroup(top));
    ReadFileWindows(HoldingFor(top, FirstFrameGroup(top), DCM_WindowCenter, DCM_FrameVOILUTSequence), p);
    p.Slope = first.Slope;
    p.Intercept = first.Intercept;
    p.FileWindow = first.Window;
    ReadPerFrameModality(top, frames, p);
    DcmItem* ds = Holding(top, DCM_RescaleIntercept, DCM_PixelValueTransformationSequence);
    const QString type = StringOf(ds, DCM_RescaleType);
    if (!type.isEmpty() && type != QLatin1String("US")) {
        p.Unit = type;
    } else if (p.Modality == QLatin1String("CT")) {
        p.Unit = QStringLiteral("HU");
    }
    ds = Holding(top, DCM_WindowCenter, DCM_FrameVOILUTSequence);
    const QString function = StringOf(ds, DCM_VOILUTFunction);
    if (function == QLatin1String("SIGMOID")) {
        p.VoiFunction = TVoiFunction::Sigmoid;
    } else if (function == QLatin1String("LINEAR_EXACT")) {
        p.VoiFunction = TVoiFunction::LinearExact;
    }
}

// Pixel Padding Value, to Pixel Padding Range Limit when given (in either order).
void ReadPadding(DcmItem* ds, bool signedPixels, TPicture& p) {
    // US or SS, as the pixels are; a US on signed pixels (or read without its VR)
    // holds the signed value's 16 bits.
    const auto storedOf = [ds, signedPixels](const DcmTagKey& tag) -> std::optional<int64_t> {
        Sint16 s = 0;
        Uint16 u = 0;
        if (ds->findAndGetSint16(tag, s).good()) return s;
        if (ds->findAndGetUint16(tag, u).good()) return signedPixels ? int64_t(int16_t(u)) : int64_t(u);
        return std::nullopt;
    };
    if (const std::optional<int64_t> padding = storedOf(DCM_PixelPaddingValue)) {
        const int64_t limit = storedOf(DCM_PixelPaddingRangeLimit).value_or(*padding);
        p.Padding = TPicture::TPadding{std::min(*padding, limit), std::max(*padding, limit)};
    }
}

// Why the file has no picture, named by its SOP class when known ("RT Plan Storage").
QString KindOfObject(DcmItem* ds) {
    OFString uid;
    if (ds->findAndGetOFString(DCM_SOPClassUID, uid).good() && !uid.empty()) {
        const char* name = dcmFindNameOfUID(uid.c_str());
        if (name == nullptr) {
            return QString::fromLatin1(uid.c_str());
        }
        // DCMTK's keyword ("RTPlanStorage") spelt as words ("RT Plan Storage").
        QString words = QString::fromLatin1(name);
        words.replace(QRegularExpression(QStringLiteral("([a-z0-9])([A-Z])")), QStringLiteral("\\1 \\2"));
        words.replace(QRegularExpression(QStringLiteral("([A-Z])([A-Z][a-z])")), QStringLiteral("\\1 \\2"));
        return words;
    }
    return QString();
}

struct TLayout {
    uint16_t Rows = 0;
    uint16_t Columns = 0;
    uint16_t Samples = 1;
    uint16_t BitsAllocated = 0;
    uint16_t BitsStored = 0;
    uint16_t HighBit = 0;
    bool Signed = false;
    bool Planar = false;
    // Uncompressed YBR_FULL_422 holds two lumas and one chroma pair per two pixels.
    bool Subsampled = false;
    // DCMTK keeps OW data in 16-bit host-order words; 32-bit values from a
    // big-endian file then have their halves the wrong way round.
    bool SwapHalves = false;
    int32_t Frames = 1;
    uint64_t Bytes = 0; // of all frames' pixel data
    // Compressed, and decoded one frame at a time straight into the picture's layout.
    bool ByFrame = false;
};

TLayout ReadLayout(DcmItem* ds, bool encapsulated, const QString& name, const TLoadLimits& limits) {
    TLayout l;
    l.Rows = U16Of(ds, DCM_Rows, 0);
    l.Columns = U16Of(ds, DCM_Columns, 0);
    l.Samples = U16Of(ds, DCM_SamplesPerPixel, 1);
    l.BitsAllocated = U16Of(ds, DCM_BitsAllocated, 0);
    l.BitsStored = U16Of(ds, DCM_BitsStored, l.BitsAllocated);
    l.HighBit = U16Of(ds, DCM_HighBit, uint16_t(l.BitsStored == 0 ? 0 : l.BitsStored - 1));
    l.Signed = U16Of(ds, DCM_PixelRepresentation, 0) == 1;
    l.Planar = U16Of(ds, DCM_PlanarConfiguration, 0) == 1;
    Sint32 frames = 1;
    if (ds->findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1) {
        frames = 1;
    }
    l.Frames = frames;
    if (l.Rows == 0 || l.Columns == 0) {
        Fail(TLoadError::Corrupt, name, QStringLiteral("no rows or columns"));
    }
    if (l.Samples != 1 && l.Samples != 3) {
        Fail(TLoadError::UnsupportedLayout, name, QStringLiteral("%1 samples per pixel").arg(l.Samples));
    }
    if (l.BitsAllocated != 1 && l.BitsAllocated != 8 && l.BitsAllocated != 16 && l.BitsAllocated != 32) {
        Fail(TLoadError::UnsupportedLayout, name, QStringLiteral("%1 bits allocated").arg(l.BitsAllocated));
    }
    if (l.BitsStored == 0 || l.BitsStored > l.BitsAllocated || l.HighBit >= l.BitsAllocated ||
        l.HighBit + 1 < l.BitsStored) {
        Fail(TLoadError::UnsupportedLayout, name,
             QStringLiteral("bits stored %1, high bit %2 in %3 bits")
                 .arg(l.BitsStored)
                 .arg(l.HighBit)
                 .arg(l.BitsAllocated));
    }
    const std::optional<uint64_t> samples = CheckedProduct({l.Rows, l.Columns, l.Samples, uint64_t(l.Frames)});
    l.Subsampled = !encapsulated && l.Samples == 3 && l.BitsAllocated == 8 &&
                   StringOf(ds, DCM_PhotometricInterpretation) == QLatin1String("YBR_FULL_422");
    // 4:2:2 pairs the pixels of each row: an odd row would leave its last pixel
    // without colour (and its bytes short of a whole pair).
    if (l.Subsampled && l.Columns % 2 != 0) {
        Fail(TLoadError::UnsupportedLayout, name,
             QStringLiteral("YBR_FULL_422 with an odd number of columns (%1)").arg(l.Columns));
    }
    std::optional<uint64_t> bytes;
    if (!samples) {
    } else if (l.BitsAllocated == 1) {
        bytes = *samples / 8 + (*samples % 8 != 0 ? 1 : 0);
    } else if (l.Subsampled) {
        bytes = *samples / 3 * 2;
    } else {
        bytes = CheckedProduct({*samples, uint64_t(l.BitsAllocated / 8)});
    }
    // DICOM lengths are 32-bit: more than that cannot be one value, whatever the limit.
    if (!bytes || *bytes > limits.MaxDecodedBytes || *bytes >= 0xFFFFFFFFu) {
        Fail(TLoadError::TooLarge, name,
             QStringLiteral("%1 × %2 pixels, %3 frames: %4")
                 .arg(l.Columns)
                 .arg(l.Rows)
                 .arg(l.Frames)
                 .arg(bytes ? QStringLiteral("%1 MiB").arg(double(*bytes) / 1048576.0, 0, 'f', 0)
                            : QStringLiteral("more bytes than 64 bits count")));
    }
    l.Bytes = *bytes;
    return l;
}

TSampleType TypeOf(const TLayout& l) {
    if (l.BitsAllocated <= 8) {
        return l.Signed ? TSampleType::S8 : TSampleType::U8;
    }
    if (l.BitsAllocated == 16) {
        return l.Signed ? TSampleType::S16 : TSampleType::U16;
    }
    return l.Signed ? TSampleType::S32 : TSampleType::U32;
}

// One stored sample from its little-endian word: the Bits Stored bits ending at High
// Bit, sign-extended for signed pixels.
struct TSampleReader {
    explicit TSampleReader(const TLayout& l)
        : bytes(l.BitsAllocated / 8u), shift(unsigned(l.HighBit + 1 - l.BitsStored)),
          mask((uint64_t(1) << l.BitsStored) - 1), signBit(uint64_t(1) << (l.BitsStored - 1)), isSigned(l.Signed),
          swapHalves(l.SwapHalves) {}
    int64_t operator()(const uint8_t* s) const {
        uint64_t raw = 0;
        for (size_t b = 0; b < bytes; ++b) {
            raw |= uint64_t(s[b]) << (8 * b);
        }
        if (swapHalves) {
            raw = ((raw & 0xffffu) << 16) | (raw >> 16);
        }
        const uint64_t v = (raw >> shift) & mask;
        return isSigned && (v & signBit) != 0 ? int64_t(v | ~mask) : int64_t(v);
    }
    size_t bytes;
    unsigned shift;
    uint64_t mask;
    uint64_t signBit;
    bool isSigned;
    bool swapHalves;
};

// Whether samples follow one another in the element as they do in the picture, so
// that any run of them can be converted on its own.
bool IsSequential(const TLayout& l) { return l.BitsAllocated >= 8 && !l.Subsampled && !(l.Planar && l.Samples == 3); }

// Whether the element's bytes are the picture's values as they stand.
bool IsVerbatim(const TLayout& l) { return IsSequential(l) && l.BitsStored == l.BitsAllocated && !l.SwapHalves; }

// Converts the whole pixel data held at `src`, whatever its layout.
template <typename Out>
void CopyValues(const uint8_t* src, const TLayout& l, Out* dst) {
    const size_t perFrame = size_t(l.Rows) * l.Columns * l.Samples;
    if (l.BitsAllocated == 1) {
        // Packed across frames, least significant bit first.
        for (size_t i = 0; i < perFrame * size_t(l.Frames); ++i) {
            dst[i] = Out((src[i / 8] >> (i % 8)) & 1u);
        }
        return;
    }
    if (l.Subsampled) {
        // Y0 Y1 Cb Cr gives (Y0, Cb, Cr) and (Y1, Cb, Cr); rows hold whole pairs.
        const size_t pixels = perFrame / 3 * size_t(l.Frames);
        for (size_t px = 0; px < pixels; ++px) {
            const uint8_t* group = src + (px / 2) * 4;
            dst[px * 3] = Out(group[px % 2]);
            dst[px * 3 + 1] = Out(group[2]);
            dst[px * 3 + 2] = Out(group[3]);
        }
        return;
    }
    const TSampleReader read(l);
    const size_t pixels = size_t(l.Rows) * l.Columns;
    for (size_t f = 0; f < size_t(l.Frames); ++f) {
        for (size_t i = 0; i < perFrame; ++i) {
            // Colour by plane: all reds, then greens, then blues, per frame.
            size_t srcIndex = f * perFrame + i;
            if (l.Planar && l.Samples == 3) {
                srcIndex = f * perFrame + (i % 3) * pixels + i / 3;
            }
            dst[f * perFrame + i] = Out(read(src + srcIndex * read.bytes));
        }
    }
}

// Converts `count` samples that follow one another.
template <typename Out>
void ConvertRun(const uint8_t* src, size_t count, const TSampleReader& read, Out* dst) {
    for (size_t i = 0; i < count; ++i) {
        dst[i] = Out(read(src + i * read.bytes));
    }
}

// Reads `count` sequential samples from sample `first` on a slice at a time through a
// small buffer, so that the element's whole value is never held beside the picture's copy.
template <typename Out>
void CopyInSlices(DcmElement* element, const TLayout& l, size_t first, size_t count, Out* dst, DcmFileCache* cache,
                  const QString& name) {
    const TSampleReader read(l);
    const size_t slice = (size_t(1) << 20) / read.bytes;
    std::vector<uint8_t> buffer(slice * read.bytes);
    for (size_t done = 0; done < count; done += slice) {
        const size_t n = std::min(slice, count - done);
        const OFCondition c = element->getPartialValue(buffer.data(), Uint32((first + done) * read.bytes),
                                                       Uint32(n * read.bytes), cache);
        if (c.bad()) {
            Fail(TLoadError::Truncated, name, QString::fromLatin1(c.text()));
        }
        ConvertRun(buffer.data(), n, read, dst + done);
    }
}

// Fills samples [first, first + count) of a sequential layout into `values`.
template <typename Out>
void CopyRunAs(DcmElement* element, const TLayout& l, size_t first, size_t count, uint8_t* values,
               DcmFileCache* cache, const QString& name) {
    CopyInSlices(element, l, first, count, reinterpret_cast<Out*>(values), cache, name);
}

// Fills samples [first, first + count) of a sequential layout, the picture's values
// of type `type` from `values` on.
void CopyRun(DcmElement* element, const TLayout& l, TSampleType type, size_t first, size_t count, uint8_t* values,
             DcmFileCache* cache, const QString& name) {
    if (IsVerbatim(l)) {
        // Straight from the file (or the decoder's buffer) into the picture.
        const size_t bytes = l.BitsAllocated / 8u;
        const OFCondition c = element->getPartialValue(values, Uint32(first * bytes), Uint32(count * bytes), cache);
        if (c.bad()) {
            Fail(TLoadError::Truncated, name, QString::fromLatin1(c.text()));
        }
        return;
    }
    switch (type) {
    case TSampleType::U8:
        CopyRunAs<uint8_t>(element, l, first, count, values, cache, name);
        break;
    case TSampleType::S8:
        CopyRunAs<int8_t>(element, l, first, count, values, cache, name);
        break;
    case TSampleType::U16:
        CopyRunAs<uint16_t>(element, l, first, count, values, cache, name);
        break;
    case TSampleType::S16:
        CopyRunAs<int16_t>(element, l, first, count, values, cache, name);
        break;
    case TSampleType::U32:
        CopyRunAs<uint32_t>(element, l, first, count, values, cache, name);
        break;
    case TSampleType::S32:
        CopyRunAs<int32_t>(element, l, first, count, values, cache, name);
        break;
    }
}

template <typename Out>
void CopyWholeAs(DcmElement* element, const TLayout& l, Out* dst, const QString& name) {
    Uint8* bytes = nullptr;
    const OFCondition c = element->getUint8Array(bytes);
    if (c.bad() || bytes == nullptr) {
        Fail(TLoadError::Truncated, name, QString::fromLatin1(c.text()));
    }
    CopyValues(bytes, l, dst);
}

// Fills the allocated picture with the element's values.
void CopyPixels(DcmElement* element, const TLayout& l, TPicture& p, const QString& name) {
    if (IsSequential(l)) {
        CopyRun(element, l, p.SampleType(), 0, p.SamplesPerFrame() * size_t(p.Frames()), p.Data(), nullptr, name);
        return;
    }
    switch (p.SampleType()) {
    case TSampleType::U8:
        CopyWholeAs(element, l, p.Data(), name);
        break;
    case TSampleType::S8:
        CopyWholeAs(element, l, reinterpret_cast<int8_t*>(p.Data()), name);
        break;
    case TSampleType::U16:
        CopyWholeAs(element, l, reinterpret_cast<uint16_t*>(p.Data()), name);
        break;
    case TSampleType::S16:
        CopyWholeAs(element, l, reinterpret_cast<int16_t*>(p.Data()), name);
        break;
    case TSampleType::U32:
        CopyWholeAs(element, l, reinterpret_cast<uint32_t*>(p.Data()), name);
        break;
    case TSampleType::S32:
        CopyWholeAs(element, l, reinterpret_cast<int32_t*>(p.Data()), name);
        break;
    }
}

// Display levels 0..255 of table entries `bits` wide, rounded, so that 16-bit tables
// keep their 8-bit levels exactly (0x8080 is 128).
uint8_t LevelOf(uint32_t entry, unsigned bits) {
    const double top = double(DicomImageClass::maxval(int(bits)));
    return uint8_t(std::min(255.0, std::floor(double(entry) * 255.0 / top + 0.5)));
}

// A lookup table (descriptor and data) through DCMTK's, which reads the descriptor's
// quirks (0 entries meaning 65536, 8-bit entries packed in words, a bit count the data
// contradicts); empty when DCMTK finds the table unusable.
struct TTableEntries {
    int64_t First = 0; // the stored value that maps to Entries[0]
    unsigned Bits = 0;
    std::vector<uint16_t> Entries;
};

std::optional<TTableEntries> ReadTable(DcmItem* ds, const DcmTagKey& descriptorTag, const DcmTagKey& dataTag,
                                       bool signedPixels) {
    const Uint16* values = nullptr;
    unsigned long count = 0;
    const Uint16* descriptorValues = nullptr;
    unsigned long descriptorCount = 0;
    if (ds->findAndGetUint16Array(dataTag, values, &count).bad() || values == nullptr || count == 0 ||
        ds->findAndGetUint16Array(descriptorTag, descriptorValues, &descriptorCount).bad() || descriptorCount != 3) {
        return std::nullopt;
    }
    DcmUnsignedShort data(dataTag);
    DcmUnsignedShort descriptor(descriptorTag);
    if (data.putUint16Array(values, count).bad() || descriptor.putUint16Array(descriptorValues, 3).bad()) {
        return std::nullopt;
    }
    EI_Status status = EIS_Normal;
    const DiLookupTable lut(data, descriptor, nullptr, ELM_CheckValue, -1, &status);
    const Uint16* entries = lut.getData();
    if (!lut.isValid() || lut.getCount() == 0 || lut.getBits() == 0 || entries == nullptr) {
        return std::nullopt;
    }
    TTableEntries table;
    table.First = signedPixels ? int64_t(lut.getFirstEntry(Sint32(0))) : int64_t(lut.getFirstEntry(Uint32(0)));
    table.Bits = lut.getBits();
    table.Entries.assign(entries, entries + lut.getCount());
    return table;
}

// A table's entries as display levels.
std::vector<uint8_t> LevelsOf(const TTableEntries& table) {
    std::vector<uint8_t> levels;
    levels.reserve(table.Entries.size());
    for (const uint16_t entry : table.Entries) {
        levels.push_back(LevelOf(entry, table.Bits));
    }
    return levels;
}

// One channel of the palette: its table's entries as display levels.
std::optional<TPaletteChannel> ReadPaletteChannel(DcmItem* ds, const DcmTagKey& descriptorTag, const DcmTagKey& dataTag,
                                                  bool signedPixels) {
    const std::optional<TTableEntries> table = ReadTable(ds, descriptorTag, dataTag, signedPixels);
    if (!table) {
        return std::nullopt;
    }
    return TPaletteChannel{table->First, LevelsOf(*table)};
}

// The first table of a sequence of lookup tables (Modality or VOI LUT), and the item
// holding it; empty without one DCMTK can use.
std::optional<TTableEntries> FirstTableIn(DcmItem* ds, const DcmTagKey& sequence, bool signedValues, DcmItem** holder) {
    DcmItem* item = nullptr;
    if (ds->findAndGetSequenceItem(sequence, item, 0).bad() || item == nullptr) {
        return std::nullopt;
    }
    *holder = item;
    return ReadTable(item, DCM_LUTDescriptor, DCM_LUTData, signedValues);
}

// A Modality LUT Sequence (0028,3000), which a file gives instead of a rescale: its
// first table maps stored values to modality values, and its type, unless unspecified
// ("US"), is their unit.
void ReadModalityLut(DcmItem* ds, bool signedPixels, TPicture& p) {
    DcmItem* item = nullptr;
    const std::optional<TTableEntries> table = ds->tagExists(DCM_RescaleIntercept)
                                                   ? std::nullopt
                                                   : FirstTableIn(ds, DCM_ModalityLUTSequence, signedPixels, &item);
    if (!table) {
        return;
    }
    auto lut = std::make_shared<TPicture::TModalityLut>();
    lut->First = table->First;
    lut->Values.assign(table->Entries.begin(), table->Entries.end());
    p.ModalityLut = std::move(lut);
    const QString type = StringOf(item, DCM_ModalityLUTType);
    if (!type.isEmpty() && type != QLatin1String("US")) {
        p.Unit = type;
    }
}

// A VOI LUT Sequence (0028,3010): its first table shows the picture when the file
// gives no window. Its first mapped value is a modality value, signed when those can be.
void ReadDisplayTable(DcmItem* ds, bool signedValues, TPicture& p) {
    DcmItem* item = nullptr;
    if (const std::optional<TTableEntries> table = FirstTableIn(ds, DCM_VOILUTSequence, signedValues, &item)) {
        p.DisplayTable =
            std::make_shared<TPicture::TDisplayTable>(TPicture::TDisplayTable{table->First, LevelsOf(*table)});
    }
}

// Value `pos` of a descriptor, whether the file gives it as US or SS.
std::optional<uint16_t> DescriptorValue(DcmItem* ds, const DcmTagKey& tag, unsigned long pos) {
    DcmElement* element = nullptr;
    if (ds->findAndGetElement(tag, element).bad() || element == nullptr || element->getVM() != 3) {
        return std::nullopt;
    }
    Uint16 u = 0;
    if (element->getUint16(u, pos).good()) {
        return uint16_t(u);
    }
    Sint16 s = 0;
    if (element->getSint16(s, pos).good()) {
        return uint16_t(s);
    }
    return std::nullopt;
}

// One channel from segmented table data; a damaged table is a load error naming what
// is wrong with it.
TPaletteChannel ReadSegmentedChannel(DcmItem* ds, const DcmTagKey& descriptorTag, const DcmTagKey& dataTag,
                                     bool signedPixels, const QString& colour, const QString& name) {
    const QString what = QStringLiteral("segmented %1 palette: ").arg(colour);
    const std::optional<uint16_t> entries = DescriptorValue(ds, descriptorTag, 0);
    const std::optional<uint16_t> first = DescriptorValue(ds, descriptorTag, 1);
    const std::optional<uint16_t> bits = DescriptorValue(ds, descriptorTag, 2);
    if (!entries || !first || !bits) {
        Fail(TLoadError::Corrupt, name, what + QStringLiteral("no descriptor of three values"));
    }
    if (*bits != 8 && *bits != 16) {
        Fail(TLoadError::Corrupt, name, what + QStringLiteral("%1-bit entries").arg(*bits));
    }
    const Uint16* words = nullptr;
    unsigned long wordCount = 0;
    if (ds->findAndGetUint16Array(dataTag, words, &wordCount).bad() || (words == nullptr && wordCount != 0)) {
        Fail(TLoadError::Corrupt, name, what + QStringLiteral("the data are not 16-bit words"));
    }
    // 8-bit items fill a word each two, the first in its low byte.
    const bool eightBit = *bits == 8;
    std::vector<uint16_t> items;
    items.reserve(eightBit ? wordCount * 2 : wordCount);
    for (unsigned long i = 0; i < wordCount; ++i) {
        if (eightBit) {
            items.push_back(uint16_t(words[i] & 0xffu));
            items.push_back(uint16_t(words[i] >> 8));
        } else {
            items.push_back(words[i]);
        }
    }
    const size_t count = *entries == 0 ? 65536 : *entries;
    QString problem;
    const std::optional<std::vector<uint16_t>> table = ExpandSegmentedTable(items, eightBit, count, &problem);
    if (!table) {
        Fail(TLoadError::Corrupt, name, what + problem);
    }
    TPaletteChannel channel;
    channel.First = signedPixels ? int64_t(int16_t(*first)) : int64_t(*first);
    channel.Levels.reserve(table->size());
    for (const uint16_t entry : *table) {
        channel.Levels.push_back(LevelOf(entry, *bits));
    }
    return channel;
}

// The red, green and blue tables of a PALETTE COLOR picture, plain or segmented. A
// palette picture without its tables cannot be shown as it is meant: that is a load
// error, not a picture in grey.
std::shared_ptr<const TPalette> ReadPalette(DcmItem* ds, bool signedPixels, const QString& name) {
    const DcmTagKey descriptors[3] = {DCM_RedPaletteColorLookupTableDescriptor,
                                      DCM_GreenPaletteColorLookupTableDescriptor,
                                      DCM_BluePaletteColorLookupTableDescriptor};
    const DcmTagKey data[3] = {DCM_RedPaletteColorLookupTableData, DCM_GreenPaletteColorLookupTableData,
                               DCM_BluePaletteColorLookupTableData};
    const DcmTagKey segmented[3] = {DCM_SegmentedRedPaletteColorLookupTableData,
                                    DCM_SegmentedGreenPaletteColorLookupTableData,
                                    DCM_SegmentedBluePaletteColorLookupTableData};
    const QString colours[3] = {QStringLiteral("red"), QStringLiteral("green"), QStringLiteral("blue")};
    auto palette = std::make_shared<TPalette>();
    for (size_t k = 0; k < 3; ++k) {
        if (ds->tagExists(data[k])) {
            std::optional<TPaletteChannel> channel = ReadPaletteChannel(ds, descriptors[k], data[k], signedPixels);
            if (!channel) {
                Fail(TLoadError::Corrupt, name,
                     QStringLiteral("the %1 palette does not match its descriptor").arg(colours[k]));
            }
            palette->Channels[k] = std::move(*channel);
        } else if (ds->tagExists(segmented[k])) {
            palette->Channels[k] =
                ReadSegmentedChannel(ds, descriptors[k], segmented[k], signedPixels, colours[k], name);
        } else {
            Fail(TLoadError::Corrupt, name, QStringLiteral("PALETTE COLOR without a %1 palette").arg(colours[k]));
        }
    }
    return palette;
}

// Refuses a compression no registered decoder reads.
void RequireDecoder(const DcmXfer& xferInfo, const QString& name) {
    RegisterCompressedCodecs(name);
    if (!DcmCodecList::canChangeCoding(xferInfo.getXfer(), EXS_LittleEndianExplicit)) {
        Fail(TLoadError::UnsupportedSyntax, name,
             QStringLiteral("%1, %2").arg(QString::fromLatin1(xferInfo.getXferName()),
                                          QString::fromLatin1(xferInfo.getXferID())));
    }
}

// Whether the frames of a compressed picture can be decoded one at a time into the
// layout its header gives, so that the first is shown before the rest are decoded:
// grey or palette samples of whole bytes, where a decoded frame is the size that
// layout gives (colour decoders may change planes and photometric as they go).
bool DecodesByFrame(DcmDataset* ds, const TLayout& l) {
    DcmElement* element = nullptr;
    Uint32 frameBytes = 0;
    return l.Frames > 1 && l.Samples == 1 && l.BitsAllocated >= 8 &&
           ds->findAndGetElement(DCM_PixelData, element).good() && dynamic_cast<DcmPixelData*>(element) != nullptr &&
           element->getUncompressedFrameSize(ds, frameBytes).good() && frameBytes == l.Bytes / uint64_t(l.Frames);
}

// Decodes a compressed picture in place and returns its layout as decoded; the
// compressed fragments are dropped once the decoded values exist.
TLayout Decompress(DcmDataset* ds, const DcmXfer& xferInfo, const QString& name, const TLoadLimits& limits) {
    RequireDecoder(xferInfo, name);
    const OFCondition c = ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
    if (c.bad() || !ds->canWriteXfer(EXS_LittleEndianExplicit)) {
        Fail(TLoadError::Corrupt, name, QString::fromLatin1(c.text()));
    }
    DcmElement* element = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, element).good()) {
        if (auto* pixels = dynamic_cast<DcmPixelData*>(element)) {
            pixels->removeAllButCurrentRepresentations();
        }
    }
    // Decoders may rewrite the layout (planar configuration, photometric).
    return ReadLayout(ds, true, name, limits);
}

// The layout of a data set that must hold a picture, decoded first when compressed;
// refuses objects without pixel data and layouts that cannot be shown.
TLayout PictureLayout(DcmDataset* ds, const QString& name, const TLoadLimits& limits) {
    if (!ds->tagExists(DCM_PixelData)) {
        // Float values (parametric maps, say) are a picture, but not one of whole
        // numbers that a window or the statistics here are made for.
        if (ds->tagExists(DCM_FloatPixelData)) {
            Fail(TLoadError::UnsupportedLayout, name, QStringLiteral("32-bit float pixel data"));
        }
        if (ds->tagExists(DCM_DoubleFloatPixelData)) {
            Fail(TLoadError::UnsupportedLayout, name, QStringLiteral("64-bit float pixel data"));
        }
        if (!ds->tagExists(DCM_SOPClassUID) && !ds->tagExists(DCM_Rows)) {
            Fail(TLoadError::NotAPicture, name);
        }
        Fail(TLoadError::NoPixelData, name, KindOfObject(ds));
    }
    // Checked before anything is decoded: the header alone must not make us allocate.
    const DcmXfer xferInfo(ds->getOriginalXfer());
    TLayout layout = ReadLayout(ds, xferInfo.isEncapsulated(), name, limits);
    const QString photometric = StringOf(ds, DCM_PhotometricInterpretation);
    if (layout.Samples == 1 && !photometric.startsWith(QLatin1String("MONOCHROME")) &&
        photometric != QLatin1String("PALETTE COLOR") && !photometric.isEmpty()) {
        Fail(TLoadError::UnsupportedLayout, name, photometric);
    }
    if (xferInfo.isEncapsulated()) {
        RequireDecoder(xferInfo, name);
        layout.ByFrame = DecodesByFrame(ds, layout);
        if (!layout.ByFrame) layout = Decompress(ds, xferInfo, name, limits);
    }
    layout.SwapHalves = layout.BitsAllocated == 32 && xferInfo.getXfer() == EXS_BigEndianExplicit;
    return layout;
}

// The pixel data element, checked to hold at least the layout's bytes.
DcmElement* PixelElement(DcmDataset* ds, const TLayout& layout, uint64_t fileBytes, const QString& name) {
    DcmElement* element = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, element).bad() || element == nullptr) {
        Fail(TLoadError::NoPixelData, name, KindOfObject(ds));
    }
    // A value longer than the file cannot be there (unless the file is compressed as a
    // whole); reading it would allocate its declared length first.
    const E_TransferSyntax xfer = ds->getOriginalXfer();
    const bool packed = DcmXfer(xfer).isEncapsulated() || xfer == EXS_DeflatedLittleEndianExplicit;
    if ((!layout.ByFrame && uint64_t(element->getLength()) < layout.Bytes) ||
        (!packed && uint64_t(element->getLength()) > fileBytes)) {
        Fail(TLoadError::Truncated, name,
             QStringLiteral("%1 of %2 bytes").arg(element->getLength()).arg(qulonglong(layout.Bytes)));
    }
    return element;
}

// The picture's description from the data set, before its values are in.
TPicture Describe(DcmDataset* ds, const TLayout& layout, const QString& name) {
    TPicture p;
    p.Format = QStringLiteral("DICOM");
    p.Photometric = StringOf(ds, DCM_PhotometricInterpretation);
    ReadSpacing(ds, p);
    ReadIdentity(ds, p);
    ReadModality(ds, layout.Frames, p);
    ReadModalityLut(ds, layout.Signed, p);
    const bool negative =
        std::any_of(p.FrameModality.begin(), p.FrameModality.end(),
                    [](const TPicture::TFrameModality& m) { return m.Intercept < 0.0 || m.Slope < 0.0; });
    ReadDisplayTable(ds, layout.Signed || p.Intercept < 0.0 || p.Slope < 0.0 || negative, p);
    ReadPadding(ds, layout.Signed, p);
    if (layout.Samples == 1 && p.Photometric == QLatin1String("PALETTE COLOR")) {
        p.Palette = ReadPalette(ds, layout.Signed, name);
    }
    return p;
}

// The file as it was opened, kept open for as long as frames are read from it: DCMTK
// reads large values when asked, by name, and the name the loader was given may go
// (a link made for the loading alone, a temporary file).
class TOpenFile {
public:
    explicit TOpenFile(const QByteArray& path) : fd_(::open(path.constData(), O_RDONLY | O_CLOEXEC)) {}
    ~TOpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    TOpenFile(const TOpenFile&) = delete;
    TOpenFile& operator=(const TOpenFile&) = delete;
    // A name for the open file that lasts as long as this object.
    QByteArray Name(const QByteArray& fallback) const {
        return fd_ >= 0 ? QByteArray("/proc/self/fd/") + QByteArray::number(fd_) : fallback;
    }

private:
    int fd_;
};

// What reading frames after the first needs, shared by the worker's fill.
struct TFrameReader {
    std::shared_ptr<TOpenFile> Opened;
    std::unique_ptr<DcmFileFormat> File;
    DcmElement* Element = nullptr;
    TLayout Layout;
    TSampleType Type = TSampleType::U8;
    size_t PerFrame = 0;
    DcmFileCache Cache;
    QString Name;
    // Compressed frames: where the frame after the last decoded one starts, so that
    // frames in order find their fragments without a search; a frame's decoded bytes
    // where they need converting.
    int32_t NextFrame = 0;
    Uint32 NextFragment = 0;
    std::vector<uint8_t> Decoded;
};

// Converts one decoded frame (`one`: the layout of a single frame) into the picture's values.
void ConvertFrame(const uint8_t* src, const TLayout& one, TSampleType type, uint8_t* values) {
    switch (type) {
    case TSampleType::U8:
        CopyValues(src, one, values);
        break;
    case TSampleType::S8:
        CopyValues(src, one, reinterpret_cast<int8_t*>(values));
        break;
    case TSampleType::U16:
        CopyValues(src, one, reinterpret_cast<uint16_t*>(values));
        break;
    case TSampleType::S16:
        CopyValues(src, one, reinterpret_cast<int16_t*>(values));
        break;
    case TSampleType::U32:
        CopyValues(src, one, reinterpret_cast<uint32_t*>(values));
        break;
    case TSampleType::S32:
        CopyValues(src, one, reinterpret_cast<int32_t*>(values));
        break;
    }
}

// Decodes one compressed frame into the picture's values. A codestream that does not
// decode is the file's fault (Corrupt), named with the decoder's reason.
void DecodeFrame(TFrameReader& r, int32_t frame, uint8_t* values) {
    const size_t bytes = r.PerFrame * (r.Layout.BitsAllocated / 8u);
    // The decoders write whole 16-bit words: an odd frame gets a pad byte.
    const bool direct = IsVerbatim(r.Layout) && bytes % 2 == 0;
    if (!direct) r.Decoded.resize(bytes + bytes % 2);
    uint8_t* out = direct ? values : r.Decoded.data();
    Uint32 fragment = frame == r.NextFrame ? r.NextFragment : 0;
    OFString colourModel;
    const OFCondition c = static_cast<DcmPixelData*>(r.Element)->getUncompressedFrame(
        r.File->getDataset(), Uint32(frame), fragment, out, Uint32(bytes + bytes % 2), colourModel, &r.Cache);
    if (c.bad()) {
        Fail(TLoadError::Corrupt, r.Name,
             QStringLiteral("frame %1: %2").arg(frame + 1).arg(QString::fromLatin1(c.text())));
    }
    r.NextFrame = frame + 1;
    r.NextFragment = fragment;
    if (!direct) {
        TLayout one = r.Layout;
        one.Frames = 1;
        ConvertFrame(out, one, r.Type, values);
    }
}

TPicture FromDataset(std::unique_ptr<DcmFileFormat> file, std::shared_ptr<TOpenFile> opened, uint64_t fileBytes,
                     const QString& name, const TLoadLimits& limits) {
    DcmDataset* ds = file->getDataset();
    // Text fields come out as UTF-8 whatever the file's character set; a set that
    // cannot be converted leaves them as they are.
    (void)ds->convertToUTF8();
    const bool encapsulated = DcmXfer(ds->getOriginalXfer()).isEncapsulated();
    const TLayout layout = PictureLayout(ds, name, limits);
    DcmElement* element = PixelElement(ds, layout, fileBytes, name);
    TPicture p = Describe(ds, layout, name);
    p.Allocate(layout.Columns, layout.Rows, layout.Frames, layout.Samples, TypeOf(layout), layout.BitsStored);
    if (layout.Frames > 1 && (layout.ByFrame || (!encapsulated && IsSequential(layout)))) {
        // Frames read one by one: the first now, so that it can be shown; the others
        // on a worker, each straight from the file (or its decoder) into its place.
        auto reader = std::make_shared<TFrameReader>();
        reader->Opened = std::move(opened);
        reader->File = std::move(file);
        reader->Element = element;
        reader->Layout = layout;
        reader->Type = p.SampleType();
        reader->PerFrame = p.SamplesPerFrame();
        reader->Name = name;
        const auto fill = [reader](int32_t frame, uint8_t* values) {
            if (reader->Layout.ByFrame) {
                DecodeFrame(*reader, frame, values);
                return;
            }
            CopyRun(reader->Element, reader->Layout, reader->Type, size_t(frame) * reader->PerFrame,
                    reader->PerFrame, values, &reader->Cache, reader->Name);
        };
        fill(0, p.Data());
        p.FillLater(1, fill);
        return p;
    }
    CopyPixels(element, layout, p, name);
    // The values are out: DCMTK's copy (decoded, or read whole) goes before the scan.
    delete ds->remove(element);
    p.ComputeRange();
    return p;
}

// What a failed parse means for the user: a file that breaks off in its pixel data
// is truncated; one where nothing DICOM-like was found is not a picture.
[[noreturn]] void FailParse(DcmFileFormat& file, const OFCondition& c, const QString& name) {
    DcmDataset* ds = file.getDataset();
    if (ds != nullptr && ds->tagExists(DCM_PixelData)) {
        Fail(TLoadError::Truncated, name, QString::fromLatin1(c.text()));
    }
    DcmMetaInfo* meta = file.getMetaInfo();
    if ((ds != nullptr && ds->tagExists(DCM_SOPClassUID)) ||
        (meta != nullptr && meta->tagExists(DCM_TransferSyntaxUID))) {
        Fail(TLoadError::Corrupt, name, QString::fromLatin1(c.text()));
    }
    Fail(TLoadError::NotAPicture, name);
}

// Reads the meta header, then the data set in `dataSet` or, given EXS_Unknown, in the
// syntax that its first bytes show, whatever the meta header names. Some writers name
// explicit VR and write implicit.
// (DCMTK's process-wide switch for this would also second-guess the files that are
// right, and would change the parse of other threads.)
OFCondition LoadInSyntax(DcmFileFormat& file, const char* path, E_TransferSyntax dataSet) {
    DcmInputFileStream stream(path);
    if (!stream.good()) {
        return stream.status();
    }
    for (DcmItem* part : {static_cast<DcmItem*>(file.getMetaInfo()), static_cast<DcmItem*>(file.getDataset())}) {
        if (part == nullptr) {
            return EC_IllegalCall;
        }
        part->transferInit();
        const E_TransferSyntax syntax = part == file.getDataset() ? dataSet : EXS_Unknown;
        const OFCondition c = part->read(stream, syntax, EGL_noChange, DCM_MaxReadLength);
        part->transferEnd();
        if (c.bad()) {
            return c;
        }
    }
    return EC_Normal;
}

// The transfer syntax UID that the meta header names, or empty.
OFString MetaSyntax(DcmFileFormat& file) {
    OFString uid;
    DcmMetaInfo* meta = file.getMetaInfo();
    if (meta == nullptr || meta->findAndGetOFString(DCM_TransferSyntaxUID, uid).bad()) {
        return OFString();
    }
    return uid;
}

// The JPEG 2000 syntax that reads a High-Throughput JPEG 2000 file, or EXS_Unknown for
// other files. HT files are encoded as the older JPEG 2000 ones (explicit VR little
// endian, a codestream's fragments per frame) and OpenJPEG decodes HT codestreams, but
// DCMTK does not know their UIDs: unknown, it would guess the data set's encoding and
// take the fragments for plain values.
E_TransferSyntax HighThroughputReadAs(DcmFileFormat& file) {
    const OFString uid = MetaSyntax(file);
    if (uid == "1.2.840.10008.1.2.4.201" || uid == "1.2.840.10008.1.2.4.202") {
        return EXS_JPEG2000LosslessOnly;
    }
    return uid == "1.2.840.10008.1.2.4.203" ? EXS_JPEG2000 : EXS_Unknown;
}

// Whether the meta header names an uncompressed syntax whose data set could be in
// another one.
bool NamesPlainSyntax(DcmFileFormat& file) {
    const OFString uid = MetaSyntax(file);
    if (uid.empty()) {
        return false;
    }
    const DcmXfer xfer(uid.c_str());
    return xfer.getXfer() != EXS_Unknown && !xfer.isEncapsulated() &&
           xfer.getXfer() != EXS_DeflatedLittleEndianExplicit;
}

} // namespace

TPicture LoadDicomFile(const QString& path, const QString& name, const TLoadLimits& limits) {
    RegisterCodecs();
    const QByteArray local = path.toLocal8Bit();
    auto opened = std::make_shared<TOpenFile>(local);
    const QByteArray reading = opened->Name(local);
    auto file = std::make_unique<DcmFileFormat>();
    OFCondition c = file->loadFile(OFFilename(reading.constData()));
    // Read again once the meta header has named the syntax (large values are not read yet).
    if (const E_TransferSyntax readAs = HighThroughputReadAs(*file); readAs != EXS_Unknown) {
        file = std::make_unique<DcmFileFormat>();
        c = LoadInSyntax(*file, reading.constData(), readAs);
        if (c.bad()) {
            FailParse(*file, c, name);
        }
    }
    if (c.bad()) {
        auto again = std::make_unique<DcmFileFormat>();
        if (!NamesPlainSyntax(*file) || LoadInSyntax(*again, reading.constData(), EXS_Unknown).bad()) {
            FailParse(*file, c, name);
        }
        return FromDataset(std::move(again), std::move(opened), uint64_t(QFileInfo(path).size()), name, limits);
    }
    return FromDataset(std::move(file), std::move(opened), uint64_t(QFileInfo(path).size()), name, limits);
}

TPicture LoadDicomBytes(const uint8_t* data, size_t size, const QString& name, const TLoadLimits& limits) {
    if (size == 0) {
        Fail(TLoadError::EmptyFile, name);
    }
    // Parsed from a file, not from DCMTK's buffer stream: from a buffer DCMTK allocates
    // every element's declared length before it finds that the bytes are missing,
    // whereas from a file it defers large values and checks them against the file size.
    QTemporaryFile file;
    if (!file.open() || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size) ||
        !file.flush()) {
        Fail(TLoadError::Unreadable, name, file.errorString());
    }
    return LoadDicomFile(file.fileName(), name, limits);
}

} // namespace kelvo::imaging
