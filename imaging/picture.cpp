// Pictures from files: stored and modality values, their range and default window, and their rendering through a window.
#include "imaging/picture.h"

#include "imaging/palette.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace kelvo::imaging {

size_t SampleBytes(TSampleType type) {
    switch (type) {
    case TSampleType::U8:
    case TSampleType::S8:
        return 1;
    case TSampleType::U16:
    case TSampleType::S16:
        return 2;
    case TSampleType::U32:
    case TSampleType::S32:
        return 4;
    }
    return 1;
}

std::optional<uint64_t> CheckedProduct(std::initializer_list<uint64_t> factors) {
    uint64_t product = 1;
    for (const uint64_t f : factors) {
        if (__builtin_mul_overflow(product, f, &product)) {
            return std::nullopt;
        }
    }
    return product;
}

void TPicture::Allocate(int32_t width, int32_t height, int32_t frames, int32_t samples, TSampleType type,
                        int32_t bitsStored) {
    const std::optional<uint64_t> bytes = width < 0 || height < 0 || frames < 0 || samples < 0
                                              ? std::nullopt
                                              : CheckedProduct({uint64_t(width), uint64_t(height), uint64_t(samples),
                                                                uint64_t(frames), SampleBytes(type)});
    if (!bytes || *bytes > std::numeric_limits<size_t>::max() / 2) {
        throw std::length_error("picture storage beyond memory");
    }
    width_ = width;
    height_ = height;
    frames_ = frames;
    samples_ = samples;
    type_ = type;
    bitsStored_ = bitsStored;
    data_.assign(size_t(*bytes), 0);
}

int64_t TPicture::At(size_t i) const {
    const uint8_t* p = data_.data();
    switch (type_) {
    case TSampleType::U8:
        return p[i];
    case TSampleType::S8:
        return int8_t(p[i]);
    case TSampleType::U16: {
        uint16_t v;
        std::memcpy(&v, p + i * 2, 2);
        return v;
    }
    case TSampleType::S16: {
        int16_t v;
        std::memcpy(&v, p + i * 2, 2);
        return v;
    }
    case TSampleType::U32: {
        uint32_t v;
        std::memcpy(&v, p + i * 4, 4);
        return v;
    }
    case TSampleType::S32: {
        int32_t v;
        std::memcpy(&v, p + i * 4, 4);
        return v;
    }
    }
    return 0;
}

int64_t TPicture::Stored(int32_t frame, int32_t x, int32_t y, int32_t sample) const {
    if (frame < 0 || frame >= frames_ || x < 0 || x >= width_ || y < 0 || y >= height_ || sample < 0 ||
        sample >= samples_) {
        return 0;
    }
    return At(size_t(frame) * SamplesPerFrame() + (size_t(y) * size_t(width_) + size_t(x)) * size_t(samples_) +
              size_t(sample));
}

double TPicture::ModalityValue(int32_t frame, int32_t x, int32_t y) const {
    return ModalityOf(frame, Stored(frame, x, y, 0));
}

double TPicture::Luma(int32_t frame, int32_t x, int32_t y) const {
    if (!IsColour()) {
        return ModalityValue(frame, x, y);
    }
    if (Photometric.startsWith(QLatin1String("YBR"))) {
        return double(Stored(frame, x, y, 0));
    }
    return 0.299 * double(Stored(frame, x, y, 0)) + 0.587 * double(Stored(frame, x, y, 1)) +
           0.114 * double(Stored(frame, x, y, 2));
}

void TPicture::ComputeRange() {
    const size_t perFrame = SamplesPerFrame();
    if (perFrame * size_t(frames_) == 0) {
        min_ = max_ = 0.0;
        return;
    }
    // Frames with a rescale of their own are scanned one by one; the rest, which
    // share Slope and Intercept, as one run (the last, from frame `own` on).
    const size_t own = !IsColour() && ModalityLut == nullptr ? std::min(FrameModality.size(), size_t(frames_)) : 0;
    const size_t runs = own + (own < size_t(frames_) ? 1 : 0);
    const auto scan = [&](size_t run, const std::optional<TPadding>& padding) {
        int64_t lo = std::numeric_limits<int64_t>::max();
        int64_t hi = std::numeric_limits<int64_t>::min();
        const size_t from = run * perFrame;
        const size_t to = run < own ? from + perFrame : perFrame * size_t(frames_);
        for (size_t i = from; i < to; ++i) {
            const int64_t v = At(i);
            if (padding && v >= padding->From && v <= padding->To) continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        return std::pair(lo, hi);
    };
    std::vector<std::pair<int64_t, int64_t>> ranges(runs);
    bool any = false;
    for (size_t r = 0; r < runs; ++r) {
        ranges[r] = scan(r, IsColour() ? std::nullopt : Padding);
        any = any || ranges[r].first <= ranges[r].second;
    }
    for (size_t r = 0; r < runs && !any; ++r) {
        ranges[r] = scan(r, std::nullopt);
    }
    if (own > 0) {
        // A negative slope turns the order round.
        min_ = std::numeric_limits<double>::infinity();
        max_ = -min_;
        for (size_t r = 0; r < runs; ++r) {
            const auto [lo, hi] = ranges[r];
            if (lo > hi) continue; // all padding
            for (const double v : {ModalityOf(int32_t(r), lo), ModalityOf(int32_t(r), hi)}) {
                min_ = std::min(min_, v);
                max_ = std::max(max_, v);
            }
        }
        return;
    }
    const auto [lo, hi] = ranges[0];
    if (!IsColour() && ModalityLut != nullptr) {
        // A table need not rise: its values between those of the smallest and the
        // largest stored value.
        min_ = std::numeric_limits<double>::infinity();
        max_ = -min_;
        const int64_t last = int64_t(ModalityLut->Values.size()) - 1;
        const int64_t from = std::clamp<int64_t>(lo - ModalityLut->First, 0, last);
        const int64_t to = std::clamp<int64_t>(hi - ModalityLut->First, 0, last);
        for (int64_t i = from; i <= to; ++i) {
            min_ = std::min(min_, ModalityLut->Values[size_t(i)]);
            max_ = std::max(max_, ModalityLut->Values[size_t(i)]);
        }
        return;
    }
    // A negative slope turns the order round.
    const double a = ModalityOf(0, lo);
    const double b = ModalityOf(0, hi);
    min_ = std::min(a, b);
    max_ = std::max(a, b);
}

double TPicture::ColourTop() const {
    // Signed colour, which no writer should make, keeps its positive half.
    const bool isSigned = type_ == TSampleType::S8 || type_ == TSampleType::S16 || type_ == TSampleType::S32;
    const int typeBits = int(SampleBytes(type_)) * 8 - (isSigned ? 1 : 0);
    return double((int64_t(1) << std::min({bitsStored_, typeBits, 31})) - 1);
}

TWindow TPicture::DefaultWindow(int32_t frame) const {
    // Colour is shown as it is stored: the window that maps 0..top onto 0..255 (PS3.3
    // C.11.2.1.2), whatever a file names, since windows are for grey pictures.
    if (IsColour()) {
        const double top = ColourTop();
        return TWindow{(top + 1.0) / 2.0, top + 1.0};
    }
    if (OwnFrame(frame) && FrameModality[size_t(frame)].Window.has_value()) {
        return *FrameModality[size_t(frame)].Window;
    }
    if (FileWindow.has_value()) {
        return *FileWindow;
    }
    if (DisplayTable != nullptr && !DisplayTable->Levels.empty()) {
        const double span = double(DisplayTable->Levels.size());
        return TWindow{double(DisplayTable->First) + span / 2.0, std::max(1.0, span), true};
    }
    // The linear window maps [c - 0.5 - (w-1)/2, c - 0.5 + (w-1)/2] onto the grey
    // range; this centre and width put the smallest value at black and the largest at white.
    const double width = std::max(1.0, MaxValue() - MinValue() + 1.0);
    return TWindow{MinValue() + width / 2.0, width};
}

namespace {

// The window functions of DICOM (PS3.3 C.11.2.1.2, C.11.2.1.3) onto 0..255.
inline uint8_t Windowed(double value, double center, double width, TVoiFunction function) {
    if (function == TVoiFunction::Sigmoid) {
        return uint8_t(
            std::clamp(std::nearbyint(255.0 / (1.0 + std::exp(-4.0 * (value - center) / width))), 0.0, 255.0));
    }
    if (function == TVoiFunction::LinearExact) {
        if (value <= center - width / 2.0) {
            return 0;
        }
        if (value > center + width / 2.0) {
            return 255;
        }
        return uint8_t(std::clamp(std::nearbyint(((value - center) / width + 0.5) * 255.0), 0.0, 255.0));
    }
    const double lower = center - 0.5 - (width - 1.0) / 2.0;
    const double upper = center - 0.5 + (width - 1.0) / 2.0;
    if (value <= lower) {
        return 0;
    }
    if (value > upper) {
        return 255;
    }
    const double y = ((value - (center - 0.5)) / (width - 1.0) + 0.5) * 255.0;
    return uint8_t(std::clamp(std::nearbyint(y), 0.0, 255.0));
}

// The window's width as its function takes it: LINEAR_EXACT any width above 0 (its
// formula divides by the width itself), the others at least 1.
double MinimalWidth(const TPicture& p, double width) {
    if (p.VoiFunction == TVoiFunction::LinearExact && !p.IsColour() && width > 0.0) {
        return width;
    }
    return std::max(1.0, width);
}

// One lookup table over the range of stored values of the picture, so that a
// re-render costs one table read per sample.
class TLookup {
public:
    TLookup(const TPicture& p, int32_t frame, TWindow w, bool invert) {
        double center = w.Center;
        double width = MinimalWidth(p, w.Width);
        if (!std::isfinite(center) || !std::isfinite(width)) {
            center = 128.0;
            width = 256.0;
        }
        base_ = std::numeric_limits<int64_t>::min();
        switch (p.SampleType()) {
        case TSampleType::U8:
            base_ = 0;
            size_ = 256;
            break;
        case TSampleType::S8:
            base_ = -128;
            size_ = 256;
            break;
        case TSampleType::U16:
            base_ = 0;
            size_ = 65536;
            break;
        case TSampleType::S16:
            base_ = -32768;
            size_ = 65536;
            break;
        case TSampleType::U32:
        case TSampleType::S32:
            size_ = 0; // computed per sample
            break;
        }
        colour_ = p.IsColour();
        function_ = colour_ ? TVoiFunction::Linear : p.VoiFunction;
        slope_ = p.SlopeOf(frame);
        intercept_ = p.InterceptOf(frame);
        modalityLut_ = colour_ ? nullptr : p.ModalityLut.get();
        display_ = colour_ || !w.FileTable ? nullptr : p.DisplayTable.get();
        if (display_ != nullptr && display_->Levels.empty()) display_ = nullptr;
        center_ = center;
        width_ = width;
        invert_ = invert;
        table_.resize(size_t(size_));
        for (int64_t i = 0; i < size_; ++i) {
            table_[size_t(i)] = Compute(base_ + i);
        }
    }
    uint8_t operator()(int64_t stored) const {
        if (size_ > 0) {
            return table_[size_t(stored - base_)];
        }
        return Compute(stored);
    }

private:
    uint8_t Compute(int64_t stored) const {
        const double v = colour_                   ? double(stored)
                         : modalityLut_ != nullptr ? modalityLut_->ValueOf(stored)
                                                   : double(stored) * slope_ + intercept_;
        const uint8_t g = display_ != nullptr ? FromTable(v) : Windowed(v, center_, width_, function_);
        return invert_ ? uint8_t(255 - g) : g;
    }
    // The display table's grey level for a modality value.
    uint8_t FromTable(double v) const {
        const double last = double(display_->Levels.size() - 1);
        return display_->Levels[size_t(std::clamp(std::nearbyint(v) - double(display_->First), 0.0, last))];
    }
    int64_t base_ = 0;
    int64_t size_ = 0;
    bool colour_ = false;
    TVoiFunction function_ = TVoiFunction::Linear;
    double slope_ = 1.0;
    double intercept_ = 0.0;
    const TPicture::TModalityLut* modalityLut_ = nullptr;
    const TPicture::TDisplayTable* display_ = nullptr;
    double center_ = 0.0;
    double width_ = 1.0;
    bool invert_ = false;
    std::vector<uint8_t> table_;
};

template <typename T>
void RenderGrey(const T* src, int32_t stride, const TLookup& lut, QImage& target, int32_t x, int32_t y, int32_t w,
                int32_t h) {
    for (int32_t row = y; row < y + h; ++row) {
        const T* s = src + size_t(row) * size_t(stride) + size_t(x);
        auto* d = reinterpret_cast<QRgb*>(target.scanLine(row)) + x;
        for (int32_t i = 0; i < w; ++i) {
            const uint32_t g = lut(int64_t(s[i]));
            d[i] = 0xff000000u | (g << 16) | (g << 8) | g;
        }
    }
}

// Rows y0..y1 and columns x0..x1 of the stretched picture, each from the stored value
// the stretch picks, into target at (x - ox, y - oy).
template <typename T>
void RenderGreyZoomed(const T* src, int32_t sw, int32_t sh, const TLookup& lut, QImage& target, QPoint origin,
                      const QRect& area, QSize zoomed) {
    const int32_t cols = area.width();
    std::vector<int32_t> xmap(static_cast<size_t>(cols));
    for (int32_t k = 0; k < cols; ++k) {
        xmap[size_t(k)] = int32_t(int64_t(area.left() + k) * sw / zoomed.width());
    }
    int32_t lastSy = -1;
    const QRgb* lastRow = nullptr;
    for (int32_t y = area.top(); y <= area.bottom(); ++y) {
        const auto sy = int32_t(int64_t(y) * sh / zoomed.height());
        auto* d = reinterpret_cast<QRgb*>(target.scanLine(y - origin.y())) + (area.left() - origin.x());
        if (sy == lastSy) {
            std::copy(lastRow, lastRow + cols, d);
            continue;
        }
        const T* s = src + size_t(sy) * size_t(sw);
        for (int32_t k = 0; k < cols; ++k) {
            const uint32_t g = lut(int64_t(s[xmap[size_t(k)]]));
            d[k] = 0xff000000u | (g << 16) | (g << 8) | g;
        }
        lastSy = sy;
        lastRow = d;
    }
}

} // namespace

void TPicture::RenderZoomed(QImage& target, QPoint origin, QRect area, int32_t frame, TWindow window,
                            QSize zoomed) const {
    if (frame < 0 || frame >= frames_ || zoomed.isEmpty() || target.format() != QImage::Format_RGB32) {
        return;
    }
    area = area.intersected(QRect(QPoint(0, 0), zoomed)).intersected(QRect(origin, target.size()));
    if (area.isEmpty()) {
        return;
    }
    if (IsColour() || Palette) {
        // Colour pixels need their conversion per sample (or their palette lookup):
        // rendered whole, then stretched.
        const QImage whole = Render(frame, window);
        for (int32_t y = area.top(); y <= area.bottom(); ++y) {
            const auto sy = int32_t(int64_t(y) * height_ / zoomed.height());
            const auto* s = reinterpret_cast<const QRgb*>(whole.constScanLine(sy));
            auto* d = reinterpret_cast<QRgb*>(target.scanLine(y - origin.y())) - origin.x();
            for (int32_t x = area.left(); x <= area.right(); ++x) {
                d[x] = s[int64_t(x) * width_ / zoomed.width()];
            }
        }
        return;
    }
    const TLookup lut(*this, frame, window, Photometric == QLatin1String("MONOCHROME1"));
    const uint8_t* base = data_.data() + size_t(frame) * SamplesPerFrame() * SampleBytes(type_);
    switch (type_) {
    case TSampleType::U8:
        RenderGreyZoomed(base, width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::S8:
        RenderGreyZoomed(reinterpret_cast<const int8_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::U16:
        RenderGreyZoomed(reinterpret_cast<const uint16_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::S16:
        RenderGreyZoomed(reinterpret_cast<const int16_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::U32:
        RenderGreyZoomed(reinterpret_cast<const uint32_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::S32:
        RenderGreyZoomed(reinterpret_cast<const int32_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    }
}

void TPicture::RenderInto(QImage& target, int32_t frame, TWindow window, int32_t x, int32_t y, int32_t w,
                          int32_t h) const {
    if (frame < 0 || frame >= frames_ || target.format() != QImage::Format_RGB32) {
        return;
    }
    // Clip to the picture and the target.
    const int32_t x0 = std::max(0, x);
    const int32_t y0 = std::max(0, y);
    const auto x1 = int32_t(std::min({int64_t(x) + w, int64_t(width_), int64_t(target.width())}));
    const auto y1 = int32_t(std::min({int64_t(y) + h, int64_t(height_), int64_t(target.height())}));
    if (x1 <= x0 || y1 <= y0) {
        return;
    }
    if (Palette) {
        RenderPaletteInto(*this, *Palette, target, frame, x0, y0, x1 - x0, y1 - y0);
        return;
    }
    const bool invert = Photometric == QLatin1String("MONOCHROME1");
    const TLookup lut(*this, frame, window, invert);
    const size_t frameStart = size_t(frame) * SamplesPerFrame();
    if (!IsColour()) {
        const uint8_t* base = data_.data() + frameStart * SampleBytes(type_);
        switch (type_) {
        case TSampleType::U8:
            RenderGrey(base, width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::S8:
            RenderGrey(reinterpret_cast<const int8_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::U16:
            RenderGrey(reinterpret_cast<const uint16_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::S16:
            RenderGrey(reinterpret_cast<const int16_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::U32:
            RenderGrey(reinterpret_cast<const uint32_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::S32:
            RenderGrey(reinterpret_cast<const int32_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        }
        return;
    }
    // Colour: YBR_FULL (also as left by 4:2:2 decoding, which restores full
    // resolution) is turned into RGB (PS3.3 C.7.6.3.1.2), then each channel windowed.
    const bool ybr = Photometric.startsWith(QLatin1String("YBR_FULL"));
    // The conversion's results stay within what the samples can hold, and so within
    // the window's table.
    const double full = ColourTop();
    const double half = std::floor(full / 2.0) + 1.0;
    for (int32_t row = y0; row < y1; ++row) {
        auto* d = reinterpret_cast<QRgb*>(target.scanLine(row));
        for (int32_t col = x0; col < x1; ++col) {
            const size_t i = frameStart + (size_t(row) * size_t(width_) + size_t(col)) * 3;
            int64_t r = At(i);
            int64_t g = At(i + 1);
            int64_t b = At(i + 2);
            if (ybr) {
                const double Y = double(r);
                const double cb = double(g) - half;
                const double cr = double(b) - half;
                r = int64_t(std::clamp(std::nearbyint(Y + 1.402 * cr), 0.0, full));
                g = int64_t(std::clamp(std::nearbyint(Y - 0.344136 * cb - 0.714136 * cr), 0.0, full));
                b = int64_t(std::clamp(std::nearbyint(Y + 1.772 * cb), 0.0, full));
            }
            d[col] = qRgb(lut(r), lut(g), lut(b));
        }
    }
}

QImage TPicture::Render(int32_t frame, TWindow window) const {
    if (frame < 0 || frame >= frames_) {
        return QImage();
    }
    QImage image(width_, height_, QImage::Format_RGB32);
    if (image.isNull()) {
        return image;
    }
    RenderInto(image, frame, window, 0, 0, width_, height_);
    return image;
}

} // namespace kelvo::imaging
