// Reading the program's arguments: help, version, Qt's own options, and the one file to open.
#include "app/command_line.h"

#include "app/pacs_link.h"
#include "canvas/annotations.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>

#include <array>

namespace kelvo {
namespace {

// The options that QGuiApplication, QApplication and the X11 platform take out of
// the arguments themselves. Declared here only so that they count as known and
// their values are not mistaken for the file; Qt still acts on them.
constexpr std::array kQtOptionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry", "geometry", "qwindowtitle",
    "title",    "qwindowicon",        "icon",          "session", "display",         "name",     "visual",
    "style",    "stylesheet",
};
constexpr std::array kQtFlags = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

// The program's name as typed, without its folder; "kelvo" when there is none.
QString ProgramName(const QStringList& arguments) {
    const QString name = arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
    return name.isEmpty() ? QStringLiteral("kelvo") : name;
}

// A failed reading: one line naming the program, the reason and where help is.
CommandLine Failure(const QString& program, const QString& why) {
    // errorText() may carry a line break for some mistakes; the message stays one line.
    QString line = why.simplified();
    return {.action = CommandLine::Action::Fail, .text = QStringLiteral("%1: %2 Try '%1 --help'.").arg(program, line)};
}

// Declares help and version, Qt's own options (hidden from the help), and the FILE argument.
void DeclareOptions(QCommandLineParser& parser, const QCommandLineOption& help, const QCommandLineOption& version) {
    // Qt's options are single-dash words (-platform); they must not be read as
    // a cluster of one-letter options.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Annotate and measure grey-scale medical pictures.\n"
                       "Qt's standard options (-platform, -display, -style ...) are accepted as well."));
    parser.addOption(help);
    parser.addOption(version);
    for (const char* name : kQtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    QCommandLineOption exportAs(
        QStringLiteral("export"),
        QStringLiteral("Measure FILE without a window and write OUT as <format>: csv "
                       "(the measurements), sr (a DICOM measurement report), gsps (a DICOM "
                       "presentation state) or png (the picture with its shapes). The shapes "
                       "are those saved beside FILE, or those of --annotations. FILE may be a folder "
                       "or DICOMDIR: then every image with shapes is measured, and png writes "
                       "OUT-1.png, OUT-2.png… (OUT without .png), one per image. Exits with 0, or "
                       "with 1 and one line on standard error saying why."),
        QStringLiteral("format"));
    parser.addOption(exportAs);
    parser.addOption(QCommandLineOption(QStringLiteral("annotations"),
                                        QStringLiteral("With --export: the annotation file whose shapes are measured."),
                                        QStringLiteral("file")));
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("A DICOM file, or a PNG, JPEG, TIFF or BMP picture, to show instead "
                                                "of the built-in picture; or a folder of DICOM files or "
                                                "a DICOMDIR, to browse its series."),
                                 QStringLiteral("[FILE | LINK]"));
    parser.addPositionalArgument(
        QStringLiteral("LINK"),
        QStringLiteral("dicomweb+https://host/path/studies/UID: retrieves that study from the "
                       "DICOMweb server at https://host/path/ and shows it. dicomweb+http works "
                       "too, unencrypted, with a warning."));
}

// The parser's help with a usage line that names the program as typed: the parser
// would name the application object's program, or a placeholder when there is none yet.
QString HelpText(const QCommandLineParser& parser, const QString& program) {
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')),
                 QStringLiteral("Usage: %1 [options] [FILE | LINK]\n"
                                "       %1 --export csv|sr|gsps|png OUT FILE [--annotations FILE]")
                     .arg(program));
    return text;
}

// The file of a parsed line: none or one, and not an empty name.
CommandLine FileToRun(const QCommandLineParser& parser, const QString& program) {
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        return Failure(program, QStringLiteral("%1 files given, but Kelvo opens one at a time.").arg(files.size()));
    }
    if (files.size() == 1 && files.first().isEmpty()) {
        return Failure(program, QStringLiteral("The file name is empty."));
    }
    if (files.size() == 1 && IsPacsLink(files.first())) {
        QString error;
        const std::optional<TPacsLink> link = ParsePacsLink(files.first(), error);
        if (!link) return Failure(program, error);
        const QString warning =
            link->Plain ? QStringLiteral("%1: warning: the study comes over plain http, unencrypted and unchecked.\n")
                              .arg(program)
                        : QString();
        return {.action = CommandLine::Action::Run, .text = warning, .link = files.first()};
    }
    return {.action = CommandLine::Action::Run, .file = files.value(0)};
}

// An export: a known format, the output and the one picture file.
CommandLine ExportToRun(const QCommandLineParser& parser, const QString& program) {
    const QString format = parser.value(QStringLiteral("export"));
    if (!kExportFormats.contains(format)) {
        return Failure(program, QStringLiteral("Unknown export format \"%1\"; use csv, sr, gsps or png.").arg(format));
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 2 || files[0].isEmpty() || files[1].isEmpty()) {
        return Failure(program, QStringLiteral("--export needs an output file and a picture file."));
    }
    return {.action = CommandLine::Action::Export,
            .file = files[1],
            .format = format,
            .output = files[0],
            .annotations = parser.value(QStringLiteral("annotations"))};
}

} // namespace

CommandLine ReadCommandLine(const QStringList& arguments, const QString& version) {
    const QString program = ProgramName(arguments);
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption showVersion({QStringLiteral("v"), QStringLiteral("version")},
                                         QStringLiteral("Show the version and exit."));
    DeclareOptions(parser, help, showVersion);

    // The parser wants the program's name first, as main() always gives it.
    QStringList line = arguments;
    if (line.isEmpty()) {
        line << program;
    }
    if (!parser.parse(line)) {
        return Failure(program, parser.errorText());
    }
    // Help and version win over anything else on the line, as users expect.
    if (parser.isSet(help)) {
        return {.action = CommandLine::Action::ShowHelp, .text = HelpText(parser, program)};
    }
    if (parser.isSet(showVersion)) {
        return {.action = CommandLine::Action::ShowVersion, .text = QStringLiteral("%1 %2\n").arg(program, version)};
    }
    if (parser.isSet(QStringLiteral("export"))) {
        return ExportToRun(parser, program);
    }
    if (parser.isSet(QStringLiteral("annotations"))) {
        return Failure(program, QStringLiteral("--annotations is given with --export only."));
    }
    return FileToRun(parser, program);
}

QStringList ArgumentsOf(int argc, char** argv) {
    // As file names: a name that is not UTF-8 still names its file.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << DecodeFileName(QByteArray(argv[i]));
    }
    return arguments;
}

} // namespace kelvo
