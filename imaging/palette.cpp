// Palette lookups: a stored index to its red, green and blue display levels.
#include "imaging/palette.h"

#include "imaging/picture.h"

#include <algorithm>
#include <cstdint>

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
    const uint8_t* data = picture.FrameData(frame);
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

namespace {

// Expands one table; a failed step leaves its reason in problem_.
class TSegmentExpander {
public:
    TSegmentExpander(const std::vector<uint16_t>& items, bool eightBit, size_t count)
        : items_(items), eightBit_(eightBit), count_(count) {
        entries_.reserve(count);
    }

    std::optional<std::vector<uint16_t>> Expand(QString* problem) {
        if (!Run(0, items_.size(), kAll, 0)) {
            *problem = problem_;
            return std::nullopt;
        }
        if (entries_.size() != count_) {
            *problem = QStringLiteral("%1 entries where the descriptor gives %2").arg(entries_.size()).arg(count_);
            return std::nullopt;
        }
        return std::move(entries_);
    }

private:
    static constexpr size_t kAll = SIZE_MAX;
    // Indirect segments within indirect segments: real tables nest one level, if any.
    static constexpr int kMaxDepth = 32;
    // Segments expanded in all, copies included: empty segments copied over and over
    // would otherwise cost time without adding entries.
    static constexpr size_t kMaxSegments = size_t(1) << 20;

    bool Fail(const QString& problem) {
        problem_ = problem;
        return false;
    }

    bool CutShort(size_t at) { return Fail(QStringLiteral("the segment at item %1 is cut short").arg(at)); }

    // Linear interpolation from y0 to y1 at step i of n, rounded half to even as
    // numpy-based readers round, so that the same file shows the same colours there.
    static uint16_t Interpolate(uint32_t y0, uint32_t y1, size_t i, size_t n) {
        const int64_t num = int64_t(y0) * int64_t(n) + (int64_t(y1) - int64_t(y0)) * int64_t(i);
        int64_t q = num / int64_t(n);
        const int64_t twice = 2 * (num % int64_t(n));
        if (twice > int64_t(n) || (twice == int64_t(n) && (q & 1) != 0)) {
            ++q;
        }
        return uint16_t(q);
    }

    bool Room(size_t more, size_t at) {
        if (more > count_ - entries_.size()) {
            return Fail(QStringLiteral("the segment at item %1 runs past the %2 entries the descriptor gives")
                            .arg(at)
                            .arg(count_));
        }
        return true;
    }

    // The entries themselves.
    bool Discrete(size_t at, size_t length, size_t& pos, size_t end) {
        if (length > end - pos) {
            return Fail(QStringLiteral("the discrete segment at item %1 runs past the end of the data").arg(at));
        }
        if (!Room(length, at)) {
            return false;
        }
        entries_.insert(entries_.end(), items_.begin() + std::ptrdiff_t(pos),
                        items_.begin() + std::ptrdiff_t(pos + length));
        pos += length;
        return true;
    }

    // From the entry before to the value given.
    bool Linear(size_t at, size_t length, size_t& pos, size_t end) {
        if (end - pos < 1) {
            return CutShort(at);
        }
        if (entries_.empty()) {
            return Fail(QStringLiteral("the linear segment at item %1 has no entry before it").arg(at));
        }
        if (!Room(length, at)) {
            return false;
        }
        const uint16_t y0 = entries_.back();
        const uint16_t y1 = items_[pos];
        pos += 1;
        for (size_t i = 1; i <= length; ++i) {
            entries_.push_back(Interpolate(y0, y1, i, length));
        }
        return true;
    }

    // `count` segments again, from an earlier offset; they must all end before `at`.
    bool Indirect(size_t at, size_t count, size_t& pos, size_t end, int depth) {
        const size_t words = eightBit_ ? 4 : 2;
        if (end - pos < words) {
            return CutShort(at);
        }
        // Least significant part first: two 16-bit words, or four bytes.
        size_t offset = 0;
        for (size_t w = words; w-- > 0;) {
            offset = (offset << (eightBit_ ? 8 : 16)) | items_[pos + w];
        }
        pos += words;
        if (offset >= at) {
            return Fail(QStringLiteral("the indirect segment at item %1 points at item %2, not before itself")
                            .arg(at)
                            .arg(offset));
        }
        if (depth >= kMaxDepth) {
            return Fail(QStringLiteral("indirect segments nested more than %1 deep").arg(kMaxDepth));
        }
        return Run(offset, at, count, depth + 1);
    }

    // Expands `segments` segments from item `pos`, all of which must end by item `end`
    // (kAll: every segment up to `end`).
    bool Run(size_t pos, size_t end, size_t segments, int depth) {
        for (size_t done = 0; done < segments; ++done) {
            if (pos >= end) {
                if (segments == kAll) {
                    return true;
                }
                return Fail(QStringLiteral("an indirect segment copies %1 segments, only %2 lie before it")
                                .arg(segments)
                                .arg(done));
            }
            // An odd number of 8-bit items is padded with a zero to fill the last word.
            if (segments == kAll && end - pos == 1 && items_[pos] == 0) {
                return true;
            }
            if (end - pos < 2) {
                return CutShort(pos);
            }
            if (++segmentsSeen_ > kMaxSegments) {
                return Fail(QStringLiteral("more than %1 segments to expand").arg(kMaxSegments));
            }
            const size_t at = pos;
            const uint16_t opcode = items_[pos];
            const size_t length = items_[pos + 1];
            pos += 2;
            bool ok = false;
            switch (opcode) {
            case 0:
                ok = Discrete(at, length, pos, end);
                break;
            case 1:
                ok = Linear(at, length, pos, end);
                break;
            case 2:
                ok = Indirect(at, length, pos, end, depth);
                break;
            default:
                ok = Fail(QStringLiteral("unknown segment type %1 at item %2").arg(opcode).arg(at));
                break;
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    const std::vector<uint16_t>& items_;
    bool eightBit_;
    size_t count_;
    std::vector<uint16_t> entries_;
    size_t segmentsSeen_ = 0;
    QString problem_;
};

} // namespace

std::optional<std::vector<uint16_t>> ExpandSegmentedTable(const std::vector<uint16_t>& items, bool eightBit,
                                                          size_t count, QString* problem) {
    return TSegmentExpander(items, eightBit, count).Expand(problem);
}

} // namespace kelvo::imaging
