// The canvas's picture: plain images, pictures from files through their window, and their zoomed parts.
#include "canvas/picture_layer.h"

#include <QLocale>

#include <cmath>

namespace kelvo {

QImage TPictureLayer::BackGround() const {
    if (!Stretched()) {
        return picture_->Render(frame_, window_);
    }
    return backGround_;
}

void TPictureLayer::Keep(const QImage& image) {
    backGround_ = image.isNull() ? QImage() : image.convertToFormat(QImage::Format_RGB32);
    sourceSize_ = backGround_.size();
}

void TPictureLayer::SetPlain(const QImage& image) {
    picture_.reset();
    rendered_ = QImage();
    Keep(image);
}

bool TPictureLayer::SetPicture(std::shared_ptr<const imaging::TPicture> picture) {
    if (picture->IsEmpty()) {
        return false;
    }
    const imaging::TWindow window = picture->DefaultWindow();
    // A colour or palette frame is kept rendered (its conversion is per sample or a
    // table lookup, and RGB32 is little more than its values); a monochrome one is
    // rendered from its values for the part shown at each paint.
    QImage rendered;
    if (picture->ShowsInColour()) {
        rendered = picture->Render(0, window);
        if (rendered.isNull()) {
            return false;
        }
    }
    picture_ = std::move(picture);
    rendered_ = rendered;
    window_ = window;
    frame_ = 0;
    if (picture_->ShowsInColour()) {
        Keep(rendered);
    } else {
        backGround_ = QImage();
        sourceSize_ = QSize(picture_->Width(), picture_->Height());
    }
    return true;
}

bool TPictureLayer::Show(int32_t frame, imaging::TWindow window) {
    if (picture_->ShowsInColour()) {
        // A window drag renders many times a second: the values go straight into the
        // buffer the picture already has, once nothing else shares it, instead of into a
        // freshly allocated (and page-faulted) image each time.
        if (rendered_.size() != QSize(picture_->Width(), picture_->Height()) ||
            rendered_.format() != QImage::Format_RGB32) {
            rendered_ = QImage(picture_->Width(), picture_->Height(), QImage::Format_RGB32);
            if (rendered_.isNull()) {
                return false;
            }
        }
        backGround_ = QImage();
        picture_->RenderInto(rendered_, frame, window, 0, 0, rendered_.width(), rendered_.height());
        Keep(rendered_);
    }
    frame_ = frame;
    window_ = window;
    return true;
}

void TPictureLayer::DrawPart(TSurface& surface, const QRect& area, QSize zoomed) const {
    if (zoomed.isEmpty()) {
        return;
    }
    if (!Stretched()) {
        picture_->RenderZoomed(*surface.Image(), surface.Origin(), area & QRect(QPoint(0, 0), zoomed), frame_, window_,
                               zoomed);
    } else if (!backGround_.isNull()) {
        // Stretching the source again gives the same pixels as a zoomed copy would,
        // and spares keeping one.
        surface.StretchDraw(TRect{0, 0, zoomed.width(), zoomed.height()}, backGround_);
    }
}

QString TPictureLayer::ValueText(int32_t px, int32_t py) const {
    const imaging::TPicture& p = *picture_;
    if (px < 0 || py < 0 || px >= p.Width() || py >= p.Height()) {
        return QString();
    }
    const QLocale locale;
    if (p.IsColour()) {
        const bool ybr = p.Photometric.startsWith(QLatin1String("YBR"));
        return (ybr ? QStringLiteral("Y %1 Cb %2 Cr %3") : QStringLiteral("R %1 G %2 B %3"))
            .arg(p.Stored(frame_, px, py, 0))
            .arg(p.Stored(frame_, px, py, 1))
            .arg(p.Stored(frame_, px, py, 2));
    }
    const double v = p.ModalityValue(frame_, px, py);
    QString text =
        (v == std::trunc(v) && std::abs(v) < 1e15) ? locale.toString(qlonglong(v)) : locale.toString(v, 'g', 6);
    if (!p.Unit.isEmpty()) {
        text += QLatin1Char(' ') + p.Unit;
    }
    return text;
}

} // namespace kelvo
