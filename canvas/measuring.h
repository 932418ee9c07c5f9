// Measuring beside the canvas: the values measured on, region statistics with their cache and labels, live statistics of a drag, and the measurement records.
#pragma once

#include "canvas/measurements.h"
#include "imaging/picture.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kelvo {

class TMyCAD;

// Where regions carry their statistics under their names (always only with the
// canvas's labels on): nowhere, on pictures from files, or also on a plain picture.
enum class TRegionLabels : uint8_t { Off, OnFilePictures, Always };

// Where labels are laid out to stay legible (a dark halo, inside the part of the canvas
// in view, apart from each other, a leader line to their shape): nowhere, on pictures
// from files, or also on a plain picture.
enum class TLabelLayout : uint8_t { Off, OnFilePictures, Always };

// Measures the shapes of one canvas on the picture it shows. The canvas owns it and has
// it label the regions before each full paint.
class TMeasuring {
public:
    explicit TMeasuring(TMyCAD& cad) : cad_(cad) {}
    TMeasuring(const TMeasuring&) = delete;
    TMeasuring& operator=(const TMeasuring&) = delete;

    TRegionLabels RegionLabels() const { return regionLabels_; }
    // Takes effect at the next paint.
    void SetRegionLabels(TRegionLabels labels) { regionLabels_ = labels; }
    // Whether regions now carry their statistics under their names.
    bool RegionsLabelled() const;
    TLabelLayout LabelLayout() const { return labelLayout_; }
    // Takes effect at the next paint.
    void SetLabelLayout(TLabelLayout layout) { labelLayout_ = layout; }
    // Whether labels are now laid out apart.
    bool LabelsApart() const;

    // The values measured on: a picture from a file, or the grey levels of a plain
    // picture (made once per picture); null without either.
    std::shared_ptr<const imaging::TPicture> Values();
    // The frame measured on (0 for a plain picture).
    int32_t Frame() const;
    // Where the lengths and areas come from (None: inches and pixels).
    imaging::TSpacingSource Spacing() const;
    // The picture's spacing holds at the detector: areas say so.
    bool AtDetector() const;
    // The one spacing labels, the list and the records measure with: the user's
    // calibration while it holds for the picture shown, else that picture's own.
    TPixelSpacing PixelSpacing() const;
    // Where the millimetres come from, as the list names it; empty without any.
    QString SpacingText() const;

    // The calibration of the picture shown; nothing when it has none.
    std::optional<TCalibration> Calibration() const;
    // Calibrates the picture shown (nothing: back to its own spacing). It holds for that
    // picture only and is ignored without a picture from a file; takes effect at the
    // next paint.
    void SetCalibration(std::optional<TCalibration> calibration);
    // The calibration that makes the ruler's first segment mm millimetres long, keeping
    // the picture's own ratio of row to column spacing; nothing when the segment has no
    // length, mm is not a length above zero or there is no picture from a file.
    std::optional<TCalibration> CalibrationFor(const TMyShape& ruler, double mm) const;

    // Gives each region the lines of its statistics under its name when they are
    // shown, and takes them away otherwise; gives every shape the spacing its label
    // measures with and, when labels are laid out apart, its label's place.
    void LabelRegions();

    // The region a drag in progress would leave with the pointer at (x, y), and what it
    // measures there; nothing when no region is dragged or there are no values.
    struct TDragged {
        std::unique_ptr<TMyShape> Region;
        TMeasurement Measurement;
        QStringList Lines; // as its label would show them
    };
    std::optional<TDragged> DraggedRegion(int32_t x, int32_t y);

    // What every shape measures, in the canvas's list order; file names the picture
    // from a file in the records.
    std::vector<TMeasurement> Measurements(const QString& file);

    // The statistics of the regions, kept while a region, the picture and the frame stay.
    const TRegionStatsCache& StatsCache() const { return cache_; }
    // The shapes are gone: their statistics go too.
    void ForgetStatistics() { cache_.Clear(); }

private:
    // Places the labels of the shapes anchored in view inside it, each clear of those
    // placed before it (in list order), as near its own place as the room allows.
    void PlaceLabels();

    TMyCAD& cad_;
    TRegionLabels regionLabels_ = TRegionLabels::Off;
    TLabelLayout labelLayout_ = TLabelLayout::Off;
    TRegionStatsCache cache_;
    std::optional<TCalibration> calibration_;
    // The picture the calibration was set on.
    std::weak_ptr<const imaging::TPicture> calibrated_;
    // The grey levels of the plain picture with the cache key of the image they came from.
    std::shared_ptr<const imaging::TPicture> plainValues_;
    qint64 plainKey_ = 0;
};

} // namespace kelvo
