// The measuring canvas widget: a zoomed picture with measurement shapes drawn and edited by mouse.
#pragma once

#include "canvas/backing.h"
#include "canvas/interaction.h"
#include "canvas/picture_layer.h"
#include "canvas/shape.h"
#include "canvas/shape_kinds.h"
#include "imaging/picture.h"
#include "platform/surface.h"
#include "platform/types.h"

#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kelvo {

class TCanvasTool;
class TMeasuring;

enum class TMouseButton : uint8_t { mbLeft, mbRight, mbMiddle };

// Process-wide: the next region number (never reused) and the releases received by the
// sector under construction.
inline int32_t RoiCount = 1;
inline int32_t SectorClicks = 0;

// A zoomed picture side may not exceed kMaxZoomedSide pixels.
constexpr int32_t kMaxZoomedSide = 16384;
// The view's own gestures (fit, wheel zoom) may take a side up to kMaxViewSide. The
// backing follows the visible area, so memory does not grow with it; the limit keeps
// the canvas and its scroll box below Qt's widget size limit (2^24 - 1) with room for
// the box's margin and viewport, and every coordinate a scroll bar or a paint event
// carries far from int overflow. 32x still reaches pictures of 262,144 pixels a side.
constexpr int32_t kMaxViewSide = 1 << 23;

class TMyCAD : public QWidget {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TMyCAD* sender)>;
    using TMouseEvent =
        std::function<void(TMyCAD* sender, TMouseButton button, Qt::KeyboardModifiers shift, int32_t x, int32_t y)>;
    using TMouseMoveEvent = std::function<void(TMyCAD* sender, Qt::KeyboardModifiers shift, int32_t x, int32_t y)>;
    // Asks the user for a line's annotation; returns the text, empty when cancelled.
    using TAnnotationDialog = std::function<QString(TMyCAD* sender)>;

    explicit TMyCAD(QWidget* parent = nullptr);
    ~TMyCAD() override;

    // Published properties. Setters that repaint do so at once (Paint), the others only store.
    const TFont& Font() const { return font_; }
    void SetFont(const TFont& font) { font_ = font; }
    QLabel* LabelXY() const { return labelXY_.data(); }
    void SetLabelXY(QLabel* label) { labelXY_ = label; }
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;
    TNotifyEvent OnPaint;
    // The picture as shown at zoom 1; a monochrome picture from a file is rendered
    // through its window for the asking, since the canvas keeps no rendering of it.
    QImage BackGround() const;
    // A null image empties the picture and keeps the size. The current zoom is applied.
    // A plain image has no values behind it: it ends any picture set by SetPicture.
    void SetBackGround(const QImage& picture);

    // A picture from a file, shown as BackGround through its window at its first frame,
    // with the window of the file (or its full range). Its spacing turns the ruler's
    // label into millimetres; the position label then gives picture coordinates and the
    // value label the value under the cursor. Returns false, changing nothing, when the
    // picture cannot be rendered (no frames, or no memory for it).
    bool SetPicture(std::shared_ptr<const imaging::TPicture> picture);
    const imaging::TPicture* Picture() const { return layer_.Picture(); }
    const std::shared_ptr<const imaging::TPicture>& SharedPicture() const { return layer_.SharedPicture(); }
    imaging::TWindow Window() const { return layer_.Window(); }
    // Renders the current frame through the window (widths below 1 count as 1).
    void SetWindow(imaging::TWindow window);
    // Back to the picture's own window.
    void ResetWindow();
    int32_t Frame() const { return layer_.Frame(); }
    // Shows another frame; shapes stay. False when out of range, no picture, or the
    // frame could not be read.
    bool SetFrame(int32_t frame);
    bool StepFrame(int32_t delta) { return SetFrame(Frame() + delta); }
    // True while a right-button drag changes the window.
    bool WindowDragging() const { return state_.WindowDrag; }
    // Where the value under the cursor is written; null = nowhere.
    QLabel* LabelValue() const { return labelValue_.data(); }
    void SetLabelValue(QLabel* label) { labelValue_ = label; }
    // The image of a series shown (its SOP Instance UID and frame): only the shapes drawn
    // on it, and those bound to no image, are drawn, hit and labelled; new shapes are
    // bound to it. An empty UID (a single picture) shows every shape. The selection goes;
    // the next paint (SetPicture's) shows the change.
    void SetShownImage(const QString& uid, int32_t frame);
    const QString& ShownImageUid() const { return shownUid_; }
    int32_t ShownImageFrame() const { return shownFrame_; }
    bool OnView(const TMyShape& shape) const {
        return shownUid_.isEmpty() || shape.ImageUid.isEmpty() ||
               (shape.ImageUid == shownUid_ && shape.ImageFrame == shownFrame_);
    }
    // Drops every shape, and a shape under construction.
    void ClearShapes();
    TDrawTool ShapeTool() const { return shapeTool_; }
    void SetShapeTool(TDrawTool tool);
    TColor ColorofDrawing() const { return colorofDrawing_; }
    void SetColorofDrawing(TColor color) { colorofDrawing_ = color; }
    TColor ColorOfShadow() const { return colorOfShadow_; }
    void SetColorOfShadow(TColor color);
    TColor ColorOfHot() const { return colorOfHot_; }
    void SetColorOfHot(TColor color);
    const TPen& Pen() const { return pen_; }
    void SetPen(const TPen& pen) { pen_ = pen; }
    double Zoom() const { return zoom_; }
    // Refuses (returns false, changes nothing) a zoom that is not finite, not above zero,
    // or whose zoomed picture would exceed kMaxZoomedSide a side. A side the zoom would
    // shrink below one pixel keeps one.
    bool SetZoom(double zoom);
    // The same zoom for the view's gestures: sides up to kMaxViewSide, and the picture
    // rendered by the next paint rather than at once, so that the owner scrolls first
    // and only the part then in view is drawn.
    bool SetViewZoom(double zoom);
    // Fired after the zoom changed, by either setter or by a picture that could not
    // take it.
    TNotifyEvent OnZoom;
    bool DICOMStyle() const { return dicomStyle_; }
    void SetDICOMStyle(bool value);
    bool Shadow() const { return shadow_; }
    void SetShadow(bool value);

    // The annotation dialog used when a line is committed; empty = the standard
    // modal text-input dialog ("Please Input ", "Annotation").
    TAnnotationDialog AnnotationDialog;

    // Renders picture and shapes into the backing image now and refreshes the widget.
    void Paint();
    // Shows what a click changed when it moved nothing: the parts where the selection
    // changed since the last paint are rendered again, and nothing when it did not.
    // The tools' feedback must be gone (erased, or never drawn).
    void PaintSelection();
    void DrawShapes();
    // Appends a committed shape (taking ownership) and gives it its caption by tool.
    void AddShape(std::unique_ptr<TMyShape> shape);
    // Commits the shape under construction (the current shape) the same way.
    void AddCurrentShape();
    // A new shape of the tool's kind with the canvas's surface, pen and font; null for SpNone.
    std::unique_ptr<TMyShape> CreateShape(TDrawTool tool);
    int32_t ShapeCount() const { return static_cast<int32_t>(shapes_.size()); }
    TMyShape* Shape(int32_t index) const;
    int32_t SelectedIndex() const;
    bool DeleteShape(int32_t index);
    bool DeleteSelected() { return DeleteShape(SelectedIndex()); }
    void ShowPosition(int32_t x, int32_t y);
    // Confines the cursor to the screen rectangle (left, top)..(left + width, top + height),
    // right and bottom edges excluded. A negative width or height (a shape larger than the
    // canvas) confines the cursor to the canvas itself along that axis.
    void ClipCursorTo(int32_t left, int32_t top, int32_t width, int32_t height);
    void ReleaseCursor();
    bool CursorClipped() const { return clipped_; }
    QRect ClipRect() const { return clipRect_; }

    // Editing for the owner (undo, loading annotations, keys). ReplaceShapes puts the
    // given shapes in place of count shapes from index first on; they take the canvas's
    // surface and font and keep their own pen and caption, and a shape under
    // construction stays. It repaints at once.
    void ReplaceShapes(int32_t first, int32_t count, std::vector<std::unique_ptr<TMyShape>> shapes);
    // Selects the shape at index alone, or none for any other index, and repaints.
    void SelectShape(int32_t index);
    // Drops a shape under construction or a drag in progress, as a change of tool does;
    // false when there was none.
    bool CancelConstruction();
    // Called by Paint just before the shapes are drawn (after Measuring has labelled
    // the regions), so that the owner can give them their labels' further lines.
    TNotifyEvent OnDrawShapes;
    // What the shapes measure on the picture shown, and the regions' labels.
    TMeasuring& Measuring() { return *measuring_; }
    const TMeasuring& Measuring() const { return *measuring_; }
    // The shape a drag or click chain in progress would leave if the pointer were
    // released at (x, y), as a copy; null when no shape is being drawn, moved or resized.
    std::unique_ptr<TMyShape> ShapeIfReleasedAt(int32_t x, int32_t y) const;

    // Mouse handling; Qt's mouse events arrive here, and tests may call them directly.
    virtual void MouseDown(TMouseButton button, Qt::KeyboardModifiers shift, int32_t x, int32_t y);
    virtual void MouseMove(Qt::KeyboardModifiers shift, int32_t x, int32_t y);
    virtual void MouseUp(TMouseButton button, Qt::KeyboardModifiers shift, int32_t x, int32_t y);

    // State for the owner and for tests.
    TMyShape* CurrentShape() const { return state_.Current; }
    TMode Mode() const { return state_.Mode; }
    TDragState DragState() const { return state_.Drag; }
    TPoint StartPoint() const { return state_.Start; }
    TPoint EndPoint() const { return state_.End; }
    // The picture's size at the current zoom; empty without a picture.
    QSize ZoomedSize() const { return zoomedSize_; }
    // The rendered image the widget shows: the part ImageRect() of the canvas that its
    // scroll area (or window) lets be seen, and the surface drawing into it in canvas
    // coordinates.
    const QImage& Image() const { return backing_.Image(); }
    QRect ImageRect() const { return backing_.Rect(); }
    TSurface& Surface() { return backing_.Surface(); }
    // The pixels of any part of the canvas as they are shown, feedback included: copied
    // from the image where it holds them, rendered for the asking elsewhere. Null when
    // there is no memory for them.
    QImage CanvasPixels(const QRect& area);
    // Shows at once what was drawn straight into the image since the last refresh (the
    // tools' feedback).
    void RefreshTouched();
    // The part of the widget last refreshed by mouse feedback (empty after a full paint).
    QRect LastRefreshed() const { return lastRefreshed_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void Render();
    // The part of the canvas that its ancestors let be seen.
    QRect VisibleArea() const;
    // Moves the image to the visible area, keeping what both hold and rendering the rest.
    void FollowVisibleArea();
    // How RenderArea draws the shapes: as they are, the owner asked for their labels
    // first (a paint); as last painted, then changed by the feedback since (a part
    // coming into view); as they are, only their selection having changed since the
    // last paint.
    enum class TShapesAs : uint8_t { Now, Rendered, Reselected };
    // Renders the area of the canvas into the surface's image.
    void RenderArea(const QRect& area, TShapesAs shapes);
    void DrawPicturePart(const QRect& area);
    void DrawShapesAsRendered(const QRect& area);
    // Draws the shapes that may change a pixel of area (all of them when it holds the
    // whole canvas), oldest last.
    void DrawShapesMeeting(const QRect& area);
    // Fills shapeExtents_ from the shapes as they are now, if it is not already.
    void MeasureShapes();
    // Where the shape's hot points lie.
    QRect HotPointsExtent(TMyShape& shape);
    // Has the regions labelled, then the owner's OnDrawShapes.
    void LabelShapes();
    // Everything Render does after the shapes are drawn.
    void FinishRender();
    QPoint Confined(QPoint global) const;
    void AbandonConstruction();
    QString AskAnnotation();
    // Sizes the canvas to the picture's source size at the zoom, and repaints.
    void ShowSource();
    // Shows the frame through the window, repainting what changed.
    bool ShowPicture(int32_t frame, imaging::TWindow window);
    void DragWindow(int32_t x, int32_t y);
    // The zoomed size of the source at zoom, or nullopt when a side would exceed limit.
    std::optional<QSize> ZoomedSourceSize(double zoom, int32_t limit) const;
    void ZoomChanged();

    TPictureLayer layer_;
    QSize zoomedSize_;
    // Guarded, so a label destroyed before the canvas is simply no longer written.
    QPointer<QLabel> labelXY_;
    TDrawTool shapeTool_ = SpNone;
    std::vector<std::unique_ptr<TMyShape>> shapes_;
    // The press/drag/click state, handed to the tools.
    TInteraction state_;
    TPen pen_;
    TFont font_;
    TColor colorofDrawing_ = clBlack;
    TColor colorOfHot_ = clBlack;
    TColor colorOfShadow_ = clBlack;
    double zoom_ = 1.0;
    // The largest zoomed side the zoom in force was allowed; a new source shown at it
    // falls back to zoom 1 beyond it.
    int32_t zoomLimit_ = kMaxZoomedSide;
    bool dicomStyle_ = true;
    bool shadow_ = true;

    TBacking backing_;
    bool needsRender_ = true;
    QSize renderedSize_;
    // Each shape's Selected flag at the last full render; selecting since then drew
    // (and recorded) hot points straight into the image.
    std::vector<char> renderedSelection_;
    // Where each shape may draw, hot points included, as measured after the last full
    // render (empty until a part of the canvas needs it): a part repainted later draws
    // only the shapes that reach into it.
    std::vector<QRect> shapeExtents_;
    bool clipped_ = false;
    QRect clipRect_;
    QRect lastRefreshed_;
    // One interaction object per tool (indexed by TDrawTool), then the idle one used
    // until a tool is chosen; tool_ is the active one. They live as long as the canvas,
    // so a tool whose handler runs an event loop is never destroyed under itself.
    std::vector<std::unique_ptr<TCanvasTool>> tools_;
    TCanvasTool* tool_ = nullptr;
    std::unique_ptr<TMeasuring> measuring_;

    QPointer<QLabel> labelValue_;
    QString shownUid_;
    int32_t shownFrame_ = 0;
};

} // namespace kelvo
