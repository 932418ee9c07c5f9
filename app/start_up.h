// Program start once the command line is read: the named picture loads on a worker thread while the windows are built.
#pragma once

#include <QString>

#include <functional>

namespace kelvo {

class TForm1;

// Ways in for the benchmarks and tests that drive the real start-up.
struct TStartHooks {
    // Called once the worker thread for the file named on the command line has been
    // started, before the application object is made (not called without a file).
    std::function<void()> LoadingStarted;
    // Called once the main window exists, before the file is opened.
    std::function<void(TForm1&)> WindowReady;
    // Called from the event loop once the canvas has painted its first frame.
    std::function<void(TForm1&)> FirstFrame;
};

// Builds the application object, the main and about windows, opens `file` (empty:
// the built-in picture) and runs the message loop; returns its exit code. `version`
// and `appId` name the program to the desktop.
int RunWindows(int& argc, char** argv, const QString& file, const QString& version, const QString& appId,
               const TStartHooks& hooks = {});

} // namespace kelvo
