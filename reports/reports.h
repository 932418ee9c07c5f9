// Measurement reports (DICOM SR, TID 1500) and presentation states (GSPS) written from the shapes on pictures, and read back into shapes; DCMTK stays in a module loaded on first use.
#pragma once

#include "canvas/annotations.h"
#include "canvas/measurements.h"
#include "imaging/picture.h"
#include "platform/exceptions.h"

#include <QByteArray>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace kelvo::reports {

// Coordinates: Kelvo's picture points are pixel corners (imaging/region_stats.h: pixel
// (x, y) covers [x, x+1)), and so are DICOM's: SCOORD and GSPS PIXEL units put the top-left
// corner of the top-left pixel at (0, 0) and its centre at (0.5, 0.5). Points are written
// as they are and read back rounded to the nearest whole pixel.

// One picture's part of a report: the file it was read from (whose patient, study and
// image identities are copied), the frame, the shapes and what they measured.
struct TReportImage {
    QString File;
    int32_t Frame = 0; // from 0
    std::vector<TAnnotation> Shapes;
    // Measure()'s results for Shapes, in the same order (the SR's values); may be empty
    // for a presentation state.
    std::vector<TMeasurement> Measurements;
    // What the presentation state shows: the window, the part of the picture (empty:
    // all of it) and the zoom (screen pixels per picture pixel).
    imaging::TWindow Window;
    QRect DisplayedArea;
    double Zoom = 1.0;
};

// What a measurement value is; the SR codes it (Length, Area, Angle, and the region's
// modality values by their derivation).
enum class TValueKind : uint8_t { Length, Area, Angle, Mean, StandardDeviation, Minimum, Maximum };

struct TReportValue {
    TValueKind Kind = TValueKind::Length;
    double Value = 0.0;
    QString Unit; // UCUM: "mm", "mm2", "deg", "[hnsf'U]", "1"
    bool operator==(const TReportValue&) const = default;
};

// The shapes a report holds for one image and frame.
struct TReportShapes {
    QString SopInstanceUid;
    int32_t Frame = 0; // from 0
    std::vector<TAnnotation> Shapes;
    // SR only: the values per shape, parallel to Shapes.
    std::vector<std::vector<TReportValue>> Values;
};

enum class TReportKind : uint8_t { MeasurementReport, PresentationState };

// An image the reader may give shapes for; its size bounds the coordinates.
struct TReportTarget {
    QString SopInstanceUid;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Frames = 1;
};

struct TReadReport {
    TReportKind Kind = TReportKind::MeasurementReport;
    std::vector<TReportShapes> Images;
    // SOP Instance UIDs the report refers to that are not among the targets given.
    QStringList MissingImages;
};

// Why a report could not be written or read.
enum class TReportError : uint8_t {
    Unreadable,      // the file cannot be opened, or is no DICOM file
    Unwritable,      // DCMTK refused to make the object
    NoSource,        // the source picture is not a DICOM image
    NotTid1500,      // an SR, but no measurement report (TID 1500)
    NotAReport,      // neither an SR nor a presentation state
    OutsideImage,    // a coordinate beyond the referenced image
    UnknownUnit,     // a measured value in a unit this program does not know
    OtherImage,      // it refers to none of the images given
    UnsupportedShape,// a graphic this program cannot draw (a rotated ellipse, say)
    Damaged,         // a required element missing or malformed
    ModuleMissing,   // the reports module cannot be loaded
};

class EReportError : public Exception {
public:
    EReportError(TReportError kind, const QString& text) : Exception(text.toStdString()), kind_(kind) {}
    TReportError Kind() const { return kind_; }
    QString Text() const { return QString::fromStdString(Message()); }

private:
    TReportError kind_;
};

// The fixed text of a kind; `detail` names the file, the unit or the element.
QString ReportErrorText(TReportError kind, const QString& detail);

// The values a report gives for a measurement: a ruler's length and a region's area in
// millimetres (left out without a spacing: inches or pixels are no report's units; a
// spacing at the detector is taken as the file states it, and the user's calibration as
// it stands, which the SR notes per measurement group), an angle in degrees, and a
// region's mean, standard deviation, minimum and maximum in the modality's unit
// ("[hnsf'U]" for HU, else "1"), left out when the region holds no pixel.
std::vector<TReportValue> ReportValues(const TMeasurement& measurement);

// A Comprehensive SR following TID 1500, one measurement group per shape, as a DICOM
// file's bytes. Throws EReportError.
QByteArray WriteMeasurementReport(const std::vector<TReportImage>& images);
// A Grayscale Softcopy Presentation State with one graphic layer per shape kind, as a
// DICOM file's bytes. Throws EReportError.
QByteArray WritePresentationState(const std::vector<TReportImage>& images);
// Reads an SR or a presentation state. With targets, only their shapes are given back,
// bounded by their sizes, and the other images are named in MissingImages; a report for
// none of them is refused (OtherImage). Without targets, every image's shapes come back.
// `name` names the file in messages. Throws EReportError.
TReadReport ReadReport(const QByteArray& bytes, const QString& name, const std::vector<TReportTarget>& targets = {});

} // namespace kelvo::reports
