// What the start-up and picture benchmarks share: waiting for a window's first frame, timing whole child processes, and the main() that runs either the benchmarks or a child.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

class QWidget;

namespace benchmark {
class State;
}

namespace kelvo::bench {

// A field of this process's /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
int64_t StatusKb(const char* field);

// Shows the window and runs the event loop until `target` has painted, then once
// more so that the frame is flushed.
void ShowAndWaitForFirstFrame(QWidget& window, QWidget& target);

// The real program's start-up (as `kelvo FILE`, or without a file) in this process:
// prints "painted" once the canvas has shown its first frame and ends.
int RunProgramToFirstFrame(const QString& file, int argc, char** argv);

// Seconds from starting `program` to its first line of output (toLine) or to its
// end, or -1 when it failed; its output goes to `out` when given.
enum class TUntil : bool { FirstLine, Exit };
double TimeProcess(const QString& program, const QStringList& args, TUntil until, QByteArray* out = nullptr);

// Runs the subject process and its yardstick process in turns, one of each per
// iteration, so that both meet the machine in the same state (its speed drifts over a
// run, and a run of one after the other would take the drift for a difference). The
// iteration time is the subject's; the counters are both medians and the median of the
// per-turn ratios, subject over yardstick ("ratio"), which one slow turn cannot move.
// A subject run whose output lacks Expect stops the benchmark with an error.
struct TProcessRun {
    QString Program;
    QStringList Args;
    TUntil Until = TUntil::Exit;
    QByteArray Expect;
};
void RunInTurns(benchmark::State& state, const TProcessRun& subject, const TProcessRun& yardstick);

// This benchmark program's own path, for re-running itself as a child.
QString SelfPath();

// main() of a benchmark program: with the single argument `childFlag`<arg>, runs
// child(arg, argc, argv) instead of the benchmarks. Without a display the
// offscreen platform stands in, as in the tests.
int BenchMain(int argc, char** argv, const char* childFlag, int (*child)(const char* arg, int argc, char** argv));

} // namespace kelvo::bench
