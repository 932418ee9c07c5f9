// Statistics of the modality values inside a region outline: rectangle, ellipse or closed polygon.
#pragma once

#include "imaging/picture.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace kelvo::imaging {

// Which pixels a region holds, one rule for every kind: pixel (x, y) covers
// [x, x+1) x [y, y+1) and belongs to the region when its centre (x + 1/2, y + 1/2)
// lies inside the outline or on it. Outline points are corner coordinates in that
// same system, so a rectangle from (10, 10) to (50, 30) holds columns 10..49 and rows
// 10..29 (the pixels its outline is drawn over), and the polygon through its four
// corners holds exactly the same pixels. An ellipse is the one inscribed in the box of
// its two points. A polygon is closed by its last-to-first edge; where it crosses
// itself, the even-odd rule decides. All tests are exact (integer arithmetic), so no
// rounding decides a pixel on the outline.
enum class TRegionKind : uint8_t { Rectangle, Ellipse, Polygon };

// Outline points are held within +-kMaxRegionCoordinate (far beyond any picture), which
// keeps the exact tests within 128-bit integers.
constexpr int32_t kMaxRegionCoordinate = (1 << 28) - 1;

struct TRegionPoint {
    int32_t X = 0;
    int32_t Y = 0;
    bool operator==(const TRegionPoint&) const = default;
};

struct TRegion {
    TRegionKind Kind = TRegionKind::Rectangle;
    // Rectangle and ellipse: two opposite corners, in any order. Polygon: its vertices;
    // fewer than three hold no pixel.
    std::vector<TRegionPoint> Points;
    bool operator==(const TRegion&) const = default;
};

struct TRegionStats {
    int64_t Count = 0;
    // Count times the area of one pixel: mm^2 when AreaInMm2, else pixels.
    double Area = 0.0;
    bool AreaInMm2 = false;
    // Over the modality values of the pixels; NaN when Count is 0. Sd is the population
    // standard deviation (divided by Count, not Count - 1), as viewers report it.
    double Mean = 0.0;
    double Sd = 0.0;
    double Min = 0.0;
    double Max = 0.0;
    // The unit of the values ("HU" for CT), empty when unknown.
    QString Unit;
};

// One row's run of region pixels, columns First..Last inclusive, already clipped to
// the picture; rows without pixels are left out.
struct TRegionSpan {
    int32_t Y = 0;
    int32_t First = 0;
    int32_t Last = -1;
};

// The region's pixels within a width x height picture, row by row from the top.
// Polygons where the even-odd rule leaves holes give several spans per row.
std::vector<TRegionSpan> RegionSpans(const TRegion& region, int32_t width, int32_t height);

// Statistics of the region on one frame. Colour pictures are measured on their luma
// (TPicture::Luma: Y of YBR, 0.299 R + 0.587 G + 0.114 B of RGB). A frame out of range
// gives Count 0.
TRegionStats RegionStatistics(const TPicture& picture, int32_t frame, const TRegion& region);

} // namespace kelvo::imaging
