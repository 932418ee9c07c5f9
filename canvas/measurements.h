// What each shape measures (length, angle, region statistics), for the measurement list, the labels and the CSV export.
#pragma once

#include "canvas/annotations.h"
#include "canvas/shape.h"
#include "imaging/picture.h"
#include "imaging/region_stats.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace kelvo {

// The region a shape outlines in picture coordinates (a polyline closed by its
// last-to-first edge); nothing for shapes that are not regions.
std::optional<imaging::TRegion> RegionOf(const TMyShape& shape);

struct TMeasurement;
struct TMeasureContext;
// A region's record: its caption as name, and its statistics when the context has a
// picture (taken from the context's cache when it has one).
void MeasureRegion(const TMyShape& shape, TMeasurement& m, const TMeasureContext& context);

// Statistics per shape, computed again only when the shape's region, the picture or
// the frame changed: painting the labels of many regions costs no pixel sums.
class TRegionStatsCache {
public:
    const imaging::TRegionStats& Get(const void* key, const imaging::TRegion& region,
                                     const std::shared_ptr<const imaging::TPicture>& picture, int32_t frame);
    void Forget(const void* key) { entries_.erase(key); }
    void Clear() { entries_.clear(); }
    // How many times statistics were computed, for tests and benchmarks.
    int64_t Computations() const { return computations_; }

private:
    struct Entry {
        imaging::TRegion Region;
        std::weak_ptr<const imaging::TPicture> Picture;
        int32_t Frame = 0;
        imaging::TRegionStats Stats;
    };
    std::unordered_map<const void*, Entry> entries_;
    int64_t computations_ = 0;
};

// What the measuring needs to know besides the shapes.
struct TMeasureContext {
    std::shared_ptr<const imaging::TPicture> Picture; // null: no values to measure
    int32_t Frame = 0;
    // Millimetres per pixel; zero when lengths are in inches at DotsPerInch.
    double MmPerPixelX = 0.0;
    double MmPerPixelY = 0.0;
    int32_t DotsPerInch = 96;
    TRegionStatsCache* Cache = nullptr; // optional
    // Where the millimetres come from: those at the detector say so.
    imaging::TSpacingSource Spacing = imaging::TSpacingSource::None;
    // What is measured, for the export: the file's name (empty for the built-in
    // picture) and its SOP Instance UID (DICOM only).
    QString File{};
    QString SopInstanceUid{};
    // The millimetres come from the user's calibration, not from the file.
    bool Calibrated = false;
};

struct TMeasurement {
    QString Name; // "Roi-3", "Ruler 2", "Angle 1", an arrow's text
    TShapeKind Kind = TShapeKind::Arrow;
    std::vector<TPoint> Points;
    // Rulers: the length in LengthUnit ("mm" or "in"); NaN for other kinds.
    double Length = 0.0;
    QString LengthUnit;
    // Angles: degrees at the vertex, NaN when an arm has length zero or for other kinds.
    double Angle = 0.0;
    // The ruler's length or the angle as the shape's label on the picture gives it (its
    // 32-bit figure), which the list shows so that both show the same number; Length
    // and Angle keep the exact values for the export. NaN for other kinds.
    double LabelFigure = 0.0;
    // Regions on a picture with values.
    std::optional<imaging::TRegionStats> Stats;
    // The context's: where millimetres come from (None for inches and pixels), and the
    // file, image and frame (counted from 0) measured on.
    imaging::TSpacingSource Spacing = imaging::TSpacingSource::None;
    QString File;
    QString SopInstanceUid;
    int32_t Frame = 0;
    // The spacing measured with (zero without one), and whether the user set it by
    // calibrating: exports that keep millimetres say where they came from.
    double MmPerPixelX = 0.0;
    double MmPerPixelY = 0.0;
    bool Calibrated = false;
    // The value in one short text, as the list shows it ("12.50 mm", "-3.10 ± 4.00 HU").
    QString ValueText() const;
};

// One measurement per shape, in list order. Rulers and angles are numbered by kind
// in that order ("Ruler 1", "Ruler 2"); an arrow without text is "Arrow <n>".
std::vector<TMeasurement> Measure(const std::vector<const TMyShape*>& shapes, const TMeasureContext& context);

// The lines shown under a region's name on the canvas: area, then mean ± sd, then min
// and max; empty without statistics. An area at the detector says so.
QStringList StatsLabelLines(const imaging::TRegionStats& stats, bool atDetector = false);
// The same with the unit of the spacing the statistics were taken with.
QStringList StatsLabelLines(const imaging::TRegionStats& stats, const TPixelSpacing& spacing);

// The statistics with their area in the calibrated spacing's square millimetres; as
// they are for a spacing that is not calibrated (the picture's own is already in them).
imaging::TRegionStats WithSpacing(imaging::TRegionStats stats, const TPixelSpacing& spacing);

// The spacing's source as the list and the export name it; empty for none.
QString SpacingSourceText(imaging::TSpacingSource source);
// Where the millimetres come from once the user calibrated a ruler.
inline const QString kCalibratedSpacingText = QStringLiteral("Calibrated by the user");

// RFC 4180: a header row, one row per measurement, CRLF line ends, fields with a comma,
// quote or line break quoted and quotes doubled; numbers with "." and as many digits as
// tell the value exactly, whatever the user's locale. Every row ends with the spacing's
// source, the file, the SOP Instance UID and the frame (from 1), so that a row copied
// elsewhere still says what it measured. A text that a spreadsheet would run as a
// formula (captions come from shared files) starts with an apostrophe.
QByteArray MeasurementsCsv(const std::vector<TMeasurement>& measurements);

} // namespace kelvo
