// The shapes of a study measured image by image, each on its own values: what the headless export of a folder and the report of a series are made of.
#pragma once

#include "canvas/annotations.h"
#include "imaging/study_index.h"
#include "reports/reports.h"

#include <QString>

#include <optional>
#include <vector>

namespace kelvo {

// One image of a study with the shapes drawn on it.
struct TStudyImage {
    imaging::TSlice Slice;
    std::vector<TAnnotation> Shapes;
};

// The slices of `index` that carry shapes, in the index's order (patient, study,
// series, then along the stack), each with its shapes in the order given; shapes of
// images that are not in the index are left out.
std::vector<TStudyImage> ImagesWithShapes(const imaging::TStudyIndex& index, const std::vector<TAnnotation>& shapes);
// The same over the slices of one stack.
std::vector<TStudyImage> ImagesWithShapes(const imaging::TStack& stack, const std::vector<TAnnotation>& shapes);

// The image read from its file and its shapes measured on the slice's own values, with
// the calibration when given (the user's spacing holds for every image of the study it
// was saved with), else the file's spacing; the window is the file's own. Throws
// imaging::EImageError when the file cannot be read again.
reports::TReportImage MeasuredImage(const TStudyImage& image, const std::optional<TCalibration>& calibration);

} // namespace kelvo
