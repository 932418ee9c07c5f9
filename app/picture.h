// The built-in picture the main window shows: a grey-scale head slice computed by the program.
#pragma once

#include <QImage>

namespace kelvo {

constexpr int kPictureSize = 512;

// A 512 x 512 picture, 24 bits per pixel, red = green = blue in every pixel: an
// axial head slice in the manner of a CT image (skull, brain with a soft mottled
// texture, ventricles, small lesions, the couch below). The same pixels on every
// call: no randomness and no files; the texture comes from integer hashing.
QImage BuiltInPicture();

} // namespace kelvo
