// The canvas's tools as interaction objects: what a press, a move, a release and an
// abandoned construction mean for each tool. Internal to the canvas.
#pragma once

#include "canvas/my_cad.h"

#include <memory>

namespace kelvo {

// One tool's mouse handling. Tools hold no state of their own: everything they change
// (mode, drag state, start and end point, current shape, the shape under construction)
// is the canvas's TInteraction, handed to them, which the canvas publishes to its owner
// and tests.
class TCanvasTool {
public:
    TCanvasTool(TMyCAD& cad, TInteraction& state) : cad_(cad), s_(state) {}
    virtual ~TCanvasTool() = default;
    TCanvasTool(const TCanvasTool&) = delete;
    TCanvasTool& operator=(const TCanvasTool&) = delete;

    // A press at p, after the owner's event; pixels it touches are refreshed afterwards.
    virtual void Press(TMouseButton button, TPoint p) = 0;
    // The cursor is at p with `shape` as the current shape; pixels touched are refreshed.
    virtual void Move(TMyShape& shape, TPoint p) { (void)shape, (void)p; }
    // A release; EndPoint already holds its position, bandEnd where the band last reached.
    virtual void Release(TMouseButton button, TPoint bandEnd) = 0;
    // Puts this tool's own state back when an unfinished interaction is dropped.
    virtual void Abandon() {}
    // Draws again, over a full repaint, the feedback of an interaction in progress, so
    // that it still shows and the next move's erase cancels a band that is there.
    virtual void Redraw() {}
    // True when a right press means nothing to the tool now, so it may drag the window.
    virtual bool RightPressIsFree() const = 0;
    // A copy of the shape as a release at p would leave it; null when nothing is drawn
    // or dragged.
    virtual std::unique_ptr<TMyShape> ReleasedAt(TPoint p) const {
        (void)p;
        return nullptr;
    }

protected:
    using TDrawPair = void (TMyShape::*)(TPoint, TPoint);

    // The shape under construction with p added, while the drawing tool is dragging or
    // clicking it.
    std::unique_ptr<TMyShape> DrawnTo(TPoint p) const;

    void DeselectCurrent();
    // Starts a shape of the kind under construction and makes it the current shape.
    void Begin(TDrawTool tool);
    // Selects the shape under construction, commits it and repaints.
    void Commit();
    // Erases the feedback drawn from StartPoint to EndPoint and draws it again to p.
    void Track(TMyShape& shape, TDrawPair draw, TPoint p);
    // Draws what Track has left in the image since StartPoint was taken: its first
    // erase drew the outline at StartPoint itself, and the last pair the one to EndPoint.
    void Retrace(TMyShape& shape, TDrawPair draw);
    // Shows at once what was drawn straight into the image since the last refresh.
    void RefreshTouched() { cad_.RefreshTouched(); }

    TMyCAD& cad_;
    TInteraction& s_;
};

// Before the first tool is chosen: presses only note where they were.
class TIdleTool final : public TCanvasTool {
public:
    using TCanvasTool::TCanvasTool;
    void Press(TMouseButton button, TPoint p) override;
    void Release(TMouseButton button, TPoint bandEnd) override;
    bool RightPressIsFree() const override { return false; }
};

// The select tool: a press picks a shape (newest first) or a hot point of the selected
// one, the drag moves or resizes it, the release applies the offset.
class TSelectTool final : public TCanvasTool {
public:
    using TCanvasTool::TCanvasTool;
    void Press(TMouseButton button, TPoint p) override;
    void Move(TMyShape& shape, TPoint p) override;
    void Release(TMouseButton button, TPoint bandEnd) override;
    void Abandon() override;
    void Redraw() override;
    bool RightPressIsFree() const override;
    std::unique_ptr<TMyShape> ReleasedAt(TPoint p) const override;

private:
    void Pick(TPoint p);
    void ConfineMove(TPoint p);
};

// Shapes of two points: a left drag from the first point to the second.
class TDragTool final : public TCanvasTool {
public:
    TDragTool(TMyCAD& cad, TInteraction& state, TDrawTool kind) : TCanvasTool(cad, state), kind_(kind) {}
    void Press(TMouseButton button, TPoint p) override;
    void Move(TMyShape& shape, TPoint p) override;
    void Release(TMouseButton button, TPoint bandEnd) override;
    void Redraw() override;
    bool RightPressIsFree() const override { return s_.Drag == DragNone; }
    std::unique_ptr<TMyShape> ReleasedAt(TPoint p) const override { return DrawnTo(p); }

private:
    TDrawTool kind_;
};

// Shapes built by several clicks. Between clicks (DragClickChain) the outline follows the
// cursor with no button held. A release of a clicking button with the shape under
// construction takes the click; a release of the ending button between clicks finishes it.
class TClickChainTool : public TCanvasTool {
public:
    TClickChainTool(TMyCAD& cad, TInteraction& state, TDrawTool kind) : TCanvasTool(cad, state), kind_(kind) {}
    void Press(TMouseButton button, TPoint p) final;
    void Move(TMyShape& shape, TPoint p) final;
    void Release(TMouseButton button, TPoint bandEnd) final;
    void Redraw() final;
    std::unique_ptr<TMyShape> ReleasedAt(TPoint p) const final { return DrawnTo(p); }

protected:
    // What the press adds to the chain (the current shape is already deselected).
    virtual void Pressed(TMouseButton button, TPoint p) = 0;
    virtual bool TakesClick(TMouseButton button) const = 0;
    virtual bool EndsWith(TMouseButton button) const = 0;
    // A click was taken; bandEnd is where the outline last reached.
    virtual void Clicked(TPoint bandEnd) { (void)bandEnd; }
    // The ending button was released; the shape is committed after this.
    virtual void Closing() {}
    // Draws what the clicks so far have placed, as the clicks drew it, and returns
    // where the band to the cursor starts.
    virtual TPoint DrawPlaced(TMyShape& shape) = 0;
    // Commits the shape under construction and ends the chain.
    void Finish();

    TDrawTool kind_;
};

// Polyline (regions of many vertices): every left press adds a vertex, a right release adds the last and ends it.
class TPolyLineTool final : public TClickChainTool {
public:
    using TClickChainTool::TClickChainTool;
    bool RightPressIsFree() const override { return !s_.PendingIs(kind_); }

protected:
    void Pressed(TMouseButton button, TPoint p) override;
    bool TakesClick(TMouseButton button) const override { return button == TMouseButton::mbLeft; }
    bool EndsWith(TMouseButton button) const override { return button == TMouseButton::mbRight; }
    void Closing() override;
    TPoint DrawPlaced(TMyShape& shape) override;
};

// Angle: three clicks, vertex first, counted in SectorClicks; the third commits it.
class TSectorTool final : public TClickChainTool {
public:
    using TClickChainTool::TClickChainTool;
    bool RightPressIsFree() const override { return false; }

protected:
    void Pressed(TMouseButton button, TPoint p) override;
    // A middle release advances a sector like a left one.
    bool TakesClick(TMouseButton button) const override { return button != TMouseButton::mbRight; }
    bool EndsWith(TMouseButton) const override { return false; }
    void Clicked(TPoint bandEnd) override;
    TPoint DrawPlaced(TMyShape& shape) override;
};

// One interaction object per tool, indexed by TDrawTool (SpNone is select, the others
// as the kind table makes them), plus the idle one last.
std::vector<std::unique_ptr<TCanvasTool>> MakeCanvasTools(TMyCAD& cad, TInteraction& state);

} // namespace kelvo
