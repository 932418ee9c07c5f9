// Saving and loading an annotation file of 10,000 shapes (a mix of every kind), through
// the real file system with its atomic rename.
#include "canvas/annotations.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using namespace kelvo;

std::vector<TAnnotation> Shapes() {
    std::vector<TAnnotation> out;
    for (int32_t i = 0; i < 10000; ++i) {
        TAnnotation a;
        a.Kind = TShapeKind(i % 6);
        const int32_t n = a.Kind == TShapeKind::Angle ? 3 : a.Kind == TShapeKind::Polyline ? 8 : 2;
        for (int32_t k = 0; k < n; ++k) a.Points.push_back(TPoint{(i * 7 + k * 13) % 512, (i * 3 + k * 29) % 512});
        a.Color = clYellow;
        a.Width = 1 + i % 10;
        if (IsRegion(a.Kind)) {
            a.RoiNumber = i + 1;
            a.Caption = QStringLiteral("Roi-%1").arg(a.RoiNumber);
        } else if (a.Kind == TShapeKind::Arrow) {
            a.Caption = QStringLiteral("Annotation %1").arg(i);
        }
        out.push_back(a);
    }
    return out;
}

void BM_SaveAnnotations10000(benchmark::State& state) {
    QTemporaryDir dir;
    const auto shapes = Shapes();
    const QString path = dir.path() + QStringLiteral("/scan.dcm.kelvo.json");
    for (auto _ : state) SaveAnnotations(path, shapes);
}
BENCHMARK(BM_SaveAnnotations10000)->Unit(benchmark::kMillisecond);

void BM_LoadAnnotations10000(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/scan.dcm.kelvo.json");
    SaveAnnotations(path, Shapes());
    for (auto _ : state) {
        auto loaded = LoadAnnotations(path);
        benchmark::DoNotOptimize(loaded);
    }
}
BENCHMARK(BM_LoadAnnotations10000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
