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
    if (s_.Current != nullptr) {
        s_.Current->Deselect();
    }
}

std::unique_ptr<TMyShape> TCanvasTool::DrawnTo(TPoint p) const {
    if (s_.Current == nullptr || s_.Mode != ModeDraw || s_.Drag == DragNone) {
        return nullptr;
    }
    std::unique_ptr<TMyShape> copy = s_.Current->Clone();
    copy->AddPoint(p);
    return copy;
}

void TCanvasTool::Begin(TDrawTool tool) {
    s_.Pending = cad_.CreateShape(tool);
    s_.PendingTool = tool;
    s_.Current = s_.Pending.get();
}

void TCanvasTool::Commit() {
    s_.Pending.get()->Select();
    cad_.AddCurrentShape();
    cad_.Paint();
}

void TCanvasTool::Track(TMyShape& shape, TDrawPair draw, TPoint p) {
    (shape.*draw)(s_.Start, s_.End);
    s_.End = p;
    (shape.*draw)(s_.Start, s_.End);
}

void TCanvasTool::Retrace(TMyShape& shape, TDrawPair draw) {
    (shape.*draw)(s_.Start, s_.Start);
    (shape.*draw)(s_.Start, s_.End);
}

void TIdleTool::Press(TMouseButton button, TPoint p) {
    if (button == TMouseButton::mbLeft) {
        s_.Start = p;
        s_.End = p;
    }
}

void TIdleTool::Release(TMouseButton, TPoint) { s_.Drag = DragNone; }

void TSelectTool::Press(TMouseButton button, TPoint p) {
    if (button != TMouseButton::mbLeft) {
        return;
    }
    s_.Start = p;
    s_.End = p;
    if (s_.Mode == ModeSelect) {
        s_.Drag = DragButtonDown;
        if (s_.Current != nullptr && s_.Current->Selected && s_.Current->HotPointAt(p) >= 0) {
            s_.Mode = ModeResize;
            return;
        }
        Pick(p);
    }
    // A second left press during a move (no release between) confines the cursor again.
    if (s_.Mode == ModeMove && s_.Current != nullptr && s_.Current->PointCount() > 0) {
        ConfineMove(p);
    }
}

// The newest shape hit wins; a miss leaves the current shape and its selection alone.
void TSelectTool::Pick(TPoint p) {
    for (int32_t i = cad_.ShapeCount() - 1; i >= 0; --i) {
        TMyShape* shape = cad_.Shape(i);
        if (cad_.OnView(*shape) && shape->HitTest(p)) {
            s_.Mode = ModeMove;
            shape->Select();
            if (shape != s_.Current) {
                DeselectCurrent();
                s_.Current = shape;
            }
            return;
        }
    }
}

// Keeps the cursor's offset from the box corner fixed so the box can travel exactly
// from one canvas edge to the other.
void TSelectTool::ConfineMove(TPoint p) {
    const TMyShape& shape = *s_.Current;
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
    if (s_.Drag != DragButtonDown) {
        return;
    }
    // A press that hit nothing drags nothing: there is no selection rectangle.
    if (s_.Mode == ModeResize) {
        Track(shape, &TMyShape::DrawResizing, p);
    } else if (s_.Mode == ModeMove) {
        Track(shape, &TMyShape::DrawMoving, p);
    }
}

void TSelectTool::Release(TMouseButton, TPoint) {
    // Any button's release ends the drag a left press began.
    if (s_.Drag == DragButtonDown && (s_.Mode == ModeResize || s_.Mode == ModeMove)) {
        const bool resize = s_.Mode == ModeResize;
        s_.Mode = ModeSelect;
        const int32_t dx = Offset(s_.Start.X, s_.End.X);
        const int32_t dy = Offset(s_.Start.Y, s_.End.Y);
        if (s_.Current == nullptr || (dx == 0 && dy == 0)) {
            // A click: the outline drawn while dragging is erased, and only the
            // selection may have changed.
            cad_.PaintSelection();
        } else {
            if (resize) {
                s_.Current->MoveHotPoint(dx, dy);
            } else {
                s_.Current->MoveBy(dx, dy);
            }
            cad_.Paint();
        }
    }
    s_.Drag = DragNone;
}

void TSelectTool::Abandon() {
    if (s_.Mode == ModeMove || s_.Mode == ModeResize) {
        s_.Mode = ModeSelect;
    }
}

void TSelectTool::Redraw() {
    if (s_.Drag != DragButtonDown || s_.Current == nullptr) {
        return;
    }
    if (s_.Mode == ModeResize) {
        Retrace(*s_.Current, &TMyShape::DrawResizing);
    } else if (s_.Mode == ModeMove) {
        Retrace(*s_.Current, &TMyShape::DrawMoving);
    }
}

std::unique_ptr<TMyShape> TSelectTool::ReleasedAt(TPoint p) const {
    if (s_.Current == nullptr || s_.Drag != DragButtonDown || (s_.Mode != ModeMove && s_.Mode != ModeResize)) {
        return nullptr;
    }
    std::unique_ptr<TMyShape> copy = s_.Current->Clone();
    const int32_t dx = SaturatingAdd(p.X, -int64_t(s_.Start.X));
    const int32_t dy = SaturatingAdd(p.Y, -int64_t(s_.Start.Y));
    if (s_.Mode == ModeMove) {
        copy->MoveBy(dx, dy);
    } else {
        copy->MoveHotPoint(dx, dy);
    }
    return copy;
}

bool TSelectTool::RightPressIsFree() const { return s_.Drag == DragNone && s_.Mode == ModeSelect; }

void TDragTool::Press(TMouseButton button, TPoint p) {
    if (button != TMouseButton::mbLeft) {
        return;
    }
    s_.Start = p;
    s_.End = p;
    DeselectCurrent();
    Begin(kind_);
    if (s_.Current != nullptr) {
        s_.Current->AddPoint(p);
    }
    s_.Drag = DragButtonDown;
}

void TDragTool::Move(TMyShape& shape, TPoint p) {
    if (s_.Drag == DragButtonDown) {
        Track(shape, &TMyShape::DrawRubberBand, p);
    }
}

void TDragTool::Redraw() {
    // While a line's annotation dialog is open the shape is already committed.
    if (s_.Drag == DragButtonDown && s_.Pending.get() != nullptr && s_.Current == s_.Pending.get()) {
        Retrace(*s_.Pending.get(), &TMyShape::DrawRubberBand);
    }
}

void TDragTool::Release(TMouseButton, TPoint) {
    // Any button's release commits, at its own position; a later release finds nothing.
    if (s_.Drag == DragButtonDown && s_.Pending.get() != nullptr) {
        s_.Pending.get()->AddPoint(s_.End);
        Commit();
    }
    s_.Drag = DragNone;
}

void TClickChainTool::Press(TMouseButton button, TPoint p) {
    DeselectCurrent();
    Pressed(button, p);
}

void TClickChainTool::Move(TMyShape& shape, TPoint p) {
    if (s_.Drag == DragClickChain) {
        Track(shape, &TMyShape::DrawRubberBand, p);
    }
}

void TClickChainTool::Release(TMouseButton button, TPoint bandEnd) {
    if (!s_.PendingIs(kind_)) {
        return;
    }
    if (TakesClick(button)) {
        s_.Drag = DragClickChain;
        Clicked(bandEnd);
    } else if (EndsWith(button) && s_.Drag == DragClickChain) {
        Closing();
        Finish();
    }
}

void TClickChainTool::Redraw() {
    if (s_.Drag != DragClickChain || !s_.PendingIs(kind_) || s_.Current != s_.Pending.get()) {
        return;
    }
    // The band restarts where the shape now shows its last click, which a new zoom
    // may have moved.
    s_.Start = DrawPlaced(*s_.Pending.get());
    Retrace(*s_.Pending.get(), &TMyShape::DrawRubberBand);
}

void TClickChainTool::Finish() {
    Commit();
    s_.Drag = DragNone;
}

void TPolyLineTool::Pressed(TMouseButton button, TPoint p) {
    s_.Start = p;
    s_.End = p;
    if (button != TMouseButton::mbLeft) {
        return;
    }
    if (s_.Drag != DragClickChain || !s_.PendingIs(kind_)) {
        Begin(kind_);
    }
    s_.Current->AddPoint(p);
}

// The ending click's press position is the last vertex.
void TPolyLineTool::Closing() { s_.Pending.get()->AddPoint(s_.Start); }

// The placed segments are the bands each click left behind.
TPoint TPolyLineTool::DrawPlaced(TMyShape& shape) {
    for (int32_t i = 0; i + 1 < shape.PointCount(); ++i) {
        shape.DrawRubberBand(shape.GetPoint(i), shape.GetPoint(i + 1));
    }
    return shape.GetPoint(shape.PointCount() - 1);
}

void TSectorTool::Pressed(TMouseButton button, TPoint p) {
    if (SectorClicks == 0) {
        s_.Start = p;
        s_.End = p;
    }
    if (button != TMouseButton::mbLeft || s_.Drag == DragClickChain) {
        return;
    }
    Begin(kind_);
}

void TSectorTool::Clicked(TPoint bandEnd) {
    TMyShape* shape = s_.Pending.get();
    ++SectorClicks;
    if (SectorClicks == 1) {
        SetShapePoint(shape, 2, s_.Start);
        s_.End = s_.Start;
    } else if (SectorClicks == 2) {
        SetShapePoint(shape, 1, s_.End);
        // Wipe the band first and restart it at the vertex, so that the arm drawn now
        // is not flipped by the next erase.
        cad_.Surface().ResetTouched();
        shape->DrawRubberBand(s_.Start, bandEnd);
        shape->Draw();
        s_.End = s_.Start;
        RefreshTouched();
    } else {
        SetShapePoint(shape, 3, s_.End);
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

std::vector<std::unique_ptr<TCanvasTool>> MakeCanvasTools(TMyCAD& cad, TInteraction& state) {
    std::vector<std::unique_ptr<TCanvasTool>> tools(1);
    tools[SpNone] = std::make_unique<TSelectTool>(cad, state);
    for (const TShapeKindRow& row : ShapeKinds()) {
        if (tools.size() <= row.Tool) tools.resize(size_t(row.Tool) + 1);
        tools[row.Tool] = row.MakeTool(cad, state, row.Tool);
    }
    tools.push_back(std::make_unique<TIdleTool>(cad, state));
    return tools;
}

} // namespace kelvo
