// Reading the font configuration on a thread of its own while the application starts.
#pragma once

#include <thread>

namespace kelvo {

// Parsing fontconfig's configuration is most of the first use of a font (a few
// milliseconds of XML); begun before the application object is made, it is done by the
// time the first window measures its text. Start it once the environment is set (it
// reads it), and Wait() before anything uses a font: fontconfig would otherwise read
// its configuration a second time on the waiting thread.
class TFontWarmUp {
public:
    TFontWarmUp();
    ~TFontWarmUp();
    TFontWarmUp(const TFontWarmUp&) = delete;
    TFontWarmUp& operator=(const TFontWarmUp&) = delete;

    void Wait();

private:
    std::thread thread_;
};

} // namespace kelvo
