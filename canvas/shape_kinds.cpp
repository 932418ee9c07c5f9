// The kind table: one row per measuring shape.
#include "canvas/shape_kinds.h"

#include "canvas/area_shapes.h"
#include "canvas/canvas_tools.h"
#include "canvas/line_shapes.h"

#include <limits>

namespace kelvo {

namespace {

template <class Shape>
std::unique_ptr<TMyShape> Make() {
    return std::make_unique<Shape>();
}

template <class Tool>
std::unique_ptr<TCanvasTool> MakeTool(TMyCAD& cad, TInteraction& state, TDrawTool tool) {
    return std::make_unique<Tool>(cad, state, tool);
}

constexpr int32_t kAny = std::numeric_limits<int32_t>::max();
using enum TShownFigure;

// Tool, word and title of every kind, in the order of TShapeKind.
const TShapeKindRow kRows[] = {
    // kind, tool, word, title, region, asks caption, saves caption, shown, min points, max points
    {TShapeKind::Arrow, SpLine, "arrow", "Arrow", false, true, true, Nothing, 2, 2, Make<TMyLine>,
     MakeTool<TDragTool>},
    {TShapeKind::Ruler, SpRuleLine, "ruler", "Ruler", false, false, false, Length, 2, 2, Make<TMyRuleLine>,
     MakeTool<TDragTool>},
    {TShapeKind::Angle, SpSector, "angle", "Angle", false, false, true, Angle, 3, 3, Make<TMySector>,
     MakeTool<TSectorTool>},
    {TShapeKind::Polyline, SpPolyLine, "polyline", "Polyline", true, false, true, Statistics, 2, kAny,
     Make<TMyPolyLine>, MakeTool<TPolyLineTool>},
    {TShapeKind::Rectangle, SpRectangle, "rectangle", "Rectangle", true, false, true, Statistics, 2, 2,
     Make<TMyRectangle>, MakeTool<TDragTool>},
    {TShapeKind::Ellipse, SpEllipse, "ellipse", "Ellipse", true, false, true, Statistics, 2, 2, Make<TMyEllipse>,
     MakeTool<TDragTool>},
};

} // namespace

std::span<const TShapeKindRow> ShapeKinds() { return kRows; }

const TShapeKindRow& KindRow(TShapeKind kind) {
    for (const TShapeKindRow& row : kRows) {
        if (row.Kind == kind) return row;
    }
    // Every value of the enumeration has its row.
    return kRows[0];
}

const TShapeKindRow* KindRowOfTool(TDrawTool tool) {
    for (const TShapeKindRow& row : kRows) {
        if (row.Tool == tool) return &row;
    }
    return nullptr;
}

} // namespace kelvo
