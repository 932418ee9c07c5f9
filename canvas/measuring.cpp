// Measuring beside the canvas: values, labels, live statistics and records of its shapes.
#include "canvas/measuring.h"

#include "canvas/my_cad.h"
#include "imaging/loader.h"
#include "platform/screen.h"

namespace kelvo {

bool TMeasuring::RegionsLabelled() const {
    switch (regionLabels_) {
    case TRegionLabels::Off:
        return false;
    case TRegionLabels::OnFilePictures:
        return cad_.DICOMStyle() && cad_.Picture() != nullptr;
    case TRegionLabels::Always:
        return cad_.DICOMStyle();
    }
    return false;
}

std::shared_ptr<const imaging::TPicture> TMeasuring::Values() {
    if (cad_.Picture() != nullptr) {
        return cad_.SharedPicture();
    }
    const QImage background = cad_.BackGround();
    if (background.isNull()) {
        return nullptr;
    }
    if (!plainValues_ || plainKey_ != background.cacheKey()) {
        plainValues_ = std::make_shared<const imaging::TPicture>(imaging::GreyPicture(background));
        plainKey_ = background.cacheKey();
    }
    return plainValues_;
}

int32_t TMeasuring::Frame() const { return cad_.Picture() != nullptr ? cad_.Frame() : 0; }

imaging::TSpacingSource TMeasuring::Spacing() const {
    const imaging::TPicture* shown = cad_.Picture();
    return shown != nullptr && shown->HasSpacing() ? shown->SpacingSource : imaging::TSpacingSource::None;
}

bool TMeasuring::AtDetector() const {
    const imaging::TPicture* shown = cad_.Picture();
    return shown != nullptr && shown->SpacingSource == imaging::TSpacingSource::ImagerPixelSpacing;
}

void TMeasuring::LabelRegions() {
    const std::shared_ptr<const imaging::TPicture> values = RegionsLabelled() ? Values() : nullptr;
    const int32_t frame = Frame();
    const bool atDetector = AtDetector();
    for (int32_t i = 0; i < cad_.ShapeCount(); ++i) {
        TMyShape* shape = cad_.Shape(i);
        const std::optional<imaging::TRegion> region = values && cad_.OnView(*shape) ? shape->Outline() : std::nullopt;
        if (!region) {
            if (!shape->LabelLines.isEmpty()) shape->LabelLines.clear();
            continue;
        }
        shape->LabelLines = StatsLabelLines(cache_.Get(shape, *region, values, frame), atDetector);
    }
}

std::optional<TMeasuring::TDragged> TMeasuring::DraggedRegion(int32_t x, int32_t y) {
    std::unique_ptr<TMyShape> region = cad_.ShapeIfReleasedAt(x, y);
    const std::optional<imaging::TRegion> outline = region ? region->Outline() : std::nullopt;
    const std::shared_ptr<const imaging::TPicture> values = outline ? Values() : nullptr;
    if (!values) {
        return std::nullopt;
    }
    TDragged d;
    d.Measurement.Kind = region->Kind();
    d.Measurement.Stats = imaging::RegionStatistics(*values, Frame(), *outline);
    d.Measurement.Spacing = Spacing();
    d.Lines = StatsLabelLines(*d.Measurement.Stats, AtDetector());
    d.Region = std::move(region);
    return d;
}

std::vector<TMeasurement> TMeasuring::Measurements(const QString& file) {
    std::vector<const TMyShape*> shapes;
    shapes.reserve(size_t(cad_.ShapeCount()));
    for (int32_t i = 0; i < cad_.ShapeCount(); ++i) shapes.push_back(cad_.Shape(i));
    TMeasureContext context;
    context.Picture = Values();
    context.Frame = Frame();
    // The spacing is the picture's own, as the ruler's label shows it.
    if (const imaging::TPicture* shown = cad_.Picture(); shown != nullptr && shown->HasSpacing()) {
        context.MmPerPixelX = shown->ColumnSpacing;
        context.MmPerPixelY = shown->RowSpacing;
    }
    context.DotsPerInch = ScreenPixelsPerInch();
    context.Cache = &cache_;
    context.Spacing = Spacing();
    if (const imaging::TPicture* shown = cad_.Picture()) {
        context.File = file;
        context.SopInstanceUid = shown->SopInstanceUid;
    }
    return Measure(shapes, context);
}

} // namespace kelvo
