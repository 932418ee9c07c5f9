// The canvas's backing image: the rendered part of the canvas that its scroll area lets be seen, and the surface drawing into it.
#pragma once

#include "platform/surface.h"

#include <QImage>
#include <QRect>
#include <QRegion>

namespace kelvo {

// Holds the pixels of one rectangle of the canvas, in canvas coordinates; the surface
// draws into them unless pointed elsewhere for a while.
class TBacking {
public:
    TBacking() { surface_.SetImage(&image_, QPoint()); }
    TBacking(const TBacking&) = delete;
    TBacking& operator=(const TBacking&) = delete;

    const QImage& Image() const { return image_; }
    // The part of the canvas the image holds; empty without an image.
    QRect Rect() const { return rect_; }
    TSurface& Surface() { return surface_; }

    // Makes the image hold area, its pixels not yet drawn (no image when area is empty
    // or there is no memory for it).
    void Place(const QRect& area);
    // Moves the image to area, keeping the pixels both hold; gives the parts still to be
    // drawn (none when the image stays, area is empty or there is no memory).
    QRegion Follow(const QRect& area);
    // Copies what the image holds of area into out, whose top-left pixel is area's;
    // gives that part.
    QRect CopyInto(QImage& out, const QRect& area) const;
    // Points the surface at the image again after drawing elsewhere.
    void AimSurfaceHome() { surface_.SetImage(&image_, rect_.topLeft()); }

private:
    QImage image_;
    QRect rect_;
    TSurface surface_;
};

} // namespace kelvo
