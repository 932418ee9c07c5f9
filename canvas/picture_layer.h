// The canvas's picture: a plain image, or a picture from a file with its window and frame, and how a part of it is drawn zoomed.
#pragma once

#include "imaging/picture.h"
#include "platform/surface.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>

namespace kelvo {

// What the canvas shows under its shapes. A monochrome picture from a file is drawn from
// its values for the part shown; a plain image and a colour picture's rendered frame
// are stretched.
class TPictureLayer {
public:
    const imaging::TPicture* Picture() const { return picture_.get(); }
    const std::shared_ptr<const imaging::TPicture>& SharedPicture() const { return picture_; }
    imaging::TWindow Window() const { return window_; }
    int32_t Frame() const { return frame_; }
    // The size at zoom 1; empty without a picture.
    QSize SourceSize() const { return sourceSize_; }
    // Whether the picture is kept as an image (a plain one, or a colour frame), rather
    // than drawn from values.
    bool Stretched() const { return picture_ == nullptr || picture_->ShowsInColour(); }
    // The picture as shown at zoom 1 (a monochrome picture rendered for the asking).
    QImage BackGround() const;

    // A plain image (null: none), ending any picture.
    void SetPlain(const QImage& image);
    // A picture at its first frame through its own window; false, changing nothing,
    // when it cannot be rendered.
    bool SetPicture(std::shared_ptr<const imaging::TPicture> picture);
    // Renders the frame through the window and takes both; false, changing nothing,
    // when there is no memory for it. A monochrome picture is rendered by the next draw.
    bool Show(int32_t frame, imaging::TWindow window);

    // Draws the part area of the picture zoomed to zoomed into the surface's image.
    void DrawPart(TSurface& surface, const QRect& area, QSize zoomed) const;
    // The value under picture pixel (px, py) as the value label shows it; empty outside.
    QString ValueText(int32_t px, int32_t py) const;

private:
    void Keep(const QImage& image);

    // The image to stretch: a plain picture, or a colour picture's frame through its
    // window; null for a monochrome picture, which is rendered from its values.
    QImage backGround_;
    QSize sourceSize_;
    std::shared_ptr<const imaging::TPicture> picture_;
    QImage rendered_; // a colour picture's frame through its window, reused while the window changes
    imaging::TWindow window_;
    int32_t frame_ = 0;
};

} // namespace kelvo
