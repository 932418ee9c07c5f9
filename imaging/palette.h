// The colour table of a PALETTE COLOR picture and its rendering: stored values are indices into it.
#pragma once

#include <QImage>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelvo::imaging {

class TPicture;

// One of the red, green and blue tables, already scaled to display levels 0..255.
struct TPaletteChannel {
    int64_t First = 0; // the stored value that maps to Levels[0]
    std::vector<uint8_t> Levels;
    // Values before the first entry take the first level, values past the last the
    // last one, as DICOM prescribes for palette lookups.
    uint8_t At(int64_t index) const;
};

struct TPalette {
    std::array<TPaletteChannel, 3> Channels; // red, green, blue
    QRgb Colour(int64_t index) const {
        return qRgb(Channels[0].At(index), Channels[1].At(index), Channels[2].At(index));
    }
};

// Renders the rectangle (x, y, w, h), already clipped to picture and target, of one
// frame through the palette into `target` (RGB32).
void RenderPaletteInto(const TPicture& picture, const TPalette& palette, QImage& target, int32_t frame, int32_t x,
                       int32_t y, int32_t w, int32_t h);

// Expands segmented table data (discrete, linear and indirect segments) into the
// `count` entries a descriptor names. `items` are the data's 8- or 16-bit items;
// indirect offsets count items from the start of the data. Damaged data give nothing
// and say what is wrong in `problem`; no read goes past the data, and nesting and
// the total work are bounded.
std::optional<std::vector<uint16_t>> ExpandSegmentedTable(const std::vector<uint16_t>& items, bool eightBit,
                                                          size_t count, QString* problem);

} // namespace kelvo::imaging
