// What the SR and presentation-state writers and the reader share inside the reports module: source files, codes, bytes in and out.
#pragma once

#include "reports/reports.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmsr/dsrcodvl.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>
#include <string>

namespace kelvo::reports::dicom {

[[noreturn]] void Fail(TReportError kind, const QString& detail);

// Adds DCMTK's standard data dictionary to the one the program keeps small (the DICOM
// reader's entries only): SR and presentation-state elements must be known by name.
void AddStandardDictionary();

// A source picture's file, read up to its pixel data, with what a reference to it needs.
struct TSource {
    std::unique_ptr<DcmFileFormat> File;
    DcmDataset& Data() const { return *File->getDataset(); }
    std::string SopClassUid, SopInstanceUid, StudyUid, SeriesUid, Modality;
    int32_t Columns = 0, Rows = 0, Frames = 1;
};
TSource ReadSource(const QString& path);

// Copies the patient and study modules of `from` into `to`, replacing what is there.
void CopyPatientAndStudy(DcmItem& from, DcmItem& to);

QByteArray ToBytes(DcmFileFormat& file);
// Refuses what DCMTK cannot parse, naming `name`.
std::unique_ptr<DcmFileFormat> FromBytes(const QByteArray& bytes, const QString& name);

std::string Utf8(const QString& s);
QString FromUtf8(const OFString& s);
// A decimal string of at most 16 characters (DS) as close to `value` as that allows.
std::string DecimalString(double value);

// The concepts and units measurement groups use.
namespace code {
const DSRCodedEntryValue& Length();
const DSRCodedEntryValue& Area();
const DSRCodedEntryValue& Angle();
// A region's modality values: CT's attenuation, or plain pixel values.
const DSRCodedEntryValue& Attenuation();
const DSRCodedEntryValue& PixelValue();
const DSRCodedEntryValue& Derivation(TValueKind kind);
const DSRCodedEntryValue& Unit(const QString& ucum);
// The concept of a group's note that its millimetres rest on a spacing the user set.
const DSRCodedEntryValue& UserCalibration();
} // namespace code

// The kind of a coded derivation (Mean, Minimum...), nothing for others.
std::optional<TValueKind> DerivationKind(const DSRCodedEntryValue& code);

// The points a shape is written with (closed outlines repeat their first point; an
// ellipse gives its major then its minor axis ends) and whether it is an ellipse.
struct TOutline {
    bool Ellipse = false;
    std::vector<std::pair<float, float>> Points;
};
TOutline OutlineOf(const TAnnotation& shape);
// The shape back from its outline: `measured` says which values came with it, so that a
// two-point line with a length is a ruler and three points with an angle an angle.
// A known kind (a presentation state's layer names it) wins over the guess.
TAnnotation ShapeOf(bool ellipse, bool circle, const std::vector<std::pair<float, float>>& points,
                    bool hasLength, bool hasAngle, std::optional<TShapeKind> known = std::nullopt);
// Refuses points beyond the target's picture.
void CheckInside(const TAnnotation& shape, const TReportTarget& target);

} // namespace kelvo::reports::dicom
