// One mouse move of a region being moved in the main window, with and without its statistics shown live.
#include "app/live_label.h"
#include "app/main_window.h"

#include <QApplication>
#include <QPushButton>
#include <QToolButton>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace kelvo;

// A region over most of the built-in 512 x 512 picture is moved to and fro by a pixel;
// each iteration is one move and the repaint it asks for. Argument 0: the list is
// closed, so the built-in picture shows no statistics and nothing is measured;
// 1: the list is open, so every move measures the region and shows it in the list's
// live line and on the canvas.
void BM_RegionMoveWithLiveStatistics(benchmark::State& state) {
    TForm1 form;
    if (state.range(0) != 0) form.ListBtn->click();
    form.show();
    TMyCAD* cad = form.MyCAD1;
    form.rectangleBtn->click();
    cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 40, 40);
    cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 460, 460);
    form.SelectBtn->click();
    cad->MouseDown(TMouseButton::mbLeft, Qt::NoModifier, 250, 250);
    QApplication::processEvents();
    int k = 0;
    for (auto _ : state) {
        cad->MouseMove(Qt::NoModifier, 250 + (k & 1), 250);
        QApplication::processEvents();
        ++k;
    }
    cad->MouseUp(TMouseButton::mbLeft, Qt::NoModifier, 250, 250);
    if (!form.LiveStatistics->Lines().isEmpty()) state.SkipWithError("the live lines outlived the drag");
    state.counters["pixels"] = 420.0 * 420.0;
}
BENCHMARK(BM_RegionMoveWithLiveStatistics)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    // Without a display the offscreen platform stands in, as in the tests.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return EXIT_FAILURE;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return EXIT_SUCCESS;
}
