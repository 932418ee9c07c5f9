// The drawing of the built-in picture: a grey-scale head slice from ellipses and soft texture.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvo {

constexpr int kPictureSize = 512;

// kPictureSize x kPictureSize grey levels, row by row from the top: an axial
// head slice in the manner of a CT image (skull, brain with a soft mottled
// texture, ventricles, small lesions, the couch below). The same levels on every
// call: no randomness and no files; the texture comes from integer hashing.
// Plain C++, so that the build can run it and embed the result in the program.
std::vector<uint8_t> HeadSliceGrey();

} // namespace kelvo
