// Program start: the command line, then the windows and the message loop.
#include "app/command_line.h"
#include "app/headless_export.h"
#include "app/pacs_open.h"
#include "app/start_up.h"
#include "kelvo_version.h"

#include <cstdio>

int main(int argc, char** argv) {
    // Read before QApplication exists: that needs a display, which --help,
    // --version and a mistyped option do not.
    const kelvo::CommandLine line =
        kelvo::ReadCommandLine(kelvo::ArgumentsOf(argc, argv), QStringLiteral(KELVO_VERSION_TEXT));
    switch (line.action) {
    case kelvo::CommandLine::Action::ShowHelp:
    case kelvo::CommandLine::Action::ShowVersion:
        std::fputs(line.text.toLocal8Bit().constData(), stdout);
        return 0;
    case kelvo::CommandLine::Action::Fail:
        std::fprintf(stderr, "%s\n", line.text.toLocal8Bit().constData());
        return kelvo::CommandLine::kUsageError;
    case kelvo::CommandLine::Action::Export:
        return kelvo::RunExport(argc, argv, line);
    case kelvo::CommandLine::Action::Run:
        std::fputs(line.text.toLocal8Bit().constData(), stderr);
        break;
    }

    kelvo::TStartHooks hooks;
    if (!line.link.isEmpty()) {
        QString unused;
        hooks.WindowReady = [link = *kelvo::ParsePacsLink(line.link, unused)](kelvo::TForm1& window) {
            kelvo::OpenPacsLink(window, link);
        };
    }
    return kelvo::RunWindows(argc, argv, line.file, QStringLiteral(KELVO_VERSION_TEXT), QStringLiteral(KELVO_APP_ID),
                             hooks);
}
