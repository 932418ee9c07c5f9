// The test program's one Qt application object, made the same way in every test folder.
#pragma once

#include <gtest/gtest.h>

#include <functional>

class QCoreApplication;

namespace kelvo::test {

// Sockets, timers and message windows need only an event loop; pictures and fonts
// need the GUI; widgets need QApplication.
enum class AppKind { Core, Gui, Widgets };

// Makes the application object of `kind` on first use (named after the program) and
// returns it; later calls return the same object whatever kind they ask for. An
// object made here lives until the program ends.
QCoreApplication& EnsureApp(AppKind kind = AppKind::Core);

// Registers a GoogleTest environment that makes the application before the first test
// (then runs `afterStart`, for a folder's own settings) and deletes it after the last,
// so that widgets and fonts are gone before static destructors run. Call it from a
// namespace-scope initialiser.
::testing::Environment* AddApplicationEnvironment(AppKind kind, std::function<void()> afterStart = {});

} // namespace kelvo::test
