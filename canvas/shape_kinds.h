// The kinds of measuring shape in one table: per kind its tool, its word in files, its title, whether it is a region, and how it and its tool are made.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <span>

namespace kelvo {

class TCanvasTool;
struct TInteraction;
class TMyCAD;
class TMyShape;

// The tools of the canvas; SpNone is the select tool, every other one draws one kind.
enum TDrawTool : uint8_t { SpNone, SpLine, SpRuleLine, SpSector, SpPolyLine, SpRectangle, SpEllipse };

// The kinds a user draws, one per drawing tool; the order is the annotation file's.
enum class TShapeKind : uint8_t { Arrow, Ruler, Angle, Polyline, Rectangle, Ellipse };

// The figure the measurement list shows for a kind.
enum class TShownFigure : uint8_t { Nothing, Length, Angle, Statistics };

// What the canvas, the annotation file and the measuring know of a kind. A new kind is
// its class (which names its Kind, copies itself in Clone and measures itself in
// MeasureInto) plus one row here.
struct TShapeKindRow {
    TShapeKind Kind;
    TDrawTool Tool;
    const char* Word;  // in annotation files and exports ("rectangle")
    const char* Title; // shown to the user ("Rectangle")
    // An area measured by its statistics and named "Roi-<n>" when committed.
    bool Region;
    // The user is asked for its caption when it is committed.
    bool AsksCaption;
    // False where the caption is drawn from the measure (a ruler's length) and so is
    // not written to files.
    bool SavesCaption;
    TShownFigure Shown;
    // The points a record of the kind holds.
    int32_t MinPoints;
    int32_t MaxPoints;
    std::unique_ptr<TMyShape> (*Make)();
    std::unique_ptr<TCanvasTool> (*MakeTool)(TMyCAD& cad, TInteraction& state, TDrawTool tool);
};

std::span<const TShapeKindRow> ShapeKinds();
const TShapeKindRow& KindRow(TShapeKind kind);
// The row of the kind a tool draws; null for SpNone and unknown tools.
const TShapeKindRow* KindRowOfTool(TDrawTool tool);

} // namespace kelvo
