// The display's logical resolution, which measurements convert pixels to inches with.
#pragma once

#include <cstdint>

namespace kelvo {

// Logical pixels per inch of the primary screen, rounded to a whole number as the
// Windows display reports it; 96 when no GUI application or screen exists.
int32_t ScreenPixelsPerInch();

} // namespace kelvo
