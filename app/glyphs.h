// The small pictures on the main window's buttons, drawn in code.
#pragma once

#include <QIcon>
#include <QImage>

#include <cstdint>

namespace kelvo {

enum class TGlyph : uint8_t {
    Select,     // the select tool: a pointer arrow
    Annotation, // annotation arrow: an arrow pointing at a text
    Ruler,      // rule line: a ruler with ticks
    Sector,     // angle gauge: two rays from a vertex with the angle's arc
    PolyLine,   // region outline through clicked points
    Rectangle,
    Ellipse,
    Delete, // removes the selected shape
    Help,   // opens the information window
    Close,  // ends the program
};

constexpr int kGlyphSize = 20;

// The glyph on a transparent square of kGlyphSize pixels, the same on every call.
QImage GlyphImage(TGlyph glyph);

// The glyph as a button icon; the disabled look is derived by Qt.
QIcon GlyphIcon(TGlyph glyph);

} // namespace kelvo
