// The drawing of the built-in picture: a grey-scale head slice from ellipses and soft texture.
#include "app/head_slice.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace kelvo {
namespace {

// One ellipse of the head, in coordinates where the picture spans -1..1 with y
// pointing up; `density` is added to whatever lies beneath.
struct Ellipse {
    double density;
    double a, b;    // half axes
    double x0, y0;  // centre
    double degrees; // rotation, counter-clockwise
};

// The classic analytic head phantom (with the higher-contrast densities that
// make the soft tissue readable on screen).
constexpr std::array<Ellipse, 10> kHead{{
    {1.0, 0.69, 0.92, 0.0, 0.0, 0.0},
    {-0.8, 0.6624, 0.874, 0.0, -0.0184, 0.0},
    {-0.2, 0.11, 0.31, 0.22, 0.0, -18.0},
    {-0.2, 0.16, 0.41, -0.22, 0.0, 18.0},
    {0.1, 0.21, 0.25, 0.0, 0.35, 0.0},
    {0.1, 0.046, 0.046, 0.0, 0.1, 0.0},
    {0.1, 0.046, 0.046, 0.0, -0.1, 0.0},
    {0.1, 0.046, 0.023, -0.08, -0.605, 0.0},
    {0.1, 0.023, 0.023, 0.0, -0.606, 0.0},
    {0.1, 0.023, 0.046, 0.06, -0.605, 0.0},
}};

// Scale of the head within the picture, leaving room for the couch below.
constexpr double kHeadScale = 0.9;

// Soft tissue inside the skull sits a little above water, so the ventricles
// read darker than brain but lighter than air.
constexpr double kInsideHead = 0.07;

// The stretches of one picture row that an ellipse covers, as [left, right) in
// the same -1..1 units; the ellipse equation solved for x gives their ends.
struct Span {
    double left = 0.0, right = 0.0;
};

Span Cover(const Ellipse& e, double y) {
    const double r = e.degrees * std::numbers::pi / 180.0;
    const double c = std::cos(r), s = std::sin(r);
    const double a = e.a * kHeadScale, b = e.b * kHeadScale;
    const double dy = y - e.y0 * kHeadScale;
    // (dx c + dy s)^2 / a^2 + (-dx s + dy c)^2 / b^2 <= 1, a quadratic in dx.
    const double qa = c * c / (a * a) + s * s / (b * b);
    const double qb = 2.0 * dy * c * s * (1.0 / (a * a) - 1.0 / (b * b));
    const double qc = dy * dy * (s * s / (a * a) + c * c / (b * b)) - 1.0;
    const double disc = qb * qb - 4.0 * qa * qc;
    if (disc < 0.0) return {};
    const double root = std::sqrt(disc);
    const double x0 = e.x0 * kHeadScale;
    return {x0 + (-qb - root) / (2.0 * qa), x0 + (-qb + root) / (2.0 * qa)};
}

// Integer hash of a lattice point, so the texture is the same everywhere.
double Lattice(int32_t x, int32_t y, uint32_t seed) {
    uint32_t h = static_cast<uint32_t>(x) * 0x8DA6B343u ^ static_cast<uint32_t>(y) * 0xD8163841u ^ seed * 0xCB1AB31Fu;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return static_cast<double>(h & 0xFFFFu) / 65535.0;
}

// Smooth value noise in 0..1 over the picture, with the given cell size in
// pixels: hashed lattice values, blended with smoothstep weights.
class ValueNoise {
public:
    ValueNoise(double cell, uint32_t seed) {
        cells_ = static_cast<int>(kPictureSize / cell) + 2;
        lattice_.resize(static_cast<size_t>(cells_ + 1) * static_cast<size_t>(cells_ + 1));
        for (int y = 0; y <= cells_; ++y)
            for (int x = 0; x <= cells_; ++x) lattice_[Index(x, y)] = Lattice(x, y, seed);
        for (int p = 0; p < kPictureSize; ++p) {
            const double f = p / cell;
            const double i = std::floor(f);
            const double t = f - i;
            cellOf_[p] = static_cast<int>(i);
            weight_[p] = t * t * (3.0 - 2.0 * t);
        }
    }
    double At(int px, int py) const {
        const int x0 = cellOf_[px], y0 = cellOf_[py];
        const double sx = weight_[px], sy = weight_[py];
        const double a = lattice_[Index(x0, y0)], b = lattice_[Index(x0 + 1, y0)];
        const double c = lattice_[Index(x0, y0 + 1)], d = lattice_[Index(x0 + 1, y0 + 1)];
        const double top = a + (b - a) * sx;
        return top + ((c + (d - c) * sx) - top) * sy;
    }

private:
    size_t Index(int x, int y) const {
        return static_cast<size_t>(y) * static_cast<size_t>(cells_ + 1) + static_cast<size_t>(x);
    }
    int cells_ = 0;
    std::vector<double> lattice_;
    std::array<int, kPictureSize> cellOf_{};
    std::array<double, kPictureSize> weight_{};
};

// Soft mottling around 0 (roughly -0.5..0.5): three octaves.
class Texture {
public:
    double At(int px, int py) const {
        return 0.55 * coarse_.At(px, py) + 0.3 * middle_.At(px, py) + 0.15 * fine_.At(px, py) - 0.5;
    }

private:
    ValueNoise coarse_{23.0, 1u}, middle_{9.0, 2u}, fine_{3.5, 3u};
};

// Display window: soft tissue spread over most of the grey range, bone near white.
double Grey(double density) {
    if (density <= 0.4) return 14.0 + density * 385.0;
    return 168.0 + (std::min(density, 1.0) - 0.4) / 0.6 * 72.0;
}

// The couch the head lies on: a shallow arc band under the skull.
double Couch(double x, double y) {
    const double arc = -0.875 - 0.05 * (1.0 - x * x);
    return (std::abs(y - arc) < 0.016 && std::abs(x) < 0.84) ? 0.14 : 0.0;
}

} // namespace

std::vector<uint8_t> HeadSliceGrey() {
    std::vector<uint8_t> grey(static_cast<size_t>(kPictureSize) * kPictureSize);
    constexpr int kSub = 2; // samples per axis, to soften the outlines
    const double half = kPictureSize / 2.0;
    std::array<double, kPictureSize> density{};
    const Texture texture;
    // Coverage is summed per sample column with a difference array: each ellipse
    // adds its density to one run of samples per sample row.
    constexpr int kSamples = kPictureSize * kSub;
    std::array<double, kSamples + 1> runs{};
    auto firstSampleAtOrRightOf = [&](double x) {
        const double j = std::ceil((x + 1.0) * kSub * half - 0.5);
        return static_cast<int>(std::clamp(j, 0.0, static_cast<double>(kSamples)));
    };
    for (int row = 0; row < kPictureSize; ++row) {
        density.fill(0.0);
        for (int sy = 0; sy < kSub; ++sy) {
            const double y = 1.0 - (row + (sy + 0.5) / kSub) / half;
            runs.fill(0.0);
            for (size_t i = 0; i < kHead.size(); ++i) {
                const Span span = Cover(kHead[i], y);
                const int from = firstSampleAtOrRightOf(span.left);
                const int to = firstSampleAtOrRightOf(span.right);
                if (from >= to) continue;
                const double add = kHead[i].density + (i == 0 ? kInsideHead : 0.0);
                runs[from] += add;
                runs[to] -= add;
            }
            const bool nearCouch = y < -0.85 && y > -0.95;
            double v = 0.0;
            for (int j = 0; j < kSamples; ++j) {
                v += runs[j];
                double sample = v;
                if (nearCouch) sample += Couch((j + 0.5) / (kSub * half) - 1.0, y);
                density[j / kSub] += sample;
            }
        }
        uint8_t* line = grey.data() + static_cast<size_t>(row) * kPictureSize;
        for (int col = 0; col < kPictureSize; ++col) {
            const double d = density[col] / (kSub * kSub);
            const double t = texture.At(col, row);
            // Tissue is mottled; air carries only a faint noise floor.
            const double grain = d > 0.05 ? 0.06 * t : 0.012 * t;
            const double g = std::clamp(Grey(d + grain), 0.0, 255.0);
            line[col] = static_cast<uint8_t>(std::nearbyint(g));
        }
    }
    return grey;
}

} // namespace kelvo
