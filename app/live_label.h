// The statistics of a region being drawn, moved or resized, shown on the canvas where they will stand under its name.
#pragma once

#include "platform/surface.h"
#include "platform/types.h"

#include <QFont>
#include <QPoint>
#include <QStringList>
#include <QWidget>

#include <vector>

namespace kelvo {

// A transparent child of the canvas that paints only its lines of text. The canvas's
// own pixels, and the xor feedback drawn into them, stay untouched: hiding the lines
// lets the canvas show through again.
class TLiveLabel : public QWidget {
    Q_OBJECT
public:
    explicit TLiveLabel(QWidget* canvas);

    // Shows lines centred under the screen box from top-left to bottom-right, starting
    // one line below its bottom (the region's name takes that line), one text height
    // apart: where the canvas draws a region's further label lines. The text is in the
    // font and colour given, over a black copy one pixel right and down when shadow.
    void ShowLines(const QStringList& lines, TPoint topLeft, TPoint bottomRight, const TFont& font, TColor color,
                   bool shadow);
    // Hides the lines.
    void Clear();
    // The lines shown; empty when hidden.
    const QStringList& Lines() const { return lines_; }
    // Where line i begins (the top-left corner of its text) in the canvas's coordinates.
    QPoint LinePlace(qsizetype i) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QStringList lines_;
    std::vector<QPoint> places_; // canvas coordinates, one per line
    QFont font_;
    QColor color_;
    bool shadow_ = false;
};

} // namespace kelvo
