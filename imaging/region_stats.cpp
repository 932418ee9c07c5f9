// Statistics of the modality values inside a region outline: which pixels it holds, and their sums.
#include "imaging/region_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace kelvo::imaging {

namespace {

// By value: std::minmax of temporaries would hand back dangling references.
std::pair<int64_t, int64_t> Ordered(int64_t a, int64_t b) { return a <= b ? std::pair{a, b} : std::pair{b, a}; }

// Exact products of coordinates doubled near the 32-bit limits need more than 64 bits.
__extension__ using Int128 = __int128;

int64_t FloorDiv(int64_t a, int64_t b) { // b > 0
    const int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
int64_t CeilDiv(int64_t a, int64_t b) { return -FloorDiv(-a, b); }

// Appends the clipped run of columns first..last of row y, keeping runs of one row
// apart (a centre on the outline shared by two runs counts once).
void AddSpan(std::vector<TRegionSpan>& spans, int32_t y, int64_t first, int64_t last, int32_t width) {
    if (!spans.empty() && spans.back().Y == y) {
        first = std::max<int64_t>(first, int64_t(spans.back().Last) + 1);
    }
    first = std::max<int64_t>(first, 0);
    last = std::min<int64_t>(last, int64_t(width) - 1);
    if (first <= last) {
        spans.push_back(TRegionSpan{y, int32_t(first), int32_t(last)});
    }
}

void RectangleSpans(const TRegion& r, int32_t width, int32_t height, std::vector<TRegionSpan>& out) {
    const auto [x0, x1] = Ordered(int64_t(r.Points[0].X), int64_t(r.Points[1].X));
    const auto [y0, y1] = Ordered(int64_t(r.Points[0].Y), int64_t(r.Points[1].Y));
    for (int64_t y = std::max<int64_t>(y0, 0); y < std::min<int64_t>(y1, height); ++y) {
        AddSpan(out, int32_t(y), x0, x1 - 1, width);
    }
}

// In doubled coordinates a centre is odd and the box's edges and middle are integers:
// with dx = 2x + 1 - (L + R), dy = 2y + 1 - (T + B), w = R - L, h = B - T, the centre
// is inside or on the ellipse when dx^2 h^2 + dy^2 w^2 <= w^2 h^2.
void EllipseSpans(const TRegion& r, int32_t width, int32_t height, std::vector<TRegionSpan>& out) {
    const auto [l, rr] = Ordered(int64_t(r.Points[0].X), int64_t(r.Points[1].X));
    const auto [t, b] = Ordered(int64_t(r.Points[0].Y), int64_t(r.Points[1].Y));
    const int64_t w = rr - l;
    const int64_t h = b - t;
    if (w == 0 || h == 0) {
        return;
    }
    const Int128 h2 = Int128(h) * h;
    for (int64_t y = std::max<int64_t>(t, 0); y < std::min<int64_t>(b, height); ++y) {
        const int64_t dy = 2 * y + 1 - (t + b);
        const Int128 rhs = Int128(w) * w * (h2 - Int128(dy) * dy);
        if (rhs < 0) {
            continue;
        }
        // The largest m with m^2 h^2 <= rhs: estimated in floating point, then made exact.
        auto m = int64_t(std::sqrt(double(rhs)) / double(h));
        while (m > 0 && Int128(m) * m * h2 > rhs) {
            --m;
        }
        while (Int128(m + 1) * (m + 1) * h2 <= rhs) {
            ++m;
        }
        // -m <= 2x + 1 - (l + r) <= m
        AddSpan(out, int32_t(y), CeilDiv(l + rr - 1 - m, 2), FloorDiv(l + rr - 1 + m, 2), width);
    }
}

// A crossing of an edge with a row's centre line, at x = Num / Den (doubled, Den > 0).
struct Crossing {
    int64_t Num;
    int64_t Den;
};

// Centre lines (odd in doubled coordinates) never pass through a vertex (even), so
// every edge either crosses a row's centre line once or not at all.
void PolygonSpans(const TRegion& r, int32_t width, int32_t height, std::vector<TRegionSpan>& out) {
    const auto& p = r.Points;
    int64_t top = std::numeric_limits<int64_t>::max();
    int64_t bottom = std::numeric_limits<int64_t>::min();
    for (const auto& v : p) {
        top = std::min<int64_t>(top, v.Y);
        bottom = std::max<int64_t>(bottom, v.Y);
    }
    std::vector<Crossing> xs;
    for (int64_t y = std::max<int64_t>(top, 0); y < std::min<int64_t>(bottom, height); ++y) {
        const int64_t yc = 2 * y + 1;
        xs.clear();
        for (size_t i = 0; i < p.size(); ++i) {
            const TRegionPoint& a = p[i];
            const TRegionPoint& b = p[(i + 1) % p.size()];
            int64_t ax = 2 * int64_t(a.X), ay = 2 * int64_t(a.Y), bx = 2 * int64_t(b.X), by = 2 * int64_t(b.Y);
            if ((ay < yc) == (by < yc)) {
                continue;
            }
            if (ay > by) {
                std::swap(ax, bx);
                std::swap(ay, by);
            }
            const int64_t den = by - ay;
            xs.push_back(Crossing{ax * den + (yc - ay) * (bx - ax), den});
        }
        std::sort(xs.begin(), xs.end(),
                  [](const Crossing& u, const Crossing& v) { return Int128(u.Num) * v.Den < Int128(v.Num) * u.Den; });
        for (size_t k = 0; k + 1 < xs.size(); k += 2) {
            // first x with 2x + 1 >= Num/Den, last x with 2x + 1 <= Num/Den
            const int64_t first = CeilDiv(xs[k].Num - xs[k].Den, 2 * xs[k].Den);
            const int64_t last = FloorDiv(xs[k + 1].Num - xs[k + 1].Den, 2 * xs[k + 1].Den);
            AddSpan(out, int32_t(y), first, last, width);
        }
    }
}

struct Totals {
    int64_t Count = 0;
    Int128 Sum = 0;
    Int128 SumSq = 0;
    int64_t Min = std::numeric_limits<int64_t>::max();
    int64_t Max = std::numeric_limits<int64_t>::min();
};

// Sums and squares of up to 16-bit samples fit 64 bits per run, so the inner loop
// stays on plain integers; 32-bit samples square into 128 bits.
template <typename T, typename Acc>
void Accumulate(const T* frame, int32_t width, const std::vector<TRegionSpan>& spans, Totals& t) {
    for (const TRegionSpan& s : spans) {
        const T* row = frame + size_t(s.Y) * size_t(width);
        Acc sum = 0;
        Acc sq = 0;
        T lo = row[s.First];
        T hi = row[s.First];
        for (int32_t x = s.First; x <= s.Last; ++x) {
            const T v = row[x];
            sum += Acc(v);
            sq += Acc(v) * Acc(v);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        t.Count += int64_t(s.Last) - s.First + 1;
        t.Sum += sum;
        t.SumSq += sq;
        t.Min = std::min<int64_t>(t.Min, lo);
        t.Max = std::max<int64_t>(t.Max, hi);
    }
}

template <typename T>
void AccumulateGrey(const uint8_t* frame, int32_t width, const std::vector<TRegionSpan>& spans, Totals& t) {
    const auto* p = reinterpret_cast<const T*>(frame);
    if constexpr (sizeof(T) <= 2) {
        Accumulate<T, int64_t>(p, width, spans, t);
    } else {
        Accumulate<T, Int128>(p, width, spans, t);
    }
}

void FinishGrey(const TPicture& picture, int32_t frame, const Totals& t, TRegionStats& s) {
    const double n = double(t.Count);
    const double meanStored = double(t.Sum) / n;
    // n^2 var = n sum(v^2) - (sum v)^2, exact in integers while it fits; 32-bit samples
    // over many pixels go through long double instead.
    double var = 0.0;
    const bool fits = t.Count < (int64_t(1) << 40) && t.SumSq < (Int128(1) << 84);
    if (fits) {
        var = double(Int128(t.Count) * t.SumSq - t.Sum * t.Sum) / (n * n);
    } else {
        const long double m = static_cast<long double>(t.Sum) / t.Count;
        var = double(static_cast<long double>(t.SumSq) / t.Count - m * m);
    }
    var = std::max(var, 0.0);
    s.Mean = meanStored * picture.SlopeOf(frame) + picture.InterceptOf(frame);
    s.Sd = std::sqrt(var) * std::abs(picture.SlopeOf(frame));
    const double a = picture.ModalityOf(frame, t.Min);
    const double b = picture.ModalityOf(frame, t.Max);
    s.Min = std::min(a, b);
    s.Max = std::max(a, b);
}

// Statistics of values made pixel by pixel (colour's luma, a modality table's output).
template <typename F>
void PerPixelStatistics(const std::vector<TRegionSpan>& spans, F value, TRegionStats& s) {
    double sum = 0.0;
    s.Min = std::numeric_limits<double>::infinity();
    s.Max = -std::numeric_limits<double>::infinity();
    for (const TRegionSpan& sp : spans) {
        for (int32_t x = sp.First; x <= sp.Last; ++x) {
            const double v = value(x, sp.Y);
            sum += v;
            s.Min = std::min(s.Min, v);
            s.Max = std::max(s.Max, v);
        }
    }
    s.Mean = sum / double(s.Count);
    double dev = 0.0;
    for (const TRegionSpan& sp : spans) {
        for (int32_t x = sp.First; x <= sp.Last; ++x) {
            const double d = value(x, sp.Y) - s.Mean;
            dev += d * d;
        }
    }
    s.Sd = std::sqrt(dev / double(s.Count));
}

} // namespace

std::vector<TRegionSpan> RegionSpans(const TRegion& input, int32_t width, int32_t height) {
    std::vector<TRegionSpan> spans;
    if (width <= 0 || height <= 0) {
        return spans;
    }
    TRegion region = input;
    for (TRegionPoint& p : region.Points) {
        p.X = std::clamp(p.X, -kMaxRegionCoordinate, kMaxRegionCoordinate);
        p.Y = std::clamp(p.Y, -kMaxRegionCoordinate, kMaxRegionCoordinate);
    }
    switch (region.Kind) {
    case TRegionKind::Rectangle:
        if (region.Points.size() >= 2) {
            RectangleSpans(region, width, height, spans);
        }
        break;
    case TRegionKind::Ellipse:
        if (region.Points.size() >= 2) {
            EllipseSpans(region, width, height, spans);
        }
        break;
    case TRegionKind::Polygon:
        if (region.Points.size() >= 3) {
            PolygonSpans(region, width, height, spans);
        }
        break;
    }
    return spans;
}

TRegionStats RegionStatistics(const TPicture& picture, int32_t frame, const TRegion& region) {
    TRegionStats s;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    s.Mean = s.Sd = s.Min = s.Max = nan;
    s.AreaInMm2 = picture.HasSpacing();
    s.Unit = picture.IsColour() ? QString() : picture.Unit;
    if (frame < 0 || frame >= picture.Frames()) {
        return s;
    }
    const std::vector<TRegionSpan> spans = RegionSpans(region, picture.Width(), picture.Height());
    for (const TRegionSpan& sp : spans) {
        s.Count += int64_t(sp.Last) - sp.First + 1;
    }
    s.Area = double(s.Count) * (s.AreaInMm2 ? picture.ColumnSpacing * picture.RowSpacing : 1.0);
    if (s.Count == 0) {
        return s;
    }
    if (picture.IsColour()) {
        PerPixelStatistics(
            spans, [&](int32_t x, int32_t y) { return picture.Luma(frame, x, y); }, s);
        return s;
    }
    if (picture.ModalityLut != nullptr) {
        PerPixelStatistics(
            spans, [&](int32_t x, int32_t y) { return picture.ModalityValue(frame, x, y); }, s);
        return s;
    }
    const uint8_t* data = picture.FrameData(frame);
    Totals t;
    switch (picture.SampleType()) {
    case TSampleType::U8:
        AccumulateGrey<uint8_t>(data, picture.Width(), spans, t);
        break;
    case TSampleType::S8:
        AccumulateGrey<int8_t>(data, picture.Width(), spans, t);
        break;
    case TSampleType::U16:
        AccumulateGrey<uint16_t>(data, picture.Width(), spans, t);
        break;
    case TSampleType::S16:
        AccumulateGrey<int16_t>(data, picture.Width(), spans, t);
        break;
    case TSampleType::U32:
        AccumulateGrey<uint32_t>(data, picture.Width(), spans, t);
        break;
    case TSampleType::S32:
        AccumulateGrey<int32_t>(data, picture.Width(), spans, t);
        break;
    }
    FinishGrey(picture, frame, t, s);
    return s;
}

} // namespace kelvo::imaging
