// The built-in picture the main window shows, embedded in the program.
#pragma once

#include "app/head_slice.h"

#include <QImage>

namespace kelvo {

// The head slice of HeadSliceGrey as a 512 x 512 picture with 24 bits per pixel
// and red = green = blue in every pixel. The grey levels were computed when the
// program was built and are part of it; nothing is read from a file.
QImage BuiltInPicture();

// The same picture computed now, for checking that the embedded one is current.
QImage ComputedPicture();

} // namespace kelvo
