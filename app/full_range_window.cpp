// Hands the full range's window to the canvas on the GUI thread once the last frame is in.
#include "app/full_range_window.h"

#include "canvas/my_cad.h"
#include "imaging/picture.h"

#include <QCoreApplication>
#include <QPointer>

namespace kelvo {

void FollowFullRange(TMyCAD* cad, const std::shared_ptr<const imaging::TPicture>& picture) {
    if (cad == nullptr || picture == nullptr || picture->Complete()) return;
    const imaging::TWindow provisional = cad->Window();
    if (!(provisional == picture->DefaultWindow())) return; // the file's own window stays
    // The picture holds this call: a weak reference, or it would keep itself alive.
    const std::weak_ptr<const imaging::TPicture> weak = picture;
    QPointer<TMyCAD> canvas(cad);
    picture->WhenComplete([weak, canvas, provisional] {
        // On the worker's thread: the canvas is only touched from the GUI thread, whose
        // application object outlives every picture it shows.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak, canvas, provisional] {
                const std::shared_ptr<const imaging::TPicture> complete = weak.lock();
                if (canvas.isNull() || complete == nullptr || canvas->SharedPicture() != complete ||
                    !(canvas->Window() == provisional)) {
                    return;
                }
                canvas->SetWindow(complete->DefaultWindow());
            },
            Qt::QueuedConnection);
    });
}

} // namespace kelvo
