// Moving about a picture from a file in the canvas's scroll box: fitting it to the view, zooming about a point, panning.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSize>

class QScrollArea;

namespace kelvo {

class TMyCAD;

// Watches the canvas and the scroll box's viewport for the view's gestures and applies
// them; the canvas's own tools never see those events. Every gesture acts only on a
// picture from a file: the built-in picture keeps its zoom box alone.
//
// Alt+wheel zooms about the cursor. Ctrl+wheel already steps frames and the plain wheel
// belongs to scrolling and slice stepping, so zoom takes the one modifier left; X11
// reports Alt+wheel as a horizontal turn, which counts the same. The middle button, or
// the left one while Space is held on the canvas, drags the picture.
class TViewNavigation : public QObject {
    Q_OBJECT
public:
    // The zooms the gestures may reach; the canvas refuses sides beyond kMaxViewSide
    // before that on very large pictures.
    static constexpr double kMinZoom = 1.0 / 64;
    static constexpr double kMaxZoom = 64.0;
    // The zoom factor of one wheel notch (120 eighths of a degree).
    static constexpr double kNotchFactor = 1.25;

    TViewNavigation(QScrollArea& area, TMyCAD& canvas);

    // The zoom that shows the whole picture in the scroll box without scroll bars; 0
    // without a picture from a file.
    double FitZoom() const;
    // Shows the whole picture, from its top-left corner; false without a picture.
    bool Fit();
    // Fits only a picture that the current zoom makes larger than the view.
    bool FitIfLarger();
    // Zooms to zoom (held within kMinZoom..kMaxZoom) keeping the picture point under
    // the viewport position where it is; false when the canvas refuses the zoom.
    bool ZoomAbout(double zoom, QPoint viewportPos);
    // Moves the picture by delta screen pixels, as far as the scroll bars go.
    void PanBy(QPoint delta);
    bool Panning() const { return panning_; }
    bool SpaceHeld() const { return spaceHeld_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool Active() const;
    // The room the picture has in the view.
    QSize Room() const;
    QPoint ToViewport(QObject* watched, QPointF local) const;
    bool Wheel(QObject* watched, QEvent* event);
    bool Mouse(QEvent* event);
    bool Key(QEvent* event);
    // The gesture's events, when they are the view's; true when used.
    bool Dispatch(QObject* watched, QEvent* event);
    void ShowHand();

    // Null once either is gone or being torn down: its children still send events to
    // this filter then, and the widget is no longer a scroll area or a canvas.
    QScrollArea* Area() const;
    TMyCAD* Canvas() const;

    QPointer<QWidget> area_;
    QPointer<QWidget> canvas_;
    bool panning_ = false;
    bool spaceHeld_ = false;
    QPoint panFrom_;
};

} // namespace kelvo
