// The view controls: fit, zoom readout and cine, wired to the canvas and the window's keys.
#include "app/view_controls.h"

#include "app/cine.h"
#include "app/zoom_readout.h"
#include "canvas/my_cad.h"
#include "canvas/view_navigation.h"
#include "platform/guarded.h"

#include <QAction>
#include <QScrollArea>
#include <QWidget>

namespace kelvo {

TViewControls::TViewControls(QWidget& window, QScrollArea& box, TMyCAD& canvas) : QObject(&window) {
    Navigation = new TViewNavigation(box, canvas);
    ZoomLabel = new TZoomReadout(box, &window);
    Cine = new TCine(canvas);

    // The zoom shows as it changes; a paint follows every change of picture, which
    // shows or hides the label.
    canvas.OnZoom = [this](TMyCAD* sender) { ZoomLabel->Show(*sender); };
    const TMyCAD::TNotifyEvent painted = canvas.OnPaint;
    canvas.OnPaint = [this, painted](TMyCAD* sender) {
        if (painted) {
            painted(sender);
        }
        ZoomLabel->Show(*sender);
    };

    FitAction = new QAction(QStringLiteral("Fit"), &window);
    FitAction->setObjectName(QStringLiteral("FitAction"));
    FitAction->setShortcut(QKeySequence(Qt::Key_F));
    connect(FitAction, &QAction::triggered, this, [this] { (void)Guarded("fit", [&] { (void)Navigation->Fit(); }); });
    PlayAction = new QAction(QStringLiteral("Play frames"), &window);
    PlayAction->setObjectName(QStringLiteral("PlayAction"));
    PlayAction->setShortcut(QKeySequence(Qt::Key_P));
    connect(PlayAction, &QAction::triggered, this, [this] { (void)Guarded("cine", [&] { (void)Cine->Toggle(); }); });
    window.addAction(FitAction);
    window.addAction(PlayAction);
}

void TViewControls::PictureOpened() {
    Cine->Stop();
    (void)Navigation->FitIfLarger();
}

} // namespace kelvo
