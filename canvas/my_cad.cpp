// The canvas widget: picture and zoom, shape list and captions, cursor confinement, and Qt events passed to the tools.
#include "canvas/my_cad.h"

#include "canvas/canvas_tools.h"
#include "canvas/measuring.h"
#include "platform/guarded.h"
#include "platform/scope_exit.h"

#include <QCursor>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvo {

namespace {

bool ToButton(Qt::MouseButton qt, TMouseButton* out) {
    switch (qt) {
    case Qt::LeftButton:
        *out = TMouseButton::mbLeft;
        return true;
    case Qt::RightButton:
        *out = TMouseButton::mbRight;
        return true;
    case Qt::MiddleButton:
        *out = TMouseButton::mbMiddle;
        return true;
    default:
        return false;
    }
}

// The pixel under a position, held at the 32-bit limits (a captured mouse may report
// any position, and converting one beyond them would be undefined).
QPoint PixelAt(QPointF p) {
    const auto pixel = [](double v) { return RoundToInt32(std::floor(v)); };
    return QPoint(pixel(p.x()), pixel(p.y()));
}

QPoint LocalPoint(const QMouseEvent* e) { return PixelAt(e->position()); }

// The zoomed size of a picture side, or -1 when it is too large to allocate. A side
// that a small zoom truncates to nothing keeps one pixel: the canvas keeps showing the
// picture at (nearly) the size the zoom asks for, where an empty copy would leave it
// at its old size.
int64_t ZoomedSide(int32_t side, double zoom, int32_t limit) {
    const double v = std::trunc(double(side) * zoom);
    if (!(v >= 0.0) || v > double(limit)) {
        return -1;
    }
    return side > 0 ? std::max<int64_t>(int64_t(v), 1) : 0;
}

// Fills the part of area that lies outside picture, in an image whose top-left pixel
// is origin.
void FillOutside(QImage& image, QPoint origin, const QRect& area, const QRect& picture, QRgb colour) {
    for (const QRect& r : QRegion(area).subtracted(QRegion(picture))) {
        for (int y = r.top(); y <= r.bottom(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y - origin.y())) + (r.left() - origin.x());
            std::fill(row, row + r.width(), colour);
        }
    }
}

} // namespace

TMyCAD::TMyCAD(QWidget* parent) : QWidget(parent) {
    // The canvas paints all of its area itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Click chains draw their outline while no button is held.
    setMouseTracking(true);
    resize(105, 105);
    tools_ = MakeCanvasTools(*this, state_);
    tool_ = tools_.back().get();
    measuring_ = std::make_unique<TMeasuring>(*this);
}

TMyCAD::~TMyCAD() {
    if (clipped_) {
        ReleaseCursor();
    }
    state_.Current = nullptr;
}

void TMyCAD::SetBackGround(const QImage& picture) {
    layer_.SetPlain(picture);
    zoomLimit_ = kMaxZoomedSide;
    state_.WindowDrag = false;
    if (labelValue_ != nullptr) {
        labelValue_->clear();
    }
    ShowSource();
}

QImage TMyCAD::BackGround() const { return layer_.BackGround(); }

bool TMyCAD::SetPicture(std::shared_ptr<const imaging::TPicture> picture) {
    if (picture == nullptr) {
        SetBackGround(QImage());
        return true;
    }
    if (!layer_.SetPicture(std::move(picture))) {
        return false;
    }
    state_.WindowDrag = false;
    ShowSource();
    // Shapes still here were drawn on the old picture, and opening a file clears them
    // next: labelling their regions from the new values now would be wasted. The next
    // paint renders whatever is left then.
    if (shapes_.empty()) Paint();
    return true;
}

void TMyCAD::SetWindow(imaging::TWindow window) {
    if (layer_.Picture() == nullptr || !std::isfinite(window.Center) || !std::isfinite(window.Width)) {
        return;
    }
    window.Width = std::max(1.0, window.Width);
    (void)ShowPicture(layer_.Frame(), window);
}

bool TMyCAD::ShowPicture(int32_t frame, imaging::TWindow window) {
    if (!layer_.Show(frame, window)) {
        return false;
    }
    if (layer_.Stretched()) {
        ShowSource();
    } else {
        // Rendered from the values, for the part shown, by the next paint.
        needsRender_ = true;
        update();
    }
    return true;
}

void TMyCAD::ResetWindow() {
    if (layer_.Picture() != nullptr) {
        SetWindow(layer_.Picture()->DefaultWindow());
    }
}

bool TMyCAD::SetFrame(int32_t frame) {
    const imaging::TPicture* picture = layer_.Picture();
    if (picture == nullptr || frame < 0 || frame >= picture->Frames() || frame == layer_.Frame() ||
        picture->FrameFailed(frame)) {
        return false;
    }
    return ShowPicture(frame, layer_.Window());
}

void TMyCAD::ClearShapes() {
    measuring_->ForgetStatistics();
    // Clearing nothing changes nothing on the canvas, and needs no new frame (opening a
    // file clears right after the new picture was drawn).
    if (shapes_.empty() && state_.Current == nullptr && state_.Pending == nullptr && state_.Drag == DragNone) return;
    if (state_.Pending != nullptr || state_.Drag != DragNone) {
        AbandonConstruction();
    }
    state_.Current = nullptr;
    shapes_.clear();
    Paint();
}

void TMyCAD::ShowSource() {
    const QSize source = layer_.SourceSize();
    if (source.isEmpty()) {
        zoomedSize_ = QSize();
    } else {
        // The picture is shown at the current zoom so that it and the shapes agree; a
        // zoom the new picture cannot take falls back to 1.
        std::optional<QSize> zoomed = ZoomedSourceSize(zoom_, zoomLimit_);
        if (!zoomed) {
            zoom_ = 1.0;
            ShapeSettings.Zoom = 1.0;
            zoomed = source;
            ZoomChanged();
        }
        zoomedSize_ = *zoomed;
        if (!zoomedSize_.isEmpty()) {
            resize(zoomedSize_);
        }
    }
    needsRender_ = true;
    update();
}

std::optional<QSize> TMyCAD::ZoomedSourceSize(double zoom, int32_t limit) const {
    const QSize source = layer_.SourceSize();
    if (source.isEmpty()) {
        return QSize();
    }
    const int64_t w = ZoomedSide(source.width(), zoom, limit);
    const int64_t h = ZoomedSide(source.height(), zoom, limit);
    if (w < 0 || h < 0) {
        return std::nullopt;
    }
    return QSize(int32_t(w), int32_t(h));
}

void TMyCAD::ZoomChanged() {
    if (OnZoom) {
        OnZoom(this);
    }
}

void TMyCAD::SetShapeTool(TDrawTool tool) {
    if (tool != SpNone && KindRowOfTool(tool) == nullptr) {
        return;
    }
    // An unfinished polyline or sector, or a drag in progress, does not carry over into
    // another tool: it is dropped and its feedback wiped. Choosing the active tool again
    // is no change and keeps it.
    if (tool != shapeTool_ && (state_.Pending != nullptr || state_.Drag != DragNone)) {
        AbandonConstruction();
    }
    shapeTool_ = tool;
    state_.Mode = (tool == SpNone) ? ModeSelect : ModeDraw;
    tool_ = tools_[size_t(tool)].get();
}

void TMyCAD::AbandonConstruction() {
    const bool hadPending = state_.Pending != nullptr;
    if (hadPending) {
        if (state_.Current == state_.Pending.get()) {
            state_.Current = nullptr;
        }
        state_.Pending.reset();
        state_.PendingTool = SpNone;
    }
    tool_->Abandon();
    state_.Drag = DragNone;
    // The counter is process-wide and counts only a sector under construction.
    SectorClicks = 0;
    if (clipped_) {
        ReleaseCursor();
    }
    Paint();
}

void TMyCAD::SetColorOfShadow(TColor color) {
    colorOfShadow_ = color;
    ShapeSettings.ColorOfShadow = color;
}

void TMyCAD::SetColorOfHot(TColor color) {
    colorOfHot_ = color;
    ShapeSettings.ColorOfHot = color;
}

bool TMyCAD::SetZoom(double zoom) {
    if (!std::isfinite(zoom) || !(zoom > 0.0)) {
        return false;
    }
    // No zoomed copy of the picture is kept, and the image covers only the visible
    // part of the canvas: a zoom costs no memory beyond that, whatever its size.
    const std::optional<QSize> zoomed = ZoomedSourceSize(zoom, kMaxZoomedSide);
    if (!zoomed) {
        return false;
    }
    zoom_ = zoom;
    zoomLimit_ = kMaxZoomedSide;
    ShapeSettings.Zoom = zoom;
    zoomedSize_ = zoomed->isEmpty() ? QSize() : *zoomed;
    Paint();
    ZoomChanged();
    return true;
}

bool TMyCAD::SetViewZoom(double zoom) {
    if (!std::isfinite(zoom) || !(zoom > 0.0)) {
        return false;
    }
    const std::optional<QSize> zoomed = ZoomedSourceSize(zoom, kMaxViewSide);
    if (!zoomed) {
        return false;
    }
    zoom_ = zoom;
    zoomLimit_ = kMaxViewSide;
    ShapeSettings.Zoom = zoom;
    zoomedSize_ = zoomed->isEmpty() ? QSize() : *zoomed;
    if (!zoomedSize_.isEmpty()) {
        resize(zoomedSize_);
    }
    needsRender_ = true;
    update();
    ZoomChanged();
    return true;
}

void TMyCAD::SetDICOMStyle(bool value) {
    dicomStyle_ = value;
    ShapeSettings.DICOMStyle = value;
    Paint();
}

void TMyCAD::SetShadow(bool value) {
    shadow_ = value;
    ShapeSettings.Shadow = value;
    Paint();
}

QRect TMyCAD::VisibleArea() const {
    QRect area = rect();
    QPoint offset;
    const QWidget* w = this;
    while (!w->isWindow() && w->parentWidget() != nullptr) {
        offset += w->pos();
        w = w->parentWidget();
        area &= w->rect().translated(-offset);
    }
    return area;
}

void TMyCAD::FollowVisibleArea() {
    for (const QRect& exposed : backing_.Follow(VisibleArea())) {
        RenderArea(exposed, TShapesAs::Rendered);
    }
}

void TMyCAD::DrawPicturePart(const QRect& area) {
    TSurface& surface = backing_.Surface();
    FillOutside(*surface.Image(), surface.Origin(), area, QRect(QPoint(0, 0), zoomedSize_),
                palette().color(QPalette::Window).rgb());
    layer_.DrawPart(surface, area, zoomedSize_);
}

void TMyCAD::DrawShapesAsRendered(const QRect& area) {
    if (renderedSelection_.size() != shapes_.size()) {
        DrawShapesMeeting(area);
        return;
    }
    std::vector<char> now(shapes_.size());
    for (size_t i = 0; i < shapes_.size(); ++i) {
        now[i] = shapes_[i]->Selected;
        shapes_[i]->Selected = renderedSelection_[i] != 0;
    }
    DrawShapesMeeting(area);
    for (size_t i = 0; i < shapes_.size(); ++i) {
        shapes_[i]->Selected = now[i] != 0;
    }
}

void TMyCAD::MeasureShapes() {
    if (shapeExtents_.size() == shapes_.size()) {
        return;
    }
    // Measured selected: the extent then holds the hot points whether they show or not.
    const TPen pen = backing_.Surface().Pen;
    const TBrush brush = backing_.Surface().Brush;
    const TFont font = backing_.Surface().Font;
    const TPoint penPos = backing_.Surface().PenPos();
    backing_.Surface().SetMeasuring(true);
    shapeExtents_.resize(shapes_.size());
    for (size_t i = 0; i < shapes_.size(); ++i) {
        TMyShape& shape = *shapes_[i];
        const bool selected = shape.Selected;
        shape.Selected = true;
        backing_.Surface().ResetExtent();
        shape.Draw();
        shape.Selected = selected;
        shapeExtents_[i] = backing_.Surface().Extent();
    }
    backing_.Surface().SetMeasuring(false);
    backing_.Surface().Pen = pen;
    backing_.Surface().Brush = brush;
    backing_.Surface().Font = font;
    backing_.Surface().MoveTo(penPos.X, penPos.Y);
}

void TMyCAD::DrawShapesMeeting(const QRect& area) {
    if (area.contains(rect())) {
        DrawShapes();
        return;
    }
    MeasureShapes();
    // The oldest shape is drawn last and so lies on top.
    for (size_t i = shapes_.size(); i-- > 0;) {
        if (shapeExtents_[i].intersects(area) && OnView(*shapes_[i])) {
            shapes_[i]->Draw();
        }
    }
}

void TMyCAD::RenderArea(const QRect& area, TShapesAs shapes) {
    if (backing_.Surface().Image() == nullptr || backing_.Surface().Image()->isNull() || area.isEmpty()) {
        return;
    }
    // What is drawn here is the canvas itself, not feedback: it is not recorded, and
    // the pen, brush and font the tools left are kept.
    const bool recording = backing_.Surface().Recording();
    const TPen pen = backing_.Surface().Pen;
    const TBrush brush = backing_.Surface().Brush;
    const TFont font = backing_.Surface().Font;
    const TPoint penPos = backing_.Surface().PenPos();
    const QRect touched = backing_.Surface().Touched();
    backing_.Surface().SetRecording(false);
    backing_.Surface().SetClip(area);
    DrawPicturePart(area);
    switch (shapes) {
    case TShapesAs::Rendered:
        DrawShapesAsRendered(area);
        backing_.Surface().Replay();
        break;
    case TShapesAs::Now:
        LabelShapes();
        DrawShapesMeeting(area);
        break;
    case TShapesAs::Reselected:
        DrawShapesMeeting(area);
        break;
    }
    backing_.Surface().SetClip(QRect());
    backing_.Surface().SetRecording(recording);
    backing_.Surface().Pen = pen;
    backing_.Surface().Brush = brush;
    backing_.Surface().Font = font;
    backing_.Surface().MoveTo(penPos.X, penPos.Y);
    backing_.Surface().ResetTouched();
    backing_.Surface().AddTouched(touched);
}

void TMyCAD::Render() {
    if (!zoomedSize_.isEmpty() && size() != zoomedSize_) {
        resize(zoomedSize_);
    }
    needsRender_ = false;
    renderedSize_ = size();
    // Anything may have changed since the last render.
    shapeExtents_.clear();
    if (size().isEmpty()) {
        return;
    }
    backing_.Place(VisibleArea());
    backing_.Surface().SetRecording(false);
    backing_.Surface().ClearRecording();
    if (!backing_.Image().isNull()) {
        RenderArea(backing_.Rect(), TShapesAs::Now);
    } else {
        LabelShapes();
    }
    FinishRender();
}

void TMyCAD::LabelShapes() {
    measuring_->LabelRegions();
    if (OnDrawShapes) {
        OnDrawShapes(this);
    }
}

std::unique_ptr<TMyShape> TMyCAD::ShapeIfReleasedAt(int32_t x, int32_t y) const { return tool_->ReleasedAt(TPoint{x, y}); }

void TMyCAD::FinishRender() {
    backing_.Surface().ResetTouched();
    renderedSelection_.resize(shapes_.size());
    for (size_t i = 0; i < shapes_.size(); ++i) {
        renderedSelection_[i] = shapes_[i]->Selected;
    }
    // From here on, what the tools draw is recorded, so that a part of the canvas
    // scrolled into view later shows their feedback too.
    backing_.Surface().SetRecording(true);
    tool_->Redraw();
    backing_.Surface().ResetTouched();
    if (OnPaint) {
        OnPaint(this);
    }
}

void TMyCAD::PaintSelection() {
    if (needsRender_ || backing_.Image().isNull() || renderedSelection_.size() != shapes_.size() || backing_.Surface().RecordingLost()) {
        Paint();
        return;
    }
    // Hot points were drawn straight into the image as the selection changed: where
    // it changed, the canvas is rendered again so that it holds exactly what a paint
    // would give; elsewhere, hot points drawn and hidden again have left nothing.
    std::vector<QRect> changed;
    for (size_t i = 0; i < shapes_.size(); ++i) {
        if ((renderedSelection_[i] != 0) != shapes_[i]->Selected) {
            changed.push_back(HotPointsExtent(*shapes_[i]));
        }
    }
    if (changed.empty()) {
        return;
    }
    backing_.Surface().SetRecording(false);
    backing_.Surface().ClearRecording();
    lastRefreshed_ = QRect();
    for (const QRect& area : changed) {
        const QRect shown = area & backing_.Rect();
        RenderArea(shown, TShapesAs::Reselected);
        lastRefreshed_ |= shown;
    }
    FinishRender();
    if (!lastRefreshed_.isEmpty()) {
        update(lastRefreshed_);
    }
}

QRect TMyCAD::HotPointsExtent(TMyShape& shape) {
    // The selection shows only in the hot points (TMyShape's drawing passes).
    const TPen pen = backing_.Surface().Pen;
    const TBrush brush = backing_.Surface().Brush;
    backing_.Surface().SetMeasuring(true);
    backing_.Surface().ResetExtent();
    shape.DrawHotPoints();
    backing_.Surface().SetMeasuring(false);
    backing_.Surface().Pen = pen;
    backing_.Surface().Brush = brush;
    return backing_.Surface().Extent();
}

QImage TMyCAD::CanvasPixels(const QRect& wanted) {
    if (needsRender_) {
        Render();
    }
    const QRect area = wanted & rect();
    if (area.isEmpty()) {
        return QImage();
    }
    QImage out(area.size(), QImage::Format_RGB32);
    if (out.isNull()) {
        return out;
    }
    const QRect kept = backing_.CopyInto(out, area);
    const QRegion rest = QRegion(area).subtracted(QRegion(kept));
    if (!rest.isEmpty()) {
        backing_.Surface().SetImage(&out, area.topLeft());
        for (const QRect& r : rest) {
            RenderArea(r, TShapesAs::Rendered);
        }
        backing_.AimSurfaceHome();
    }
    return out;
}

void TMyCAD::Paint() {
    Render();
    lastRefreshed_ = QRect();
    update();
}

void TMyCAD::DrawShapes() {
    // The oldest shape is drawn last and so lies on top.
    for (int32_t i = ShapeCount() - 1; i >= 0; --i) {
        if (OnView(*shapes_[size_t(i)])) shapes_[size_t(i)]->Draw();
    }
}

std::unique_ptr<TMyShape> TMyCAD::CreateShape(TDrawTool tool) {
    const TShapeKindRow* row = KindRowOfTool(tool);
    if (row == nullptr) {
        return nullptr;
    }
    std::unique_ptr<TMyShape> shape = row->Make();
    shape->Canvas = &backing_.Surface();
    shape->Pen = pen_;
    shape->Font = font_;
    return shape;
}

QString TMyCAD::AskAnnotation() {
    if (AnnotationDialog) {
        return AnnotationDialog(this);
    }
    bool ok = false;
    const QString text = QInputDialog::getText(this, QStringLiteral("Please Input "), QStringLiteral("Annotation"),
                                               QLineEdit::Normal, QString(), &ok);
    return ok ? text : QString();
}

void TMyCAD::SetShownImage(const QString& uid, int32_t frame) {
    if (uid == shownUid_ && frame == shownFrame_) return;
    shownUid_ = uid;
    shownFrame_ = frame;
    // A selection on the image left would stay selected out of sight.
    for (auto& shape : shapes_) shape->Selected = false;
    needsRender_ = true;
}

void TMyCAD::AddShape(std::unique_ptr<TMyShape> shape) {
    if (shape == nullptr) {
        return;
    }
    TMyShape* added = shape.get();
    added->ImageUid = shownUid_;
    added->ImageFrame = shownFrame_;
    shapes_.push_back(std::move(shape));
    // The caption is given by the tool in use, whatever the shape.
    const TShapeKindRow* row = KindRowOfTool(shapeTool_);
    if (row != nullptr && row->AsksCaption) {
        // The dialog's event loop may paint the canvas: it then shows the new shape as
        // committed, not the rubber band still in the image.
        needsRender_ = true;
        update();
        const QString text = AskAnnotation();
        // The dialog runs an event loop; the shape may have been deleted meanwhile.
        const bool stillListed =
            std::any_of(shapes_.begin(), shapes_.end(), [added](const auto& s) { return s.get() == added; });
        if (stillListed) {
            added->SetCaption(text);
        }
    } else if (row != nullptr && row->Region) {
        added->SetCaption(QStringLiteral("Roi-") + QString::number(RoiCount));
        if (RoiCount < std::numeric_limits<int32_t>::max()) {
            ++RoiCount;
        }
    }
}

void TMyCAD::AddCurrentShape() {
    if (state_.Pending == nullptr) {
        return;
    }
    state_.PendingTool = SpNone;
    AddShape(std::move(state_.Pending));
}

TMyShape* TMyCAD::Shape(int32_t index) const {
    if (index < 0 || index >= ShapeCount()) {
        return nullptr;
    }
    return shapes_[size_t(index)].get();
}

int32_t TMyCAD::SelectedIndex() const {
    int32_t result = -1;
    for (int32_t i = 0; i < ShapeCount(); ++i) {
        if (shapes_[size_t(i)]->Selected) {
            result = i;
        }
    }
    return result;
}

bool TMyCAD::DeleteShape(int32_t index) {
    if (index < 0 || index >= ShapeCount()) {
        return false;
    }
    if (shapes_[size_t(index)].get() == state_.Current) {
        state_.Current = nullptr;
    }
    shapes_.erase(shapes_.begin() + index);
    Paint();
    return true;
}

void TMyCAD::ShowPosition(int32_t x, int32_t y) {
    if (layer_.Picture() == nullptr) {
        if (labelXY_ != nullptr) {
            labelXY_->setText(QStringLiteral("(%1,%2)").arg(x).arg(y));
        }
        return;
    }
    // A picture from a file is measured in its own pixels, whatever the zoom.
    const auto px = int32_t(std::clamp(std::floor(double(x) / zoom_), -1e9, 1e9));
    const auto py = int32_t(std::clamp(std::floor(double(y) / zoom_), -1e9, 1e9));
    if (labelXY_ != nullptr) {
        labelXY_->setText(QStringLiteral("(%1,%2)").arg(px).arg(py));
    }
    if (labelValue_ != nullptr) {
        labelValue_->setText(layer_.ValueText(px, py));
    }
}

void TMyCAD::DragWindow(int32_t x, int32_t y) {
    // A drag across the canvas's width spans the picture's range of values, so any
    // picture, 8-bit or 16-bit, answers at a usable pace.
    const imaging::TPicture& picture = *layer_.Picture();
    const double range = std::max(1.0, picture.MaxValue() - picture.MinValue());
    const double perPixel = range / double(std::max(64, width()));
    // A drag leaves the file's display table for a linear window over its span.
    imaging::TWindow w = state_.WindowAtDragStart;
    w.FileTable = false;
    w.Width = std::max(1.0, w.Width + double(int64_t(x) - state_.WindowDragStart.X) * perPixel);
    w.Center += double(int64_t(y) - state_.WindowDragStart.Y) * perPixel;
    SetWindow(w);
}

void TMyCAD::ClipCursorTo(int32_t left, int32_t top, int32_t width, int32_t height) {
    // A box larger than the canvas gives a negative extent; the cursor is then kept on
    // the canvas itself along that axis.
    const QPoint origin = mapToGlobal(QPoint(0, 0));
    if (width < 0) {
        left = origin.x();
        width = this->width();
    }
    if (height < 0) {
        top = origin.y();
        height = this->height();
    }
    // QRect computes its right edge as left + width - 1, in that order: left + width
    // must stay within the limit.
    left = std::min(left, std::numeric_limits<int32_t>::max() - 1);
    top = std::min(top, std::numeric_limits<int32_t>::max() - 1);
    const int64_t maxWidth = int64_t(std::numeric_limits<int32_t>::max()) - left;
    const int64_t maxHeight = int64_t(std::numeric_limits<int32_t>::max()) - top;
    clipRect_ = QRect(left, top, ClampToInt32(std::clamp<int64_t>(width, 1, maxWidth)),
                      ClampToInt32(std::clamp<int64_t>(height, 1, maxHeight)));
    clipped_ = true;
    const QPoint now = QCursor::pos();
    const QPoint inside = Confined(now);
    if (inside != now) {
        QCursor::setPos(inside);
    }
}

void TMyCAD::ReleaseCursor() {
    clipped_ = false;
    clipRect_ = QRect();
    while (QGuiApplication::overrideCursor() != nullptr) {
        QGuiApplication::restoreOverrideCursor();
    }
}

QPoint TMyCAD::Confined(QPoint global) const {
    if (!clipped_) {
        return global;
    }
    return QPoint(std::clamp(global.x(), clipRect_.left(), clipRect_.right()),
                  std::clamp(global.y(), clipRect_.top(), clipRect_.bottom()));
}

void TMyCAD::MouseDown(TMouseButton button, Qt::KeyboardModifiers shift, int32_t x, int32_t y) {
    if (OnMouseDown) {
        OnMouseDown(this, button, shift, x, y);
    }
    const TPoint p{x, y};
    // A right press that has no other meaning here grabs the picture's window.
    if (button == TMouseButton::mbRight && layer_.Picture() != nullptr && tool_->RightPressIsFree()) {
        state_.WindowDrag = true;
        state_.WindowDragStart = p;
        state_.WindowAtDragStart = layer_.Window();
    }
    // Selecting and deselecting draw hot points straight into the image; show them.
    backing_.Surface().ResetTouched();
    const ScopeExit refresh([this] { RefreshTouched(); });
    tool_->Press(button, p);
}

void TMyCAD::RefreshTouched() {
    const QRect touched = backing_.Surface().Touched();
    backing_.Surface().ResetTouched();
    lastRefreshed_ = touched;
    if (!touched.isEmpty()) {
        update(touched);
    }
}

void TMyCAD::MouseMove(Qt::KeyboardModifiers shift, int32_t x, int32_t y) {
    if (OnMouseMove) {
        OnMouseMove(this, shift, x, y);
    }
    ShowPosition(x, y);
    if (state_.WindowDrag) {
        DragWindow(x, y);
        return;
    }
    TMyShape* shape = state_.Current;
    if (shape == nullptr) {
        return;
    }
    backing_.Surface().ResetTouched();
    tool_->Move(*shape, TPoint{x, y});
    RefreshTouched();
}

void TMyCAD::MouseUp(TMouseButton button, Qt::KeyboardModifiers shift, int32_t x, int32_t y) {
    if (state_.WindowDrag && button == TMouseButton::mbRight) {
        DragWindow(x, y);
        state_.WindowDrag = false;
    }
    ReleaseCursor();
    const TPoint bandEnd = state_.End;
    state_.End = TPoint{x, y};
    tool_->Release(button, bandEnd);
    if (OnMouseUp) {
        OnMouseUp(this, button, shift, x, y);
    }
}

void TMyCAD::paintEvent(QPaintEvent* event) {
    try {
        if (needsRender_) {
            Render();
        } else {
            FollowVisibleArea();
        }
        QPainter painter(this);
        const QRect shown = event->rect() & backing_.Rect();
        if (!shown.isEmpty()) {
            painter.drawImage(shown, backing_.Image(), shown.translated(-backing_.Rect().topLeft()));
        }
        // Parts the image does not hold (a grab of the whole canvas) are rendered for it.
        for (const QRect& r : QRegion(event->rect()).subtracted(QRegion(backing_.Rect()))) {
            const QImage part = CanvasPixels(r);
            if (!part.isNull()) {
                painter.drawImage(r.topLeft(), part);
            }
        }
    } catch (...) {
        // Nothing may escape into Qt's event dispatch.
    }
}

void TMyCAD::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (size() != renderedSize_) {
        needsRender_ = true;
    }
}

void TMyCAD::wheelEvent(QWheelEvent* event) {
    // With Ctrl the wheel steps through the frames; without, it scrolls as usual.
    if ((event->modifiers() & Qt::ControlModifier) == 0 || layer_.Picture() == nullptr || layer_.Picture()->Frames() < 2) {
        event->ignore();
        return;
    }
    (void)Guarded("frame step", [&] {
        const int delta = event->angleDelta().y();
        if (delta != 0) {
            StepFrame(delta < 0 ? 1 : -1);
        }
    });
    event->accept();
}

void TMyCAD::mousePressEvent(QMouseEvent* event) {
    TMouseButton button;
    if (!ToButton(event->button(), &button)) {
        return;
    }
    (void)Guarded("mouse press", [&] {
        const QPoint p = LocalPoint(event);
        MouseDown(button, event->modifiers(), p.x(), p.y());
    });
}

void TMyCAD::mouseMoveEvent(QMouseEvent* event) {
    (void)Guarded("mouse move", [&] {
        QPoint p = LocalPoint(event);
        if (clipped_) {
            const QPoint global = PixelAt(event->globalPosition());
            const QPoint inside = Confined(global);
            if (inside != global) {
                QCursor::setPos(inside);
                p = mapFromGlobal(inside);
            }
        }
        MouseMove(event->modifiers(), p.x(), p.y());
    });
}

void TMyCAD::mouseDoubleClickEvent(QMouseEvent* event) {
    // Qt delivers a double click as press, release, double click, release: the double
    // click stands in for the second press, which counts as a plain one.
    mousePressEvent(event);
}

void TMyCAD::mouseReleaseEvent(QMouseEvent* event) {
    TMouseButton button;
    if (!ToButton(event->button(), &button)) {
        return;
    }
    (void)Guarded("mouse release", [&] {
        QPoint p = LocalPoint(event);
        if (clipped_) {
            p = mapFromGlobal(Confined(PixelAt(event->globalPosition())));
        }
        MouseUp(button, event->modifiers(), p.x(), p.y());
    });
}

void TMyCAD::ReplaceShapes(int32_t first, int32_t count, std::vector<std::unique_ptr<TMyShape>> shapes) {
    const int64_t from = std::clamp<int64_t>(first, 0, ShapeCount());
    const int64_t to = std::clamp<int64_t>(int64_t(from) + std::max(count, 0), from, ShapeCount());
    for (int64_t i = from; i < to; ++i) {
        if (shapes_[size_t(i)].get() == state_.Current) {
            state_.Current = nullptr;
        }
    }
    for (auto& shape : shapes) {
        shape->Canvas = &backing_.Surface();
        shape->Font = font_;
    }
    shapes_.erase(shapes_.begin() + from, shapes_.begin() + to);
    shapes_.insert(shapes_.begin() + from, std::make_move_iterator(shapes.begin()),
                   std::make_move_iterator(shapes.end()));
    Paint();
}

void TMyCAD::SelectShape(int32_t index) {
    for (int32_t i = 0; i < ShapeCount(); ++i) {
        shapes_[size_t(i)]->Selected = i == index;
    }
    if (index >= 0 && index < ShapeCount() && (state_.Pending == nullptr || state_.Current != state_.Pending.get())) {
        state_.Current = shapes_[size_t(index)].get();
    }
    Paint();
}

bool TMyCAD::CancelConstruction() {
    if (state_.Pending == nullptr && state_.Drag == DragNone) {
        return false;
    }
    AbandonConstruction();
    return true;
}

} // namespace kelvo
