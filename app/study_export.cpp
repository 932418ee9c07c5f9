// The shapes of a study measured image by image, each on its own slice's values.
#include "app/study_export.h"

#include "app/study_view.h"
#include "canvas/measurements.h"
#include "imaging/loader.h"
#include "platform/screen.h"

#include <QFileInfo>
#include <QHash>

#include <memory>

namespace kelvo {
namespace {

QString ImageKey(const QString& uid, int32_t frame) { return uid + QLatin1Char('#') + QString::number(frame); }

// Takes the shapes of each slice out of `byImage`, in the stack's order.
void Collect(const imaging::TStack& stack, QHash<QString, std::vector<TAnnotation>>& byImage,
             std::vector<TStudyImage>& into) {
    for (const imaging::TSlice& slice : stack.Slices) {
        const auto it = byImage.find(ImageKey(slice.SopInstanceUid, slice.Frame));
        if (it == byImage.end()) continue;
        into.push_back({slice, std::move(*it)});
        byImage.erase(it);
    }
}

QHash<QString, std::vector<TAnnotation>> ByImage(const std::vector<TAnnotation>& shapes) {
    QHash<QString, std::vector<TAnnotation>> byImage;
    for (const TAnnotation& a : shapes) byImage[ImageKey(a.Image.SopInstanceUid, a.Image.Frame)].push_back(a);
    return byImage;
}

} // namespace

std::vector<TStudyImage> ImagesWithShapes(const imaging::TStudyIndex& index, const std::vector<TAnnotation>& shapes) {
    QHash<QString, std::vector<TAnnotation>> byImage = ByImage(shapes);
    std::vector<TStudyImage> images;
    for (const imaging::TPatient& p : index.Patients) {
        for (const imaging::TStudy& s : p.Studies) {
            for (const imaging::TSeries& series : s.Series) {
                for (const imaging::TStack& stack : series.Stacks) Collect(stack, byImage, images);
            }
        }
    }
    return images;
}

std::vector<TStudyImage> ImagesWithShapes(const imaging::TStack& stack, const std::vector<TAnnotation>& shapes) {
    QHash<QString, std::vector<TAnnotation>> byImage = ByImage(shapes);
    std::vector<TStudyImage> images;
    Collect(stack, byImage, images);
    return images;
}

reports::TReportImage MeasuredImage(const TStudyImage& image, const std::optional<TCalibration>& calibration) {
    const auto picture = std::make_shared<const imaging::TPicture>(imaging::LoadPicture(image.Slice.File));
    std::vector<std::unique_ptr<TMyShape>> owned;
    std::vector<const TMyShape*> shapes;
    for (const TAnnotation& a : image.Shapes) {
        owned.push_back(MakeShape(a));
        shapes.push_back(owned.back().get());
    }
    TMeasureContext context;
    context.Picture = picture;
    context.Frame = image.Slice.Frame;
    if (calibration) {
        context.MmPerPixelX = calibration->MmPerPixelX;
        context.MmPerPixelY = calibration->MmPerPixelY;
        context.Calibrated = true;
    } else if (picture->HasSpacing()) {
        context.MmPerPixelX = picture->ColumnSpacing;
        context.MmPerPixelY = picture->RowSpacing;
    }
    context.Spacing = picture->SpacingSource;
    context.DotsPerInch = ScreenPixelsPerInch();
    context.File = QFileInfo(image.Slice.File).fileName();
    context.SopInstanceUid = picture->SopInstanceUid;
    reports::TReportImage out;
    out.File = image.Slice.File;
    out.Frame = image.Slice.Frame;
    out.Shapes = image.Shapes;
    out.Measurements = Measure(shapes, context);
    out.Window = picture->DefaultWindow(image.Slice.Frame);
    return out;
}

} // namespace kelvo
