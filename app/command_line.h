// Reading the program's command line: which picture to open, or whether to print help or the version instead.
#pragma once

#include <QString>
#include <QStringList>

namespace kelvo {

// What the command line asks for. It is read before the window system is opened,
// so that --help, --version and mistakes are answered without a display.
struct CommandLine {
    enum class Action {
        Run,         // start the window, with File or Link when one is given (Text: a warning)
        ShowHelp,    // print Text to standard output, exit 0
        ShowVersion, // print Text to standard output, exit 0
        Fail,        // print Text (one line) to standard error, exit kUsageError
        Export,      // measure File without a window and write Exported to Output
    };
    static constexpr int kUsageError = 2;

    Action action = Action::Run;
    QString file{}; // empty: the built-in picture
    QString text{};
    // --export FORMAT OUTPUT FILE [--annotations FILE]
    QString format{}; // "csv", "sr", "gsps" or "png"
    QString output{};
    QString annotations{}; // empty: those saved beside the picture, if any
    QString link{}; // a study link (dicomweb+https://...), read strictly
};

// The formats --export writes.
inline const QStringList kExportFormats = {QStringLiteral("csv"), QStringLiteral("sr"), QStringLiteral("gsps"),
                                           QStringLiteral("png")};

// Reads the arguments as given to main(), the program's name first. Qt's own
// options (-platform, -display, -style ...) are accepted and left to Qt, so that
// their values are not taken for the file. version is the full version text.
CommandLine ReadCommandLine(const QStringList& arguments, const QString& version);

// The arguments of main() as text for ReadCommandLine, each kept byte for byte (see
// DecodeFileName), so that the file named is the file opened.
QStringList ArgumentsOf(int argc, char** argv);

} // namespace kelvo
