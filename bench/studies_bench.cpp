// Studies: indexing a folder of 500 CT slices of 512 x 512 16-bit values (headers only)
// as a whole process, in turns with the fastest header-only scan of the same files
// by other tools (DCMTK's dcmdump stopping before the pixel data, or pydicom's
// dcmread(stop_before_pixels=True) over every file), whichever is faster here; the
// program opening that folder up to its first slice on screen, beside the same scan;
// a slice step with the neighbours fetched ahead (also at zoom 4 with 1,000 shapes on
// other slices); and the memory of stepping through a 2,000-slice series.
#include "app/main_window.h"
#include "app/start_up.h"
#include "app/study_view.h"
#include "bench/support/first_frame.h"
#include "canvas/annotations.h"
#include "imaging/loader.h"
#include "imaging/study_index.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTimer>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace kelvo;
using namespace kelvo::bench;

const char* const kChildFlag = "--child=";

// A series written by tests/imaging/study_reference.py (positions shuffled against the
// file names, as a scanner's export may leave them).
QString WriteSeries(QTemporaryDir& dir, int count, int side) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QString::fromLocal8Bit(qgetenv("KELVO_SOURCE_DIR")) + QStringLiteral("/tests/imaging/study_reference.py"),
             dir.path(), QString::number(count), QString::number(side)});
    return p.waitForFinished(1800000) && p.exitCode() == 0 ? dir.path() : QString();
}

QString Series500() {
    static QTemporaryDir dir;
    static const QString written = WriteSeries(dir, 500, 512);
    return written;
}

// The program as `kelvo DIR` starts it, until the folder's first slice is on screen.
int RunProgramToFirstSlice(const QString& dir, char** argv) {
    TStartHooks hooks;
    hooks.WindowReady = [](TForm1& form) {
        form.ShowError = [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); };
        auto* poll = new QTimer(&form);
        QObject::connect(poll, &QTimer::timeout, &form, [&form] {
            // A slice on screen: the first shown may sit further down the stack once
            // the rest of the series is read.
            if (!form.Study->Active() || form.Study->ShownSlice() < 0) return;
            std::puts("shown");
            std::fflush(stdout);
            QCoreApplication::exit(EXIT_SUCCESS);
        });
        poll->start(1);
    };
    int args = 1;
    return RunWindows(args, argv, dir, QStringLiteral("bench"), QStringLiteral("org.example.Kelvo"), hooks);
}

// Opens `dir` in a window of this process; false when it shows nothing.
bool OpenStudy(TForm1& form, const QString& dir) {
    form.show();
    form.OpenFile(dir);
    QElapsedTimer waited;
    waited.start();
    while ((form.Study->Indexing() || !form.Study->Active()) && waited.elapsed() < 600000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return form.Study->Active() && !form.Study->Indexing();
}

// Steps once (the slice held by the prefetch, or decoded on demand) and waits until it
// is on screen; the time it took in seconds.
double StepAndShow(TForm1& form, int32_t delta) {
    QElapsedTimer timer;
    timer.start();
    form.Study->Step(delta);
    while (form.Study->ShownSlice() != form.Study->SliceIndex()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1);
    }
    return double(timer.nsecsElapsed()) * 1e-9;
}

// The child for memory: the window steps through the whole series under the budget
// given (MiB) and prints the growth of its peak resident set over the time before the
// open, in MiB.
int RunMemoryChild(const QString& dir, int argc, char** argv) {
    // The budget goes into settings of this run's own, not the user's.
    const QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QApplication app(argc, argv);
    QSettings(QStringLiteral("kelvo"), QStringLiteral("kelvo")).setValue(QLatin1String(kelvo::kSliceBudgetKey), 256);
    TForm1 form;
    QCoreApplication::processEvents();
    const int64_t before = kelvo::bench::StatusKb("VmHWM");
    if (!OpenStudy(form, dir)) return EXIT_FAILURE;
    for (int32_t i = 1; i < form.Study->SliceCount(); ++i) {
        (void)StepAndShow(form, 1);
        QCoreApplication::processEvents();
    }
    std::printf("slices %d peak growth %.1f MiB held %.1f MiB\n", form.Study->SliceCount(),
                double(kelvo::bench::StatusKb("VmHWM") - before) / 1024.0, double(form.Study->Cache()->PeakBytes()) / 1048576.0);
    return EXIT_SUCCESS;
}

// The children: the index alone ("DIR"), the program to its first slice ("show:DIR"),
// the memory of a whole series ("memory:DIR").
int RunChild(const char* arg, int argc, char** argv) {
    const QString text = QString::fromLocal8Bit(arg);
    if (text.startsWith(QLatin1String("show:"))) return RunProgramToFirstSlice(text.mid(5), argv);
    if (text.startsWith(QLatin1String("memory:"))) return RunMemoryChild(text.mid(7), argc, argv);
    kelvo::imaging::PreferReaderDictionary();
    const kelvo::imaging::TStudyIndex index = kelvo::imaging::IndexStudy(QString::fromLocal8Bit(arg));
    std::printf("indexed %s\n", qPrintable(kelvo::imaging::SummaryText(index)));
    return index.ImageCount() > 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

TProcessRun Dcmdump(const QString& dir) {
    return {QStringLiteral("dcmdump"),
            {QStringLiteral("-q"), QStringLiteral("+sd"), QStringLiteral("+sb"), QStringLiteral("7fe0,0010"), dir},
            TUntil::Exit,
            {}};
}

TProcessRun Pydicom(const QString& dir) {
    return {QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import os, sys, pydicom\n"
                            "d = sys.argv[1]\n"
                            "for f in sorted(os.listdir(d)): pydicom.dcmread(os.path.join(d, f), stop_before_pixels=True)\n"),
             dir},
            TUntil::Exit,
            {}};
}

// The faster of the two yardsticks, by the best of three runs of each.
TProcessRun FastestScan(const QString& dir, benchmark::State& state) {
    const TProcessRun runs[] = {Dcmdump(dir), Pydicom(dir)};
    double best[2] = {1e9, 1e9};
    for (int turn = 0; turn < 3; ++turn) {
        for (int i = 0; i < 2; ++i) {
            const double s = TimeProcess(runs[i].Program, runs[i].Args, TUntil::Exit);
            if (s > 0 && s < best[i]) best[i] = s;
        }
    }
    state.counters["dcmdump_ms"] = best[0] * 1000;
    state.counters["pydicom_ms"] = best[1] * 1000;
    state.counters["yardstick_is_pydicom"] = best[1] < best[0] ? 1 : 0;
    return runs[best[1] < best[0] ? 1 : 0];
}

void BM_IndexStudy500BesideHeaderScan(benchmark::State& state) {
    const QString dir = Series500();
    if (dir.isEmpty()) {
        state.SkipWithError("no series (pydicom writes it)");
        return;
    }
    const TProcessRun yardstick = FastestScan(dir, state);
    RunInTurns(state, {SelfPath(), {QString::fromLatin1(kChildFlag) + dir}, TUntil::Exit, "indexed 500 images in 1 series"},
               yardstick);
}
BENCHMARK(BM_IndexStudy500BesideHeaderScan)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(11);

void BM_OpenFolderToFirstSliceBesideHeaderScan(benchmark::State& state) {
    const QString dir = Series500();
    if (dir.isEmpty()) {
        state.SkipWithError("no series (pydicom writes it)");
        return;
    }
    const TProcessRun yardstick = FastestScan(dir, state);
    RunInTurns(state, {SelfPath(), {QString::fromLatin1(kChildFlag) + QStringLiteral("show:") + dir}, TUntil::Exit, "shown"},
               yardstick);
}
BENCHMARK(BM_OpenFolderToFirstSliceBesideHeaderScan)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(11);

// A step with the neighbours already fetched, as the wheel turns at a user's pace (the
// pause between steps, untimed, lets the prefetch work). Arguments: zoom, shapes on
// other slices.
void BM_SliceStepWithPrefetch(benchmark::State& state) {
    const QString dir = Series500();
    TForm1 form;
    form.ShowError = [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); };
    if (dir.isEmpty() || !OpenStudy(form, dir)) {
        state.SkipWithError("the series did not open");
        return;
    }
    std::vector<std::unique_ptr<TMyShape>> shapes;
    for (int64_t i = 0; i < state.range(1); ++i) {
        TAnnotation a;
        a.Kind = TShapeKind::Rectangle;
        a.Points = {{int32_t(i % 400), 20}, {int32_t(i % 400) + 50, 90}};
        a.RoiNumber = int32_t(i + 1);
        a.Image = {QStringLiteral("1.2.3.%1").arg(i), 0};
        shapes.push_back(MakeShape(a));
    }
    form.MyCAD1->ReplaceShapes(0, 0, std::move(shapes));
    (void)form.MyCAD1->SetZoom(double(state.range(0)));
    std::vector<double> steps;
    int32_t delta = 1;
    for (auto _ : state) {
        state.PauseTiming();
        const QTime until = QTime::currentTime().addMSecs(40);
        while (QTime::currentTime() < until) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        if (form.Study->SliceIndex() + delta >= form.Study->SliceCount() || form.Study->SliceIndex() + delta < 0) delta = -delta;
        state.ResumeTiming();
        const double s = StepAndShow(form, delta);
        state.SetIterationTime(s);
        steps.push_back(s);
    }
    std::sort(steps.begin(), steps.end());
    state.counters["median_ms"] = steps[steps.size() / 2] * 1e3;
    state.counters["p95_ms"] = steps[steps.size() * 95 / 100] * 1e3;
}
BENCHMARK(BM_SliceStepWithPrefetch)->Args({1, 0})->Args({4, 1000})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(60);

// Peak memory of a window stepping through 2,000 slices of 512 x 512 (1,000 MiB of values)
// under a 256 MiB budget: what the process grew by, beside the budget.
void BM_PeakMemoryOf2000SliceSeries(benchmark::State& state) {
    static QTemporaryDir dir;
    static const QString written = WriteSeries(dir, 2000, 512);
    if (written.isEmpty()) {
        state.SkipWithError("no series (pydicom writes it)");
        return;
    }
    for (auto _ : state) {
        QByteArray out;
        if (TimeProcess(SelfPath(), {QString::fromLatin1(kChildFlag) + QStringLiteral("memory:") + written}, TUntil::Exit,
                        &out) < 0) {
            state.SkipWithError("the child failed");
            return;
        }
        std::fputs(out.constData(), stdout);
        const QList<QByteArray> words = out.simplified().split(' ');
        state.counters["peak_growth_mib"] = words.value(4).toDouble();
        state.counters["cache_peak_mib"] = words.value(7).toDouble();
    }
}
BENCHMARK(BM_PeakMemoryOf2000SliceSeries)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv, kChildFlag, RunChild); }
