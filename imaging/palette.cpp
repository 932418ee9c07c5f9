// Palette lookups: a stored index to its red, green and blue display levels.
#include "imaging/palette.h"

#include "imaging/picture.h"

#include <algorithm>

namespace kelvo::imaging {

uint8_t TPaletteChannel::At(int64_t index) const {
    if (Levels.empty()) {
        return 0;
    }
    const int64_t last = int64_t(Levels.size()) - 1;
    return Levels[size_t(std::clamp<int64_t>(index - First, 0, last))];
}

namespace {

template <typename T>
void RenderIndices(const T* src, int32_t stride, const std::vector<QRgb>& table, int64_t base, const TPalette& palette,
                   QImage& target, int32_t x, int32_t y, int32_t w, int32_t h) {
    for (int32_t row = y; row < y + h; ++row) {
        const T* s = src + size_t(row) * size_t(stride) + size_t(x);
        auto* d = reinterpret_cast<QRgb*>(target.scanLine(row)) + x;
        for (int32_t i = 0; i < w; ++i) {
            const auto v = int64_t(s[i]);
            d[i] = table.empty() ? palette.Colour(v) : table[size_t(v - base)];
        }
    }
}

} // namespace

void RenderPaletteInto(const TPicture& picture, const TPalette& palette, QImage& target, int32_t frame, int32_t x,
                       int32_t y, int32_t w, int32_t h) {
    // Up to 16 bits a table over every possible value costs one read per pixel;
    // wider values look each channel up on their own.
    int64_t base = 0;
    int64_t size = 0;
    switch (picture.SampleType()) {
    case TSampleType::U8:
        size = 256;
        break;
    case TSampleType::S8:
        base = -128;
        size = 256;
        break;
    case TSampleType::U16:
        size = 65536;
        break;
    case TSampleType::S16:
        base = -32768;
        size = 65536;
        break;
    case TSampleType::U32:
    case TSampleType::S32:
        break;
    }
    std::vector<QRgb> table(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i) {
        table[size_t(i)] = palette.Colour(base + i);
    }
    const uint8_t* data =
        picture.Data() + size_t(frame) * picture.SamplesPerFrame() * SampleBytes(picture.SampleType());
    const int32_t stride = picture.Width();
    switch (picture.SampleType()) {
    case TSampleType::U8:
        RenderIndices(data, stride, table, base, palette, target, x, y, w, h);
        break;
    case TSampleType::S8:
        RenderIndices(reinterpret_cast<const int8_t*>(data), stride, table, base, palette, target, x, y, w, h);
        break;
    case TSampleType::U16:
        RenderIndices(reinterpret_cast<const uint16_t*>(data), stride, table, base, palette, target, x, y, w, h);
        break;
    case TSampleType::S16:
        RenderIndices(reinterpret_cast<const int16_t*>(data), stride, table, base, palette, target, x, y, w, h);
        break;
    case TSampleType::U32:
        RenderIndices(reinterpret_cast<const uint32_t*>(data), stride, table, base, palette, target, x, y, w, h);
        break;
    case TSampleType::S32:
        RenderIndices(reinterpret_cast<const int32_t*>(data), stride, table, base, palette, target, x, y, w, h);
        break;
    }
}

} // namespace kelvo::imaging
