// First frames of windows and processes, timed the same way by every benchmark that needs them.
#include "bench/support/first_frame.h"

#include "app/main_window.h"
#include "app/start_up.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QProcess>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace kelvo::bench {

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
int64_t StatusKb(const char* field) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(f, line))
        if (line.compare(0, key.size(), key) == 0) return std::stoll(line.substr(key.size()));
    return -1;
}

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

QString& SelfPathStore() {
    static QString path;
    return path;
}

} // namespace

void ShowAndWaitForFirstFrame(QWidget& window, QWidget& target) {
    PaintSpy spy;
    target.installEventFilter(&spy);
    window.show();
    while (!spy.painted) QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    target.removeEventFilter(&spy);
}

int RunProgramToFirstFrame(const QString& file, int argc, char** argv) {
    TStartHooks hooks;
    hooks.WindowReady = [](TForm1& form) {
        form.ShowError = [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); };
    };
    hooks.FirstFrame = [file](TForm1& form) {
        // A file that could not be opened leaves the built-in picture: not a success.
        const bool shown = file.isEmpty() || form.OpenedFile() == file;
        std::fputs(shown ? "painted\n" : "failed\n", stdout);
        std::fflush(stdout);
        QCoreApplication::exit(shown ? EXIT_SUCCESS : EXIT_FAILURE);
    };
    // Only the program's name: the child flag is not an argument of the program's.
    int args = argc > 0 ? 1 : 0;
    return RunWindows(args, argv, file, QStringLiteral("bench"), QStringLiteral("org.example.Kelvo"), hooks);
}

double TimeProcess(const QString& program, const QStringList& args, TUntil until, QByteArray* out) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    child.start(program, args);
    QByteArray text;
    double seconds = 0.0;
    if (until == TUntil::FirstLine) {
        while (!text.contains('\n') && child.waitForReadyRead(10000)) text += child.readAll();
        seconds = double(timer.nsecsElapsed()) * 1e-9;
        child.waitForFinished(120000);
    } else {
        child.waitForFinished(120000);
        seconds = double(timer.nsecsElapsed()) * 1e-9;
    }
    text += child.readAllStandardOutput();
    if (out != nullptr) *out = text;
    const bool ok = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return ok ? seconds : -1.0;
}

void RunInTurns(benchmark::State& state, const TProcessRun& subject, const TProcessRun& yardstick) {
    std::vector<double> subjectTimes;
    std::vector<double> yardstickTimes;
    std::vector<double> ratios;
    for (auto _ : state) {
        QByteArray out;
        const double s = TimeProcess(subject.Program, subject.Args, subject.Until, &out);
        if (s < 0 || !out.contains(subject.Expect)) {
            state.SkipWithError("the subject process failed");
            return;
        }
        const double y = TimeProcess(yardstick.Program, yardstick.Args, yardstick.Until);
        if (y <= 0) {
            state.SkipWithError("the yardstick process failed");
            return;
        }
        state.SetIterationTime(s);
        subjectTimes.push_back(s);
        yardstickTimes.push_back(y);
        ratios.push_back(s / y);
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n == 0 ? 0.0 : (n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
    };
    state.counters["subject_ms"] = median(subjectTimes) * 1e3;
    state.counters["yardstick_ms"] = median(yardstickTimes) * 1e3;
    state.counters["ratio"] = median(ratios);
}

QString SelfPath() { return SelfPathStore(); }

int BenchMain(int argc, char** argv, const char* childFlag, int (*child)(const char* arg, int argc, char** argv)) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 2 && std::strncmp(argv[1], childFlag, std::strlen(childFlag)) == 0)
        return child(argv[1] + std::strlen(childFlag), argc, argv);
    QApplication app(argc, argv);
    SelfPathStore() = QCoreApplication::applicationFilePath();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return EXIT_FAILURE;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return EXIT_SUCCESS;
}

} // namespace kelvo::bench
