// Source files, codes, byte conversion and shape geometry for the reports module.
#include "reports/dicom_common.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmsr/codes/dcm.h>
#include <dcmtk/dcmsr/codes/ucum.h>

#include <QFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace kelvo::reports::dicom {

void Fail(TReportError kind, const QString& detail) { throw EReportError(kind, ReportErrorText(kind, detail)); }

void AddStandardDictionary() {
    static std::once_flag once;
    std::call_once(once, [] {
        DcmDataDictionary standard(OFFalse, OFFalse);
        const std::string paths = DCM_DICT_DEFAULT_PATH;
        for (size_t from = 0; from <= paths.size();) {
            const size_t to = std::min(paths.find(ENVIRONMENT_PATH_SEPARATOR, from), paths.size());
            const std::string path = paths.substr(from, to - from);
            if (!path.empty()) standard.loadDictionary(path.c_str(), OFTrue);
            from = to + 1;
        }
        DcmDataDictionary& global = dcmDataDict.wrlock();
        const auto add = [&global](const DcmDictEntry* e) {
            if (global.findEntry(e->getKey(), e->getPrivateCreator()) == nullptr) global.addEntry(new DcmDictEntry(*e));
        };
        for (auto it = standard.normalBegin(); it != standard.normalEnd(); ++it) add(*it);
        for (auto it = standard.repeatingBegin(); it != standard.repeatingEnd(); ++it) add(*it);
        dcmDataDict.wrunlock();
    });
}

namespace {

std::string Text(DcmItem& item, const DcmTagKey& key) {
    OFString value;
    item.findAndGetOFString(key, value);
    return std::string(value.c_str());
}

} // namespace

TSource ReadSource(const QString& path) {
    TSource s;
    s.File = std::make_unique<DcmFileFormat>();
    const OFCondition status = s.File->loadFileUntilTag(OFFilename(QFile::encodeName(path).constData()), EXS_Unknown,
                                                        EGL_noChange, DCM_MaxReadLength, ERM_autoDetect, DCM_PixelData);
    if (status.bad()) Fail(TReportError::NoSource, path);
    DcmDataset& d = s.Data();
    s.SopClassUid = Text(d, DCM_SOPClassUID);
    s.SopInstanceUid = Text(d, DCM_SOPInstanceUID);
    s.StudyUid = Text(d, DCM_StudyInstanceUID);
    s.SeriesUid = Text(d, DCM_SeriesInstanceUID);
    s.Modality = Text(d, DCM_Modality);
    Uint16 rows = 0, columns = 0;
    d.findAndGetUint16(DCM_Rows, rows);
    d.findAndGetUint16(DCM_Columns, columns);
    s.Rows = rows;
    s.Columns = columns;
    Sint32 frames = 1;
    if (d.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 1) s.Frames = frames;
    if (s.SopClassUid.empty() || s.SopInstanceUid.empty() || s.StudyUid.empty() || s.SeriesUid.empty() || rows == 0 ||
        columns == 0)
        Fail(TReportError::NoSource, path);
    return s;
}

void CopyPatientAndStudy(DcmItem& from, DcmItem& to) {
    static const DcmTagKey kKeys[] = {
        DCM_PatientName,     DCM_PatientID,        DCM_IssuerOfPatientID,  DCM_PatientBirthDate, DCM_PatientSex,
        DCM_PatientAge,      DCM_StudyInstanceUID, DCM_StudyDate,          DCM_StudyTime,        DCM_StudyID,
        DCM_AccessionNumber, DCM_StudyDescription, DCM_ReferringPhysicianName, DCM_SpecificCharacterSet};
    for (const DcmTagKey& key : kKeys) {
        DcmElement* element = nullptr;
        if (from.findAndGetElement(key, element).good() && element != nullptr) {
            to.insert(OFstatic_cast(DcmElement*, element->clone()), OFTrue);
        }
    }
}

QByteArray ToBytes(DcmFileFormat& file) {
    const E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    OFCondition status = file.validateMetaInfo(xfer);
    if (status.bad()) Fail(TReportError::Unwritable, QString::fromLatin1(status.text()));
    // Sequences of undefined length: explicit ones make every level sum its items' sizes
    // again, which costs a report of a thousand groups most of its time.
    QByteArray bytes;
    std::vector<char> chunk(size_t(1) << 20);
    DcmOutputBufferStream out(chunk.data(), offile_off_t(chunk.size()));
    const auto drain = [&] {
        void* buffer = nullptr;
        offile_off_t length = 0;
        out.flushBuffer(buffer, length);
        bytes.append(static_cast<const char*>(buffer), qsizetype(length));
    };
    file.transferInit();
    while ((status = file.write(out, xfer, EET_UndefinedLength, nullptr, EGL_withoutGL)) == EC_StreamNotifyClient) drain();
    file.transferEnd();
    if (status.bad()) Fail(TReportError::Unwritable, QString::fromLatin1(status.text()));
    drain();
    return bytes;
}

std::unique_ptr<DcmFileFormat> FromBytes(const QByteArray& bytes, const QString& name) {
    // A file that says it is DICOM and then fails to parse is damaged; anything else is
    // no DICOM file at all.
    const bool dicom = bytes.size() >= 132 && bytes.mid(128, 4) == "DICM";
    if (!dicom) Fail(TReportError::Unreadable, name);
    // Parsed from a file, not from DCMTK's buffer stream: from a buffer DCMTK allocates
    // an element's declared length (up to 4 GB) before it finds the bytes missing, from
    // a file it checks the length against the file's size first.
    QTemporaryFile temporary;
    if (!temporary.open() || temporary.write(bytes) != bytes.size() || !temporary.flush())
        Fail(TReportError::Unreadable, name);
    auto file = std::make_unique<DcmFileFormat>();
    OFCondition status = file->loadFile(OFFilename(QFile::encodeName(temporary.fileName()).constData()));
    if (status.good()) status = file->loadAllDataIntoMemory();
    if (status.bad()) Fail(TReportError::Damaged, QStringLiteral("%1 (%2)").arg(name, QLatin1String(status.text())));
    return file;
}

std::string Utf8(const QString& s) { return s.toStdString(); }
QString FromUtf8(const OFString& s) { return QString::fromUtf8(s.c_str(), qsizetype(s.length())); }

std::string DecimalString(double value) {
    char text[32];
    for (int digits = 15; digits > 1; --digits) {
        const int n = std::snprintf(text, sizeof text, "%.*G", digits, value);
        if (n > 0 && n <= 16) return text;
    }
    return "0";
}

namespace code {

const DSRCodedEntryValue& Length() {
    static const DSRCodedEntryValue c("410668003", "SCT", "Length");
    return c;
}
const DSRCodedEntryValue& Area() {
    static const DSRCodedEntryValue c("42798000", "SCT", "Area");
    return c;
}
const DSRCodedEntryValue& Angle() {
    static const DSRCodedEntryValue c(CODE_DCM_Angle);
    return c;
}
const DSRCodedEntryValue& Attenuation() {
    static const DSRCodedEntryValue c(CODE_DCM_AttenuationCoefficient);
    return c;
}
// No DCM or SCT concept says that a spacing was set by the user from a ruler of known
// length (Pixel Spacing Calibration Type names the acquiring system's calibrations), so
// the concept is this program's own, in a local coding scheme ("99" prefix, which DICOM
// keeps for such schemes).
const DSRCodedEntryValue& UserCalibration() {
    static const DSRCodedEntryValue c("USERCAL", "99KELVO", "Pixel spacing calibrated by the user");
    return c;
}
const DSRCodedEntryValue& PixelValue() {
    // No standard concept names a stored picture's plain value; a private scheme says so.
    static const DSRCodedEntryValue c("PIXEL", "99KELVO", "Pixel value");
    return c;
}
const DSRCodedEntryValue& Derivation(TValueKind kind) {
    static const DSRCodedEntryValue mean("373098007", "SCT", "Mean"), sd("386136009", "SCT", "Standard Deviation"),
        min("255605001", "SCT", "Minimum"), max("56851009", "SCT", "Maximum");
    switch (kind) {
    case TValueKind::StandardDeviation:
        return sd;
    case TValueKind::Minimum:
        return min;
    case TValueKind::Maximum:
        return max;
    default:
        return mean;
    }
}
const DSRCodedEntryValue& Unit(const QString& ucum) {
    static const DSRCodedEntryValue mm(CODE_UCUM_Millimeter), mm2("mm2", "UCUM", "square millimeter"),
        deg(CODE_UCUM_Degrees), hu("[hnsf'U]", "UCUM", "Hounsfield unit"), none("1", "UCUM", "no units");
    if (ucum == QLatin1String("mm")) return mm;
    if (ucum == QLatin1String("mm2")) return mm2;
    if (ucum == QLatin1String("deg")) return deg;
    if (ucum == QLatin1String("[hnsf'U]")) return hu;
    return none;
}

} // namespace code

std::optional<TValueKind> DerivationKind(const DSRCodedEntryValue& c) {
    for (TValueKind k : {TValueKind::Mean, TValueKind::StandardDeviation, TValueKind::Minimum, TValueKind::Maximum}) {
        if (c == code::Derivation(k)) return k;
    }
    return std::nullopt;
}

namespace {

using TFloats = std::vector<std::pair<float, float>>;

int32_t Whole(float v) { return int32_t(std::nearbyint(std::clamp(double(v), -1e9, 1e9))); }

TPoint P(const std::pair<float, float>& p) { return TPoint{Whole(p.first), Whole(p.second)}; }

bool IsAxisRectangle(const TFloats& p) {
    if (p.size() != 5 || p.front() != p.back()) return false;
    for (size_t i = 0; i < 4; ++i) {
        const bool vertical = p[i].first == p[i + 1].first, horizontal = p[i].second == p[i + 1].second;
        if (vertical == horizontal) return false;
    }
    return true;
}

} // namespace

TOutline OutlineOf(const TAnnotation& shape) {
    TOutline o;
    const auto& pts = shape.Points;
    const auto f = [](TPoint p) { return std::pair<float, float>(float(p.X), float(p.Y)); };
    switch (shape.Kind) {
    case TShapeKind::Rectangle:
        if (pts.size() >= 2) {
            const TPoint a = pts[0], b = pts[1];
            o.Points = {f(a), f({b.X, a.Y}), f(b), f({a.X, b.Y}), f(a)};
        }
        break;
    case TShapeKind::Ellipse:
        if (pts.size() >= 2) {
            o.Ellipse = true;
            const float cx = (float(pts[0].X) + float(pts[1].X)) / 2, cy = (float(pts[0].Y) + float(pts[1].Y)) / 2;
            const float a = std::abs(float(pts[1].X) - float(pts[0].X)) / 2,
                        b = std::abs(float(pts[1].Y) - float(pts[0].Y)) / 2;
            const TFloats across = {{cx - a, cy}, {cx + a, cy}}, down = {{cx, cy - b}, {cx, cy + b}};
            o.Points = a >= b ? across : down;
            const TFloats& minor = a >= b ? down : across;
            o.Points.insert(o.Points.end(), minor.begin(), minor.end());
        }
        break;
    case TShapeKind::Polyline:
        for (TPoint p : pts) o.Points.push_back(f(p));
        if (pts.size() >= 3 && pts.front() != pts.back()) o.Points.push_back(f(pts.front()));
        break;
    default:
        for (TPoint p : pts) o.Points.push_back(f(p));
        break;
    }
    return o;
}

TAnnotation ShapeOf(bool ellipse, bool circle, const TFloats& points, bool hasLength, bool hasAngle,
                    std::optional<TShapeKind> known) {
    TAnnotation a;
    if (circle) {
        if (points.size() != 2) Fail(TReportError::Damaged, QStringLiteral("a circle without its two points"));
        const float r = std::hypot(points[1].first - points[0].first, points[1].second - points[0].second);
        a.Kind = TShapeKind::Ellipse;
        a.Points = {P({points[0].first - r, points[0].second - r}), P({points[0].first + r, points[0].second + r})};
        return a;
    }
    if (ellipse) {
        if (points.size() != 4) Fail(TReportError::Damaged, QStringLiteral("an ellipse without its four points"));
        const bool acrossFirst = points[0].second == points[1].second && points[2].first == points[3].first;
        const bool downFirst = points[0].first == points[1].first && points[2].second == points[3].second;
        if (!acrossFirst && !downFirst) Fail(TReportError::UnsupportedShape, QStringLiteral("a rotated ellipse"));
        const auto& across = acrossFirst ? points[0] : points[2];
        const auto& across2 = acrossFirst ? points[1] : points[3];
        const auto& down = acrossFirst ? points[2] : points[0];
        const auto& down2 = acrossFirst ? points[3] : points[1];
        a.Kind = TShapeKind::Ellipse;
        a.Points = {P({std::min(across.first, across2.first), std::min(down.second, down2.second)}),
                    P({std::max(across.first, across2.first), std::max(down.second, down2.second)})};
        return a;
    }
    if (points.empty()) Fail(TReportError::Damaged, QStringLiteral("a graphic without points"));
    const bool closed = points.size() >= 4 && points.front() == points.back();
    TShapeKind kind = TShapeKind::Polyline;
    if (closed && IsAxisRectangle(points))
        kind = TShapeKind::Rectangle;
    else if (!closed && points.size() == 3 && hasAngle)
        kind = TShapeKind::Angle;
    else if (!closed && points.size() == 2)
        kind = hasLength ? TShapeKind::Ruler : TShapeKind::Arrow;
    if (known && !(*known == TShapeKind::Rectangle && kind != TShapeKind::Rectangle)) kind = *known;
    a.Kind = kind;
    if (kind == TShapeKind::Rectangle) {
        a.Points = {P(points[0]), P(points[2])};
    } else {
        const size_t n = closed ? points.size() - 1 : points.size();
        for (size_t i = 0; i < n; ++i) a.Points.push_back(P(points[i]));
    }
    return a;
}

void CheckInside(const TAnnotation& shape, const TReportTarget& target) {
    for (TPoint p : shape.Points) {
        if (p.X < 0 || p.Y < 0 || p.X > target.Width || p.Y > target.Height) {
            Fail(TReportError::OutsideImage, QStringLiteral("(%1, %2) on %3, which is %4 x %5 pixels")
                                                 .arg(p.X)
                                                 .arg(p.Y)
                                                 .arg(target.SopInstanceUid)
                                                 .arg(target.Width)
                                                 .arg(target.Height));
        }
    }
}

} // namespace kelvo::reports::dicom
