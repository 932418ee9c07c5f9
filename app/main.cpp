// Program start: the command line, the application object, the main window, the message loop.
#include "app/about_box.h"
#include "app/command_line.h"
#include "app/main_window.h"
#include "kelvo_version.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace {

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    // Read before QApplication exists: that needs a display, which --help,
    // --version and a mistyped option do not.
    const kelvo::CommandLine line =
        kelvo::ReadCommandLine(Arguments(argc, argv), QStringLiteral(KELVO_VERSION_TEXT));
    switch (line.action) {
    case kelvo::CommandLine::Action::ShowHelp:
    case kelvo::CommandLine::Action::ShowVersion:
        std::fputs(line.text.toLocal8Bit().constData(), stdout);
        return 0;
    case kelvo::CommandLine::Action::Fail:
        std::fprintf(stderr, "%s\n", line.text.toLocal8Bit().constData());
        return kelvo::CommandLine::kUsageError;
    case kelvo::CommandLine::Action::Run:
        break;
    }

    // Qt takes the options it knows (-platform, -display...) out of argv here.
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelvo"));
    QApplication::setApplicationVersion(QStringLiteral(KELVO_VERSION_TEXT));
    // Lets Wayland desktops and task bars match the window with the installed
    // launcher, and so with its name and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(KELVO_APP_ID));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(KELVO_APP_ID)));
    // Created first, so it is the application's main window; closing it ends the loop.
    kelvo::TForm1 form1;
    // The about window is created next, hidden; the information button shows it modally.
    kelvo::TAboutBox aboutBox;
    form1.SetAboutBox(&aboutBox);
    form1.show();
    // A file named on the command line is opened over the built-in picture; one
    // that cannot be opened is explained, and the built-in picture stays.
    if (!line.file.isEmpty()) {
        form1.OpenFile(line.file);
    }
    return QApplication::exec();
}
