// The window's view controls for pictures from files: fit (F), wheel zoom and pan, the zoom readout and cine (P).
#pragma once

#include <QObject>

class QAction;
class QScrollArea;
class QWidget;

namespace kelvo {

class TCine;
class TMyCAD;
class TViewNavigation;
class TZoomReadout;

// Keys: F fits the picture to the view, P plays or pauses its frames. Both are the
// window's, so they work whichever control has the focus, except in a text box.
class TViewControls : public QObject {
    Q_OBJECT
public:
    TViewControls(QWidget& window, QScrollArea& box, TMyCAD& canvas);

    // A picture from a file was just shown: it comes fitted to the view when the zoom
    // in force would make it larger than the view, and any cine playing ends.
    void PictureOpened();

    TViewNavigation* Navigation = nullptr;
    TZoomReadout* ZoomLabel = nullptr;
    TCine* Cine = nullptr;
    QAction* FitAction = nullptr;
    QAction* PlayAction = nullptr;
};

} // namespace kelvo
