// Measuring beside the canvas: values, labels, live statistics and records of its shapes.
#include "canvas/measuring.h"

#include "canvas/my_cad.h"
#include "imaging/loader.h"
#include "platform/screen.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace kelvo {

namespace {

// A switch of Off, on pictures from files, or always: whether it holds for what is shown.
template <typename TMode>
bool Holds(TMode mode, const TMyCAD& cad) {
    switch (mode) {
    case TMode::Off:
        return false;
    case TMode::OnFilePictures:
        return cad.DICOMStyle() && cad.Picture() != nullptr;
    case TMode::Always:
        return cad.DICOMStyle();
    }
    return false;
}

} // namespace

bool TMeasuring::RegionsLabelled() const { return Holds(regionLabels_, cad_); }

bool TMeasuring::LabelsApart() const { return Holds(labelLayout_, cad_); }

namespace {

// Beyond this many labels in view the search for free room would cost more than a
// paint may: the labels are then only kept in view.
constexpr size_t kMaxLabelsApart = 150;

// The box moved as little as needed to lie inside view (its top-left corner when it is
// larger than the view).
QRect InsideView(QRect box, const QRect& view) {
    box.moveLeft(std::max(view.left(), std::min(box.left(), view.right() + 1 - box.width())));
    box.moveTop(std::max(view.top(), std::min(box.top(), view.bottom() + 1 - box.height())));
    return box;
}

// The nearest place to box inside view that meets none of taken: its own, or one
// against the side of a taken box, so that labels pack without gaps; the box kept in
// view when there is none.
QRect FreePlace(const QRect& box, const QRect& view, const std::vector<QRect>& taken, bool search) {
    const auto free = [&taken](const QRect& r) {
        return std::none_of(taken.begin(), taken.end(), [&r](const QRect& t) { return t.intersects(r); });
    };
    const QRect home = InsideView(box, view);
    if (!search || free(home)) return home;
    std::vector<int> xs{box.left()};
    std::vector<int> ys{box.top()};
    for (const QRect& t : taken) {
        xs.insert(xs.end(), {t.right() + 1, t.left() - box.width()});
        ys.insert(ys.end(), {t.bottom() + 1, t.top() - box.height()});
    }
    QRect best = home;
    int64_t nearest = std::numeric_limits<int64_t>::max();
    for (const int x : xs) {
        for (const int y : ys) {
            const QRect r = InsideView(QRect(QPoint(x, y), box.size()), view);
            const int64_t d = std::abs(int64_t(r.left()) - box.left()) + std::abs(int64_t(r.top()) - box.top());
            if (d < nearest && free(r)) {
                best = r;
                nearest = d;
            }
        }
    }
    return best;
}

} // namespace

void TMeasuring::PlaceLabels() {
    const bool apart = LabelsApart();
    const QRect view = cad_.ImageRect().isEmpty() ? cad_.rect() : cad_.ImageRect();
    std::vector<QRect> taken;
    for (int32_t i = 0; i < cad_.ShapeCount(); ++i) {
        TMyShape* shape = cad_.Shape(i);
        shape->LabelPlace.reset();
        // Shapes of other slices keep no room from the labels shown.
        if (!apart || !cad_.OnView(*shape)) continue;
        const std::optional<QRect> natural = shape->NaturalLabelBox();
        if (!natural || !view.contains(natural->topLeft())) continue;
        const QRect wanted = natural->translated(shape->LabelShift);
        const QRect box = FreePlace(wanted, view, taken, taken.size() < kMaxLabelsApart);
        taken.push_back(box.adjusted(-1, -1, 1, 1));
        // A region's label hangs centred under it; the others start at their point.
        const QPoint anchor = shape->Outline() ? QPoint(natural->center().x(), natural->top()) : natural->topLeft();
        shape->LabelPlace = TMyShape::TLabelPlace{box, anchor};
    }
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

std::optional<TCalibration> TMeasuring::Calibration() const {
    // An expired picture locks to null and so never matches the one shown.
    const imaging::TPicture* shown = cad_.Picture();
    if (!calibration_ || shown == nullptr || calibrated_.lock().get() != shown) return std::nullopt;
    return calibration_;
}

void TMeasuring::SetCalibration(std::optional<TCalibration> calibration) {
    if (cad_.Picture() == nullptr) return;
    calibration_ = calibration;
    calibrated_ = cad_.SharedPicture();
}

std::optional<TCalibration> TMeasuring::CalibrationFor(const TMyShape& ruler, double mm) const {
    const imaging::TPicture* shown = cad_.Picture();
    if (shown == nullptr || ruler.PointCount() < 2 || !(mm > 0.0) || !std::isfinite(mm)) return std::nullopt;
    const double dx = double(ruler.Points[0].X) - ruler.Points[1].X;
    const double dy = double(ruler.Points[0].Y) - ruler.Points[1].Y;
    // Pixels that are not square in the file stay so: only the scale is the user's.
    const double sx = shown->HasSpacing() ? shown->ColumnSpacing : 1.0;
    const double sy = shown->HasSpacing() ? shown->RowSpacing : 1.0;
    const double length = std::hypot(dx * sx, dy * sy);
    if (!(length > 0.0)) return std::nullopt;
    const TCalibration c{sx * mm / length, sy * mm / length};
    if (!(c.MmPerPixelX > 0.0 && c.MmPerPixelY > 0.0 && std::isfinite(c.MmPerPixelX) && std::isfinite(c.MmPerPixelY))) {
        return std::nullopt;
    }
    return c;
}

TPixelSpacing TMeasuring::PixelSpacing() const {
    if (const std::optional<TCalibration> c = Calibration()) {
        return TPixelSpacing{c->MmPerPixelX, c->MmPerPixelY, false, true};
    }
    const imaging::TPicture* shown = cad_.Picture();
    if (shown == nullptr || !shown->HasSpacing()) return TPixelSpacing{};
    return TPixelSpacing{shown->ColumnSpacing, shown->RowSpacing, AtDetector(), false};
}

QString TMeasuring::SpacingText() const {
    return Calibration() ? kCalibratedSpacingText : SpacingSourceText(Spacing());
}

void TMeasuring::LabelRegions() {
    const std::shared_ptr<const imaging::TPicture> values = RegionsLabelled() ? Values() : nullptr;
    const int32_t frame = Frame();
    const TPixelSpacing spacing = PixelSpacing();
    for (int32_t i = 0; i < cad_.ShapeCount(); ++i) {
        TMyShape* shape = cad_.Shape(i);
        shape->LabelSpacing = spacing;
        const std::optional<imaging::TRegion> region = values && cad_.OnView(*shape) ? shape->Outline() : std::nullopt;
        if (!region) {
            if (!shape->LabelLines.isEmpty()) shape->LabelLines.clear();
            continue;
        }
        shape->LabelLines = StatsLabelLines(WithSpacing(cache_.Get(shape, *region, values, frame), spacing), spacing);
    }
    PlaceLabels();
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
    const TPixelSpacing spacing = PixelSpacing();
    d.Measurement.Stats = WithSpacing(imaging::RegionStatistics(*values, Frame(), *outline), spacing);
    d.Measurement.Spacing = Spacing();
    d.Measurement.Calibrated = spacing.Calibrated;
    d.Lines = StatsLabelLines(*d.Measurement.Stats, spacing);
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
    // The spacing the ruler's label shows.
    const TPixelSpacing spacing = PixelSpacing();
    context.MmPerPixelX = spacing.X;
    context.MmPerPixelY = spacing.Y;
    context.Calibrated = spacing.Calibrated;
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
