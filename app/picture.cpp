// The built-in picture the main window shows, embedded in the program.
#include "app/picture.h"

#include <cstddef>

namespace kelvo {

// Written by the build (app/tools/embed_picture.cpp) from HeadSliceGrey.
extern const unsigned char kEmbeddedHeadSlice[kPictureSize * kPictureSize];

namespace {

QImage GreyToRgb888(const unsigned char* grey) {
    QImage image(kPictureSize, kPictureSize, QImage::Format_RGB888);
    for (int row = 0; row < kPictureSize; ++row) {
        const unsigned char* in = grey + static_cast<ptrdiff_t>(row) * kPictureSize;
        uchar* out = image.scanLine(row);
        for (int col = 0; col < kPictureSize; ++col) {
            out[3 * col] = in[col];
            out[3 * col + 1] = in[col];
            out[3 * col + 2] = in[col];
        }
    }
    return image;
}

} // namespace

QImage BuiltInPicture() { return GreyToRgb888(kEmbeddedHeadSlice); }

QImage ComputedPicture() { return GreyToRgb888(HeadSliceGrey().data()); }

} // namespace kelvo
