// Headers and DICOMDIRs through DCMTK, for the study index: parsing stops before the
// pixel data, and long values stay on disk, so a header costs what its tags do.
#include "imaging/dicom_headers.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/oflog/oflog.h>

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace kelvo::imaging {

namespace {

// Values longer than this are read from the file only when asked for; none of the
// tags the index reads is that long, and the pixel data is never reached anyway.
constexpr Uint32 kMaxReadLength = 256;

void Settings() {
    static const bool done = [] {
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
        dcmEnableUnknownVRConversion.set(OFTrue);
        return true;
    }();
    (void)done;
}

QString Text(DcmItem* ds, const DcmTagKey& tag) {
    OFString s;
    return ds->findAndGetOFStringArray(tag, s).good() ? QString::fromUtf8(s.c_str()).trimmed() : QString();
}

std::optional<int32_t> Integer(DcmItem* ds, const DcmTagKey& tag) {
    Sint32 v = 0;
    if (ds->findAndGetSint32(tag, v).good()) return v;
    // IS read as UN (an unknown dictionary entry in an implicit file) still parses.
    bool ok = false;
    const int32_t parsed = Text(ds, tag).toInt(&ok);
    return ok ? std::optional<int32_t>(parsed) : std::nullopt;
}

template <size_t N>
std::optional<std::array<double, N>> Doubles(DcmItem* ds, const DcmTagKey& tag) {
    std::array<double, N> v{};
    for (size_t i = 0; i < N; ++i) {
        Float64 f = 0;
        if (ds->findAndGetFloat64(tag, f, static_cast<unsigned long>(i)).bad() || !std::isfinite(f)) return std::nullopt;
        v[i] = f;
    }
    return v;
}

// The item of `macro` in a frame's functional groups (per frame first, then shared).
DcmItem* Macro(DcmItem* perFrame, DcmItem* shared, const DcmTagKey& macro) {
    for (DcmItem* groups : {perFrame, shared}) {
        DcmItem* item = nullptr;
        if (groups != nullptr && groups->findAndGetSequenceItem(macro, item, 0).good() && item != nullptr) return item;
    }
    return nullptr;
}

// Enhanced objects place orientation and position in their functional groups.
void ReadGeometry(DcmDataset* ds, TDicomHeader& h) {
    h.Orientation = Doubles<6>(ds, DCM_ImageOrientationPatient);
    DcmItem* shared = nullptr;
    (void)ds->findAndGetSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, 0);
    DcmSequenceOfItems* frames = nullptr;
    (void)ds->findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, frames);
    if (frames == nullptr || frames->card() == 0) {
        h.Positions = {Doubles<3>(ds, DCM_ImagePositionPatient)};
        if (!h.Orientation) {
            if (DcmItem* o = Macro(nullptr, shared, DCM_PlaneOrientationSequence)) {
                h.Orientation = Doubles<6>(o, DCM_ImageOrientationPatient);
            }
        }
        return;
    }
    for (unsigned long f = 0; f < frames->card() && f < static_cast<unsigned long>(h.Frames); ++f) {
        DcmItem* perFrame = frames->getItem(f);
        DcmItem* p = Macro(perFrame, shared, DCM_PlanePositionSequence);
        h.Positions.push_back(p != nullptr ? Doubles<3>(p, DCM_ImagePositionPatient) : std::nullopt);
        if (!h.Orientation) {
            if (DcmItem* o = Macro(perFrame, shared, DCM_PlaneOrientationSequence)) {
                h.Orientation = Doubles<6>(o, DCM_ImageOrientationPatient);
            }
        }
    }
}

THeaderProblem ParseProblem(DcmFileFormat& file) {
    DcmMetaInfo* meta = file.getMetaInfo();
    DcmDataset* ds = file.getDataset();
    const bool dicomLike = (meta != nullptr && meta->tagExists(DCM_TransferSyntaxUID)) ||
                           (ds != nullptr && ds->tagExists(DCM_SOPClassUID));
    return dicomLike ? THeaderProblem::Damaged : THeaderProblem::NotDicom;
}

} // namespace

TDicomHeader ReadDicomHeader(const QString& path) {
    Settings();
    TDicomHeader h;
    const QByteArray local = QFile::encodeName(path);
    // DCMTK's own failure to open a file does not say why.
    if (std::FILE* f = std::fopen(local.constData(), "rb")) {
        std::fclose(f);
    } else {
        h.Problem = THeaderProblem::Unreadable;
        h.Detail = QString::fromLocal8Bit(std::strerror(errno));
        return h;
    }
    DcmFileFormat file;
    const OFCondition c = file.loadFileUntilTag(OFFilename(local.constData()), EXS_Unknown, EGL_noChange,
                                                kMaxReadLength, ERM_autoDetect, DCM_PixelData);
    if (c.bad()) {
        h.Problem = ParseProblem(file);
        h.Detail = QString::fromLatin1(c.text());
        return h;
    }
    DcmDataset* ds = file.getDataset();
    h.SopInstanceUid = Text(ds, DCM_SOPInstanceUID);
    if (h.SopInstanceUid.isEmpty() && !ds->tagExists(DCM_Rows)) {
        h.Problem = ParseProblem(file);
        return h;
    }
    const OFString charset = [&] {
        OFString s;
        (void)ds->findAndGetOFStringArray(DCM_SpecificCharacterSet, s);
        return s;
    }();
    if (!charset.empty() && charset != "ISO_IR 6" && charset != "ISO_IR 192") (void)ds->convertToUTF8();
    h.Rows = Integer(ds, DCM_Rows).value_or(0);
    h.Columns = Integer(ds, DCM_Columns).value_or(0);
    if (h.Rows <= 0 || h.Columns <= 0) {
        h.Problem = THeaderProblem::NoImage;
        const char* name = dcmFindNameOfUID(Text(ds, DCM_SOPClassUID).toLatin1().constData());
        h.Detail = name != nullptr ? QString::fromLatin1(name) : Text(ds, DCM_SOPClassUID);
        return h;
    }
    if (h.SopInstanceUid.isEmpty() || Text(ds, DCM_SeriesInstanceUID).isEmpty()) {
        h.Problem = THeaderProblem::Damaged;
        h.Detail = QStringLiteral("no SOP Instance UID or Series Instance UID");
        return h;
    }
    h.Frames = std::max(1, Integer(ds, DCM_NumberOfFrames).value_or(1));
    h.PatientName = Text(ds, DCM_PatientName);
    h.PatientId = Text(ds, DCM_PatientID);
    h.StudyUid = Text(ds, DCM_StudyInstanceUID);
    h.StudyDate = Text(ds, DCM_StudyDate);
    h.StudyDescription = Text(ds, DCM_StudyDescription);
    h.SeriesUid = Text(ds, DCM_SeriesInstanceUID);
    h.Modality = Text(ds, DCM_Modality);
    h.SeriesDescription = Text(ds, DCM_SeriesDescription);
    h.SeriesNumber = Integer(ds, DCM_SeriesNumber);
    h.InstanceNumber = Integer(ds, DCM_InstanceNumber);
    h.Photometric = Text(ds, DCM_PhotometricInterpretation);
    ReadGeometry(ds, h);
    return h;
}

namespace {

// Every record that names a file, in the order of the records. DCMTK's DcmDicomDir is
// not used: it writes a DICOMDIR back when it finds it needs repair, and reading must
// never change the user's files.
void CollectFiles(DcmDataset* ds, const QDir& root, std::vector<QString>& files) {
    DcmSequenceOfItems* records = nullptr;
    if (ds->findAndGetSequence(DCM_DirectoryRecordSequence, records).bad() || records == nullptr) return;
    for (unsigned long i = 0; i < records->card(); ++i) {
        DcmItem* record = records->getItem(i);
        Uint16 inUse = 0xFFFF;
        OFString id;
        if (record == nullptr || (record->findAndGetUint16(DCM_RecordInUseFlag, inUse).good() && inUse == 0) ||
            record->findAndGetOFStringArray(DCM_ReferencedFileID, id).bad() || id.empty()) {
            continue;
        }
        // Components joined by backslashes (PS3.10 file IDs), relative to the DICOMDIR.
        const QString relative = QString::fromLatin1(id.c_str()).trimmed().replace(QLatin1Char('\\'), QLatin1Char('/'));
        files.push_back(QDir::cleanPath(root.absoluteFilePath(relative)));
    }
}

} // namespace

TDicomDirectory ReadDicomDirectory(const QString& path) {
    Settings();
    TDicomDirectory d;
    const QByteArray local = QFile::encodeName(path);
    // The meta header alone tells a DICOMDIR, before any other file is read whole.
    DcmMetaInfo meta;
    OFString sopClass;
    const OFCondition c = QFileInfo(path).isFile() ? meta.loadFile(OFFilename(local.constData())) : EC_InvalidFilename;
    if (c.bad() || meta.findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass).bad() ||
        sopClass != UID_MediaStorageDirectoryStorage) {
        d.Failed = true;
        d.Text = c.bad() ? QString::fromLatin1(c.text()) : QStringLiteral("not a DICOMDIR");
        return d;
    }
    DcmFileFormat file;
    const OFCondition read = file.loadFile(OFFilename(local.constData()));
    if (read.bad()) {
        d.Failed = true;
        d.Text = QString::fromLatin1(read.text());
        return d;
    }
    CollectFiles(file.getDataset(), QFileInfo(path).absoluteDir(), d.Files);
    return d;
}

} // namespace kelvo::imaging
