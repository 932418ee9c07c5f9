// Fontconfig's configuration read ahead of the first font use.
#include "platform/font_warm_up.h"

#include <fontconfig/fontconfig.h>

namespace kelvo {

// FcInit keeps the configuration it reads as the current one, which is what Qt's font
// database asks for; a failure here leaves Qt to try again and report it.
TFontWarmUp::TFontWarmUp() : thread_([] { (void)FcInit(); }) {}

TFontWarmUp::~TFontWarmUp() { Wait(); }

void TFontWarmUp::Wait() {
    if (thread_.joinable()) thread_.join();
}

} // namespace kelvo
