// The canvas's tools: each one's press, move, release and abandon.
#include "canvas/canvas_tools.h"

#include <algorithm>
#include <limits>

namespace kelvo {

namespace {

// The offset from StartPoint to EndPoint, held at the 32-bit limits.
int32_t Offset(int32_t from, int32_t to) { return ClampToInt32(int64_t(to) - from); }

} // namespace

void TCanvasTool::DeselectCurrent() {
    if (Current() != nullptr) {
        Current()->Deselect();
    }
}

std::unique_ptr<TMyShape> TCanvasTool::DrawnTo(TPoint p) const {
    if (Current() == nullptr || Mode() != ModeDraw || Drag() == DragNone) {
        return nullptr;
    }
    std::unique_ptr<TMyShape> copy = Current()->Clone();
    copy->AddPoint(p);
    return copy;
}

void TCanvasTool::Begin(TDrawTool tool) {
    cad_.pending_ = cad_.CreateShape(tool);
    cad_.pendingTool_ = tool;
    Current() = cad_.pending_.get();
}

void TCanvasTool::Commit() {
    Pending()->Select();
    cad_.AddCurrentShape();
    cad_.Paint();
}

void TCanvasTool::Track(TMyShape& shape, TDrawPair draw, TPoint p) {
    (shape.*draw)(Start(), End());
    End() = p;
    (shape.*draw)(Start(), End());
}

void TCanvasTool::Retrace(TMyShape& shape, TDrawPair draw) {
    (shape.*draw)(Start(), Start());
    (shape.*draw)(Start(), End());
}

void TIdleTool::Press(TMouseButton button, TPoint p) {
    if (button == TMouseButton::mbLeft) {
        Start() = p;
        End() = p;
    }
}

void TIdleTool::Release(TMouseButton, TPoint) { Drag() = DragNone; }

void TSelectTool::Press(TMouseButton button, TPoint p) {
    if (button != TMouseButton::mbLeft) {
        return;
    }
    Start() = p;
    End() = p;
    if (Mode() == ModeSelect) {
        Drag() = DragButtonDown;
        if (Current() != nullptr && Current()->Selected && Current()->HotPointAt(p) >= 0) {
            Mode() = ModeResize;
            return;
        }
        Pick(p);
    }
    // A second left press during a move (no release between) confines the cursor again.
    if (Mode() == ModeMove && Current() != nullptr && Current()->PointCount() > 0) {
        ConfineMove(p);
    }
}

// The newest shape hit wins; a miss leaves the current shape and its selection alone.
void TSelectTool::Pick(TPoint p) {
    for (int32_t i = cad_.ShapeCount() - 1; i >= 0; --i) {
        TMyShape* shape = cad_.Shape(i);
        if (shape->HitTest(p)) {
            Mode() = ModeMove;
            shape->Select();
            if (shape != Current()) {
                DeselectCurrent();
                Current() = shape;
            }
            return;
        }
    }
}

// Keeps the cursor's offset from the box corner fixed so the box can travel exactly
// from one canvas edge to the other.
void TSelectTool::ConfineMove(TPoint p) {
    const TMyShape& shape = *Current();
    int32_t l = std::numeric_limits<int32_t>::max();
    int32_t t = std::numeric_limits<int32_t>::max();
    int32_t r = std::numeric_limits<int32_t>::min();
    int32_t b = std::numeric_limits<int32_t>::min();
    for (int32_t i = 0; i < shape.PointCount(); ++i) {
        const TPoint g = shape.GetPoint(i);
        l = std::min(l, g.X);
        t = std::min(t, g.Y);
        r = std::max(r, g.X);
        b = std::max(b, g.Y);
    }
    const QPoint origin = cad_.mapToGlobal(QPoint(0, 0));
    cad_.ClipCursorTo(ClampToInt32(int64_t(origin.x()) + p.X - l), ClampToInt32(int64_t(origin.y()) + p.Y - t),
                      ClampToInt32(int64_t(cad_.width()) - (int64_t(r) - l)),
                      ClampToInt32(int64_t(cad_.height()) - (int64_t(b) - t)));
}

void TSelectTool::Move(TMyShape& shape, TPoint p) {
    if (Drag() != DragButtonDown) {
        return;
    }
    // A press that hit nothing drags nothing: there is no selection rectangle.
    if (Mode() == ModeResize) {
        Track(shape, &TMyShape::DrawResizing, p);
    } else if (Mode() == ModeMove) {
        Track(shape, &TMyShape::DrawMoving, p);
    }
}

void TSelectTool::Release(TMouseButton, TPoint) {
    // Any button's release ends the drag a left press began.
    if (Drag() == DragButtonDown && (Mode() == ModeResize || Mode() == ModeMove)) {
        const bool resize = Mode() == ModeResize;
        Mode() = ModeSelect;
        const int32_t dx = Offset(Start().X, End().X);
        const int32_t dy = Offset(Start().Y, End().Y);
        if (Current() == nullptr || (dx == 0 && dy == 0)) {
            // A click: the outline drawn while dragging is erased, and only the
            // selection may have changed.
            cad_.PaintSelection();
        } else {
            if (resize) {
                Current()->MoveHotPoint(dx, dy);
            } else {
                Current()->MoveBy(dx, dy);
            }
            cad_.Paint();
        }
    }
    Drag() = DragNone;
}

void TSelectTool::Abandon() {
    if (Mode() == ModeMove || Mode() == ModeResize) {
        Mode() = ModeSelect;
    }
}

void TSelectTool::Redraw() {
    if (Drag() != DragButtonDown || Current() == nullptr) {
        return;
    }
    if (Mode() == ModeResize) {
        Retrace(*Current(), &TMyShape::DrawResizing);
    } else if (Mode() == ModeMove) {
        Retrace(*Current(), &TMyShape::DrawMoving);
    }
}

std::unique_ptr<TMyShape> TSelectTool::ReleasedAt(TPoint p) const {
    if (Current() == nullptr || Drag() != DragButtonDown || (Mode() != ModeMove && Mode() != ModeResize)) {
        return nullptr;
    }
    std::unique_ptr<TMyShape> copy = Current()->Clone();
    const int32_t dx = SaturatingAdd(p.X, -int64_t(Start().X));
    const int32_t dy = SaturatingAdd(p.Y, -int64_t(Start().Y));
    if (Mode() == ModeMove) {
        copy->MoveBy(dx, dy);
    } else {
        copy->MoveHotPoint(dx, dy);
    }
    return copy;
}

bool TSelectTool::RightPressIsFree() const { return Drag() == DragNone && Mode() == ModeSelect; }

void TDragTool::Press(TMouseButton button, TPoint p) {
    if (button != TMouseButton::mbLeft) {
        return;
    }
    Start() = p;
    End() = p;
    DeselectCurrent();
    Begin(kind_);
    if (Current() != nullptr) {
        Current()->AddPoint(p);
    }
    Drag() = DragButtonDown;
}

void TDragTool::Move(TMyShape& shape, TPoint p) {
    if (Drag() == DragButtonDown) {
        Track(shape, &TMyShape::DrawRubberBand, p);
    }
}

void TDragTool::Redraw() {
    // While a line's annotation dialog is open the shape is already committed.
    if (Drag() == DragButtonDown && Pending() != nullptr && Current() == Pending()) {
        Retrace(*Pending(), &TMyShape::DrawRubberBand);
    }
}

void TDragTool::Release(TMouseButton, TPoint) {
    // Any button's release commits, at its own position; a later release finds nothing.
    if (Drag() == DragButtonDown && Pending() != nullptr) {
        Pending()->AddPoint(End());
        Commit();
    }
    Drag() = DragNone;
}

void TClickChainTool::Press(TMouseButton button, TPoint p) {
    DeselectCurrent();
    Pressed(button, p);
}

void TClickChainTool::Move(TMyShape& shape, TPoint p) {
    if (Drag() == DragClickChain) {
        Track(shape, &TMyShape::DrawRubberBand, p);
    }
}

void TClickChainTool::Release(TMouseButton button, TPoint bandEnd) {
    if (!PendingIs(kind_)) {
        return;
    }
    if (TakesClick(button)) {
        Drag() = DragClickChain;
        Clicked(bandEnd);
    } else if (EndsWith(button) && Drag() == DragClickChain) {
        Closing();
        Finish();
    }
}

void TClickChainTool::Redraw() {
    if (Drag() != DragClickChain || !PendingIs(kind_) || Current() != Pending()) {
        return;
    }
    // The band restarts where the shape now shows its last click, which a new zoom
    // may have moved.
    Start() = DrawPlaced(*Pending());
    Retrace(*Pending(), &TMyShape::DrawRubberBand);
}

void TClickChainTool::Finish() {
    Commit();
    Drag() = DragNone;
}

void TPolyLineTool::Pressed(TMouseButton button, TPoint p) {
    Start() = p;
    End() = p;
    if (button != TMouseButton::mbLeft) {
        return;
    }
    if (Drag() != DragClickChain || !PendingIs(kind_)) {
        Begin(kind_);
    }
    Current()->AddPoint(p);
}

// The ending click's press position is the last vertex.
void TPolyLineTool::Closing() { Pending()->AddPoint(Start()); }

// The placed segments are the bands each click left behind.
TPoint TPolyLineTool::DrawPlaced(TMyShape& shape) {
    for (int32_t i = 0; i + 1 < shape.PointCount(); ++i) {
        shape.DrawRubberBand(shape.GetPoint(i), shape.GetPoint(i + 1));
    }
    return shape.GetPoint(shape.PointCount() - 1);
}

void TSectorTool::Pressed(TMouseButton button, TPoint p) {
    if (SectorClicks == 0) {
        Start() = p;
        End() = p;
    }
    if (button != TMouseButton::mbLeft || Drag() == DragClickChain) {
        return;
    }
    Begin(kind_);
}

void TSectorTool::Clicked(TPoint bandEnd) {
    TMyShape* shape = Pending();
    ++SectorClicks;
    if (SectorClicks == 1) {
        SetShapePoint(shape, 2, Start());
        End() = Start();
    } else if (SectorClicks == 2) {
        SetShapePoint(shape, 1, End());
        // Wipe the band first and restart it at the vertex, so that the arm drawn now
        // is not flipped by the next erase.
        cad_.Surface().ResetTouched();
        shape->DrawRubberBand(Start(), bandEnd);
        shape->Draw();
        End() = Start();
        RefreshTouched();
    } else {
        SetShapePoint(shape, 3, End());
        Finish();
        SectorClicks = 0;
        cad_.ReleaseCursor();
    }
}

// After the second click the first arm is drawn as the shape; the band always starts
// at the vertex.
TPoint TSectorTool::DrawPlaced(TMyShape& shape) {
    if (SectorClicks >= 2) {
        shape.Draw();
    }
    return shape.GetPoint(1);
}

std::vector<std::unique_ptr<TCanvasTool>> MakeCanvasTools(TMyCAD& cad) {
    std::vector<std::unique_ptr<TCanvasTool>> tools(1);
    tools[SpNone] = std::make_unique<TSelectTool>(cad);
    for (const TShapeKindRow& row : ShapeKinds()) {
        if (tools.size() <= row.Tool) tools.resize(size_t(row.Tool) + 1);
        tools[row.Tool] = row.MakeTool(cad, row.Tool);
    }
    tools.push_back(std::make_unique<TIdleTool>(cad));
    return tools;
}

} // namespace kelvo
