// What a study index needs from DICOM files without their pixel data: one file's identity and geometry, and the files a DICOMDIR names.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelvo::imaging {

// Why a file gives no image to a study.
enum class THeaderProblem : uint8_t {
    None,
    Unreadable, // cannot be opened or read
    NotDicom,   // nothing DICOM-like in it
    Damaged,    // DICOM whose header breaks off or contradicts itself
    NoImage,    // DICOM without an image (a report, a DICOMDIR, a plan...)
};

using TVector3 = std::array<double, 3>;

// One file's header. Positions has one entry per frame (enhanced objects give each
// frame its own), or a single entry for the whole file; an empty optional where the
// file gives none.
struct TDicomHeader {
    THeaderProblem Problem = THeaderProblem::None;
    QString Detail; // DCMTK's words, or the kind of object, when Problem is set

    QString PatientName, PatientId;
    QString StudyUid, StudyDate, StudyDescription;
    QString SeriesUid, Modality, SeriesDescription;
    std::optional<int32_t> SeriesNumber;
    QString SopInstanceUid;
    std::optional<int32_t> InstanceNumber;
    int32_t Rows = 0;
    int32_t Columns = 0;
    int32_t Frames = 1;
    QString Photometric;
    // Image Orientation (Patient): the row's direction cosines, then the column's.
    std::optional<std::array<double, 6>> Orientation;
    std::vector<std::optional<TVector3>> Positions;
};

// The files a DICOMDIR names, as absolute paths in the order of its records; Failed
// with DCMTK's words when the file is no DICOMDIR or cannot be read.
struct TDicomDirectory {
    bool Failed = false;
    QString Text;
    std::vector<QString> Files;
};

// Reads the header of `path`, stopping before the pixel data (long values are left on
// disk). Problems with the file are reported, not thrown; on the program's side, which
// forwards to the DICOM module, a module that cannot be loaded raises EImageError.
TDicomHeader ReadDicomHeader(const QString& path);
// Reads the DICOMDIR at `path`, as ReadDicomHeader reads a header.
TDicomDirectory ReadDicomDirectory(const QString& path);

} // namespace kelvo::imaging
