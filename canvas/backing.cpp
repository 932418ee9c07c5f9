// The canvas's backing image: padded rows, and following the visible area.
#include "canvas/backing.h"

#include <algorithm>
#include <cstdlib>

namespace kelvo {

namespace {

// An RGB32 image whose rows are 64 bytes longer than its pixels need. With widths of
// 1024 or 2048 pixels the plain row length is a multiple of 4 KiB, so the pixels of one
// column all fall into the same cache sets and a vertical edge of xor feedback misses
// the cache on every row; the padding spreads them.
QImage PaddedImage(QSize size) {
    if (size.width() <= 0 || size.height() <= 0) {
        return QImage();
    }
    const size_t stride = size_t(size.width()) * 4 + 64;
    const size_t bytes = stride * size_t(size.height());
    void* buffer = std::malloc(bytes);
    if (buffer == nullptr) {
        return QImage();
    }
    return QImage(
        static_cast<uchar*>(buffer), size.width(), size.height(), qsizetype(stride), QImage::Format_RGB32,
        [](void* p) { std::free(p); }, buffer);
}

// Copies the part area of one image (its top-left pixel at fromOrigin) into another.
void CopyPart(const QImage& from, QPoint fromOrigin, QImage& to, QPoint toOrigin, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto* in =
            reinterpret_cast<const QRgb*>(from.constScanLine(y - fromOrigin.y())) + (area.left() - fromOrigin.x());
        auto* out = reinterpret_cast<QRgb*>(to.scanLine(y - toOrigin.y())) + (area.left() - toOrigin.x());
        std::copy(in, in + area.width(), out);
    }
}

} // namespace

void TBacking::Place(const QRect& area) {
    if (area.size() != image_.size()) {
        image_ = area.isEmpty() ? QImage() : PaddedImage(area.size());
    }
    rect_ = image_.isNull() ? QRect() : area;
    surface_.SetImage(&image_, rect_.topLeft());
}

QRegion TBacking::Follow(const QRect& area) {
    if (area == rect_ || area.isEmpty()) {
        return QRegion();
    }
    QImage next = PaddedImage(area.size());
    if (next.isNull()) {
        return QRegion();
    }
    const QRect kept = area & rect_;
    if (!kept.isEmpty()) {
        CopyPart(image_, rect_.topLeft(), next, area.topLeft(), kept);
    }
    image_ = next;
    rect_ = area;
    surface_.SetImage(&image_, area.topLeft());
    return QRegion(area).subtracted(QRegion(kept));
}

QRect TBacking::CopyInto(QImage& out, const QRect& area) const {
    const QRect kept = area & rect_;
    if (!kept.isEmpty()) {
        CopyPart(image_, rect_.topLeft(), out, area.topLeft(), kept);
    }
    return kept;
}

} // namespace kelvo
