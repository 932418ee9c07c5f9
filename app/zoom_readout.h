// The label under the canvas's scroll box that tells the zoom in force on a picture from a file.
#pragma once

#include <QLabel>
#include <QPointer>

class QScrollArea;

namespace kelvo {

class TMyCAD;

// Sits at the right end of the strip under the scroll box and follows the box as the
// window is resized. Shown only while the canvas holds a picture from a file, so that
// the built-in picture's window looks as it always did.
class TZoomReadout : public QLabel {
    Q_OBJECT
public:
    TZoomReadout(QScrollArea& below, QWidget* parent);
    // "Zoom 250 %"; below 10 % with one decimal, so that small zooms stay told apart.
    static QString Text(double zoom);
    // Shows the canvas's zoom, or hides for the built-in picture.
    void Show(const TMyCAD& canvas);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Place();

    QPointer<QWidget> below_; // its geometry only: it may be half torn down when it moves
};

} // namespace kelvo
