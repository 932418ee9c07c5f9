// Start-up of the main window to its first painted frame, beside a minimal Qt
// Widgets window that paints one 512 x 512 image, measured in the same run: whole
// processes from their start (the program re-runs itself in a child mode), and
// the window alone inside a running application.
#include "app/main_window.h"
#include "app/picture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Notes the first paint event that reaches a widget.
class PaintSpy : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted = true;
        return QObject::eventFilter(watched, event);
    }
};

// Shows the window and runs the event loop until `target` has painted, then
// once more so that the frame is flushed.
void ShowAndWaitForFirstFrame(QWidget& window, QWidget& target) {
    PaintSpy spy;
    target.installEventFilter(&spy);
    window.show();
    while (!spy.painted) QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    target.removeEventFilter(&spy);
}

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
QString selfPath;

// A child process that starts an application with one window, waits for its
// first frame, says so on standard output and ends.
int RunChild(const char* which, int argc, char** argv) {
    QApplication app(argc, argv);
    if (std::strcmp(which, "main") == 0) {
        kelvo::TForm1 form;
        ShowAndWaitForFirstFrame(form, *form.MyCAD1);
    } else if (std::strcmp(which, "minimal-text") == 0) {
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

// From starting the process to its report of the first frame.
void ProcessToFirstFrame(benchmark::State& state, const char* which) {
    for (auto _ : state) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer timer;
        timer.start();
        child.start(selfPath, {QString::fromLatin1(kChildFlag) + QString::fromLatin1(which)});
        QByteArray out;
        while (!out.contains('\n') && child.waitForReadyRead(10000)) out += child.readAll();
        const double seconds = static_cast<double>(timer.nsecsElapsed()) * 1e-9;
        child.waitForFinished(10000);
        if (!out.contains("painted")) {
            state.SkipWithError("the child process did not paint");
            return;
        }
        state.SetIterationTime(seconds);
    }
}

void BM_MinimalImageProcessFirstFrame(benchmark::State& state) {
    ProcessToFirstFrame(state, "minimal");
}
BENCHMARK(BM_MinimalImageProcessFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// The yardstick with one line of text on it: the share of the start-up that any
// window showing text pays for the font set-up.
void BM_MinimalImageAndTextProcessFirstFrame(benchmark::State& state) {
    ProcessToFirstFrame(state, "minimal-text");
}
BENCHMARK(BM_MinimalImageAndTextProcessFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_MainWindowProcessFirstFrame(benchmark::State& state) { ProcessToFirstFrame(state, "main"); }
BENCHMARK(BM_MainWindowProcessFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

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

int main(int argc, char** argv) {
    // Without a display the offscreen platform stands in, as in the tests.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 2 && std::strncmp(argv[1], kChildFlag, std::strlen(kChildFlag)) == 0)
        return RunChild(argv[1] + std::strlen(kChildFlag), argc, argv);
    QApplication app(argc, argv);
    selfPath = QCoreApplication::applicationFilePath();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return EXIT_FAILURE;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return EXIT_SUCCESS;
}
