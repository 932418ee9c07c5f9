// The state of the interaction in progress on a canvas, in one struct shared by the canvas and its tools.
#pragma once

#include "canvas/shape.h"
#include "canvas/shape_kinds.h"
#include "imaging/picture.h"
#include "platform/types.h"

#include <cstdint>
#include <memory>

namespace kelvo {

// Interaction modes; the values are the canvas's published 8-bit codes, and the names
// stay usable unqualified (ModeDraw) as the canvas has always published them.
enum class TMode : uint8_t { ModeNone = 0, ModeDraw = 2, ModeSelect = 5, ModeResize = 6, ModeMove = 7 };
using enum TMode;

// Progress of a press/drag/click chain, likewise.
enum class TDragState : uint8_t { DragNone = 0, DragClickChain = 4, DragButtonDown = 9 };
using enum TDragState;

// Everything a press, move or release changes. The canvas owns it and publishes it
// read-only; the tools are handed it and change it.
struct TInteraction {
    TMode Mode = ModeNone;
    TDragState Drag = DragNone;
    TPoint Start;
    TPoint End;
    // The shape the tools work on: the selected one, or the one under construction.
    TMyShape* Current = nullptr;
    // A shape under construction, owned here until the canvas commits it, and the tool
    // drawing it.
    std::unique_ptr<TMyShape> Pending;
    TDrawTool PendingTool = SpNone;
    // A right-button drag changing the picture's window: where it began, and the window then.
    bool WindowDrag = false;
    TPoint WindowDragStart;
    imaging::TWindow WindowAtDragStart;

    bool PendingIs(TDrawTool tool) const { return Pending != nullptr && PendingTool == tool; }
};

} // namespace kelvo
