// Region statistics of an ellipse holding about 1,000,000 pixels of a 16-bit picture,
// beside the floor: one plain pass that sums the same pixels through a ready-made mask.
#include "imaging/region_stats.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace kelvo::imaging;

constexpr int32_t kSide = 1200;
// pi * 564.5^2 = 1,001,100 pixels
const TRegion kEllipse{TRegionKind::Ellipse, {{35, 35}, {1164, 1164}}};

const TPicture& Picture() {
    static const TPicture p = [] {
        TPicture pic;
        pic.Allocate(kSide, kSide, 1, 1, TSampleType::U16, 16);
        std::mt19937 random(7);
        std::vector<uint16_t> values(size_t(kSide) * kSide);
        for (auto& v : values) v = uint16_t(random());
        std::memcpy(pic.Data(), values.data(), values.size() * 2);
        pic.Slope = 1.0;
        pic.Intercept = -1024.0;
        return pic;
    }();
    return p;
}

void BM_EllipseStatistics1M(benchmark::State& state) {
    const TPicture& p = Picture();
    for (auto _ : state) {
        TRegionStats s = RegionStatistics(p, 0, kEllipse);
        benchmark::DoNotOptimize(s);
    }
    state.counters["pixels"] = double(RegionStatistics(p, 0, kEllipse).Count);
}
BENCHMARK(BM_EllipseStatistics1M)->Unit(benchmark::kMillisecond);

void BM_MaskedSumFloor1M(benchmark::State& state) {
    const TPicture& p = Picture();
    std::vector<uint8_t> mask(size_t(kSide) * kSide, 0);
    for (const TRegionSpan& s : RegionSpans(kEllipse, kSide, kSide)) {
        std::memset(mask.data() + size_t(s.Y) * kSide + size_t(s.First), 1, size_t(s.Last - s.First + 1));
    }
    const auto* v = reinterpret_cast<const uint16_t*>(p.Data());
    for (auto _ : state) {
        int64_t sum = 0;
        for (size_t i = 0; i < mask.size(); ++i) {
            if (mask[i]) sum += v[i];
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_MaskedSumFloor1M)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
