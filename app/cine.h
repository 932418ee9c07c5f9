// Cine: the frames of a multi-frame picture played in a loop at the file's own rate.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace kelvo {

namespace imaging {
class TPicture;
}
class TMyCAD;

// Plays the canvas's frames one after the other, from the last back to the first, until
// toggled off or the canvas shows another picture. Frames that could not be read are
// passed over: a loop never stops on one.
class TCine : public QObject {
    Q_OBJECT
public:
    // Where the file names no rate.
    static constexpr double kDefaultRate = 10.0;
    // Rates beyond these are held to them: a slower loop looks stopped, a faster one
    // outruns any display.
    static constexpr double kMinRate = 0.5;
    static constexpr double kMaxRate = 120.0;

    explicit TCine(TMyCAD& canvas);
    // The rate a picture plays at, in frames per second.
    static double RateOf(const imaging::TPicture& picture);
    // Starts, or stops when playing; false when there is nothing to play (no picture
    // from a file, or a single frame).
    bool Toggle();
    void Stop();
    bool Playing() const { return timer_.isActive(); }
    // The time between two frames while playing.
    int IntervalMs() const { return timer_.interval(); }
    // Shows the next frame that can be shown, after the last the first; stops when the
    // canvas no longer shows the picture being played.
    void Advance();

private:
    QPointer<TMyCAD> canvas_;
    QTimer timer_;
    std::weak_ptr<const imaging::TPicture> playing_;
};

} // namespace kelvo
