// Exporting 1,000 shapes on one picture (pydicom's CT test image) as a measurement report and as a presentation state.
#include "reports/reports.h"

#include "imaging/loader.h"

#include <QProcess>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace kelvo;

QString CtSmall() {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QStringLiteral("import pydicom.data as d; print(d.get_testdata_file('CT_small.dcm'))")});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// A mix of every kind, measured as the window measures them.
reports::TReportImage Scene() {
    reports::TReportImage image;
    image.File = CtSmall();
    auto picture = std::make_shared<const imaging::TPicture>(imaging::LoadPicture(image.File));
    std::vector<std::unique_ptr<TMyShape>> owned;
    std::vector<const TMyShape*> shapes;
    for (int32_t i = 0; i < 1000; ++i) {
        TAnnotation a;
        a.Kind = TShapeKind(i % 6);
        const int32_t n = a.Kind == TShapeKind::Angle ? 3 : a.Kind == TShapeKind::Polyline ? 8 : 2;
        for (int32_t k = 0; k < n; ++k) a.Points.push_back(TPoint{(i * 7 + k * 13) % 128, (i * 3 + k * 29) % 128});
        if (IsRegion(a.Kind)) {
            a.RoiNumber = i + 1;
            a.Caption = QStringLiteral("Roi-%1").arg(a.RoiNumber);
        } else if (a.Kind == TShapeKind::Arrow) {
            a.Caption = QStringLiteral("Annotation %1").arg(i);
        }
        image.Shapes.push_back(a);
        owned.push_back(MakeShape(a));
        shapes.push_back(owned.back().get());
    }
    TMeasureContext c;
    c.Picture = picture;
    c.MmPerPixelX = picture->ColumnSpacing;
    c.MmPerPixelY = picture->RowSpacing;
    c.Spacing = picture->SpacingSource;
    image.Measurements = Measure(shapes, c);
    image.Window = {40.0, 400.0, false};
    return image;
}

void BM_ExportSr1000(benchmark::State& state) {
    const std::vector<reports::TReportImage> images{Scene()};
    size_t bytes = 0;
    for (auto _ : state) bytes = size_t(reports::WriteMeasurementReport(images).size());
    state.counters["bytes"] = double(bytes);
}
BENCHMARK(BM_ExportSr1000)->Unit(benchmark::kMillisecond);

void BM_ExportGsps1000(benchmark::State& state) {
    const std::vector<reports::TReportImage> images{Scene()};
    size_t bytes = 0;
    for (auto _ : state) bytes = size_t(reports::WritePresentationState(images).size());
    state.counters["bytes"] = double(bytes);
}
BENCHMARK(BM_ExportGsps1000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
