// Start-up of the main window to its first painted frame, beside a minimal Qt
// Widgets window that paints one 512 x 512 image, measured in the same run: whole
// processes from their start (the program re-runs itself in a child mode; the main
// window's child goes through the program's own start-up), and the window alone
// inside a running application.
#include "app/main_window.h"
#include "app/picture.h"
#include "bench/support/first_frame.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace kelvo::bench;

// The yardstick: the least a Qt Widgets program does to show a 512 x 512 image.
class MinimalWindow : public QWidget {
public:
    MinimalWindow() : image_(512, 512, QImage::Format_RGB32) {
        image_.fill(Qt::gray);
        resize(512, 512);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(0, 0, image_);
    }

private:
    QImage image_;
};

void BM_MinimalImageWindowFirstFrame(benchmark::State& state) {
    for (auto _ : state) {
        MinimalWindow window;
        ShowAndWaitForFirstFrame(window, window);
    }
}
BENCHMARK(BM_MinimalImageWindowFirstFrame)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_MainWindowFirstFrame(benchmark::State& state) {
    for (auto _ : state) {
        kelvo::TForm1 form;
        ShowAndWaitForFirstFrame(form, *form.MyCAD1);
    }
}
BENCHMARK(BM_MainWindowFirstFrame)->Unit(benchmark::kMillisecond)->MinTime(2.0);

const char* const kChildFlag = "--first-frame=";

// A child process that starts an application with one window (for "main", the
// program's own start-up), waits for its first frame, says so on standard output
// and ends.
int RunChild(const char* which, int argc, char** argv) {
    if (std::strcmp(which, "main") == 0) return RunProgramToFirstFrame(QString(), argc, argv);
    QApplication app(argc, argv);
    if (std::strcmp(which, "minimal-text") == 0) {
        MinimalWindow window;
        QLabel label(QStringLiteral("LineWidth"), &window);
        ShowAndWaitForFirstFrame(window, label);
    } else {
        MinimalWindow window;
        ShowAndWaitForFirstFrame(window, window);
    }
    std::fputs("painted\n", stdout);
    std::fflush(stdout);
    return EXIT_SUCCESS;
}

TProcessRun FirstFrameOf(const char* which) {
    return {SelfPath(), {QString::fromLatin1(kChildFlag) + QString::fromLatin1(which)}, TUntil::FirstLine, "painted"};
}

// From starting the process to its report of the first frame: the program's own
// start-up in turns with the minimal image window's, and the minimal window with one
// line of text on it (the share of the start-up that any window showing text pays for
// the font set-up) in turns with the same yardstick.
void BM_MainWindowBesideMinimalWindow(benchmark::State& state) {
    RunInTurns(state, FirstFrameOf("main"), FirstFrameOf("minimal"));
}
BENCHMARK(BM_MainWindowBesideMinimalWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(31);
void BM_MinimalTextWindowBesideMinimalWindow(benchmark::State& state) {
    RunInTurns(state, FirstFrameOf("minimal-text"), FirstFrameOf("minimal"));
}
BENCHMARK(BM_MinimalTextWindowBesideMinimalWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(21);

// The parts of the main window's start-up, to see where the time goes.
void BM_BuiltInPicture(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(kelvo::BuiltInPicture());
}
BENCHMARK(BM_BuiltInPicture)->Unit(benchmark::kMillisecond);

void BM_MainWindowConstruction(benchmark::State& state) {
    for (auto _ : state) {
        kelvo::TForm1 form;
        benchmark::DoNotOptimize(form.MyCAD1);
    }
}
BENCHMARK(BM_MainWindowConstruction)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv, kChildFlag, RunChild); }
