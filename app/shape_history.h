// Undo and redo of the canvas's shapes: each recorded change keeps only the run of shapes it altered.
#pragma once

#include "canvas/annotations.h"
#include "canvas/my_cad.h"

#include <QUndoStack>

#include <cstdint>
#include <vector>

namespace kelvo {

// Compares the canvas's shapes with the state last recorded and, when they differ,
// pushes one step holding the shapes before and after the change over the smallest
// run that covers it (an add, a delete, a move, a resize or a load). Undo and redo put
// that run back with new shape objects; selection is not part of the history.
class TShapeHistory {
public:
    explicit TShapeHistory(TMyCAD* canvas);

    QUndoStack& Stack() { return stack_; }
    // Records the canvas's change since the last call, if any. True when a step was pushed
    // or the change joined the step before it: a change recorded with the run of that
    // step (a non-zero number) and altering the same shape joins it, and a step whose
    // changes cancel out is dropped. Run 0 always makes a step of its own.
    bool Record(uint64_t run = 0);
    // Forgets every step and takes the canvas's shapes as the starting state.
    void Reset();
    // The records of the canvas's shapes now.
    std::vector<TAnnotation> Current() const;

private:
    friend class TShapeChange;
    void Apply(size_t first, size_t count, const std::vector<TAnnotation>& shapes);

    TMyCAD* canvas_;
    QUndoStack stack_;
    std::vector<TAnnotation> recorded_;
};

} // namespace kelvo
