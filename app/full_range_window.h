// The window of a picture without one of its own, moved to the full range of values once frames arriving after the first are all in.
#pragma once

#include <memory>

namespace kelvo {

class TMyCAD;
namespace imaging {
class TPicture;
}

// Call once `picture` has been set on `cad`. While its frames are still arriving its
// default window spans those in so far; when the last is in, the canvas gets the full
// range's window, unless the user chose another window or picture meanwhile.
void FollowFullRange(TMyCAD* cad, const std::shared_ptr<const imaging::TPicture>& picture);

} // namespace kelvo
