// Measuring without a window: the hidden main window opens the picture, takes its shapes and writes one export.
#include "app/headless_export.h"

#include "app/main_window.h"
#include "app/report_export.h"
#include "canvas/annotations.h"
#include "imaging/loader.h"

#include <QApplication>
#include <QFileInfo>

#include <cstdio>

namespace kelvo {

namespace {

// What went wrong, as the window would have told it.
class TExportFailure : public std::exception {
public:
    explicit TExportFailure(QString text) : text_(text.simplified()), bytes_(text_.toLocal8Bit()) {}
    const char* what() const noexcept override { return bytes_.constData(); }

private:
    QString text_;
    QByteArray bytes_;
};

// The picture files an input names. FIXME: a folder is to give the pictures of its study
// (imaging/study_index), each with the shapes whose image reference names one of them;
// until annotation records carry that reference a folder is refused.
QStringList PicturesOf(const QString& input) {
    if (QFileInfo(input).isDir()) {
        throw TExportFailure(
            QStringLiteral("\"%1\" is a folder; --export reads one picture file.").arg(ShownFileName(input)));
    }
    return {input};
}

// Runs one of the window's own steps; false from it means the window told why.
void Step(bool ok, const QString& told, const QString& otherwise) {
    if (!ok) throw TExportFailure(told.isEmpty() ? otherwise : told);
}

// Shows the picture in the hidden window with its shapes: those of the file named on the
// line, else those saved beside it, if any.
void Open(TForm1& form, const CommandLine& line, const QString& picture, const QString& told) {
    Step(form.OpenFile(picture), told, QStringLiteral("\"%1\" cannot be opened.").arg(ShownFileName(picture)));
    const QString annotations = line.annotations.isEmpty() ? AnnotationPathFor(picture) : line.annotations;
    if (!line.annotations.isEmpty() || IsRegularFile(annotations)) {
        Step(form.LoadAnnotationsFrom(annotations), told, QStringLiteral("The annotations cannot be loaded."));
    }
}

// Writes the measurements or the picture shown, as the window's buttons write them.
// FIXME: with a folder, CSV rows are to follow one another and each picture to get a PNG.
void WriteShown(TForm1& form, const CommandLine& line, const QString& told) {
    const QString failed = QStringLiteral("\"%1\" cannot be written.").arg(ShownFileName(line.output));
    const bool csv = line.format == QLatin1String("csv");
    Step(csv ? form.ExportMeasurements(line.output) : form.ExportPicture(line.output), told, failed);
}

// Writes one report for every picture given: a series makes one SR or presentation state.
void WriteReport(const CommandLine& line, const std::vector<reports::TReportImage>& images) {
    // The output is the name given, whatever it ends in.
    TReportFiles files;
    (line.format == QLatin1String("sr") ? files.MeasurementReport : files.PresentationState) = line.output;
    try {
        WriteReportFiles(files, images);
    } catch (const reports::EReportError& e) {
        throw TExportFailure(e.Text());
    } catch (const EAnnotationError& e) {
        throw TExportFailure(e.Text());
    }
}

} // namespace

int RunExport(int& argc, char** argv, const CommandLine& line) {
    // Before the application object: it picks the platform when made.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Standard error carries the one line that says what went wrong, not Qt's remarks on
    // the session (no runtime folder, no fonts configured) nor the window's logged steps.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    });
    imaging::PreferReaderDictionary();
    QApplication app(argc, argv);
    const QString program = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
    QString told;
    try {
        const QStringList pictures = PicturesOf(line.file);
        TForm1 form;
        form.ShowError = [&told](const QString& message) { told = message; };
        // Nothing is asked: the shapes come from the file chosen below, and nothing is kept.
        form.ConfirmLoadAnnotations = [](const QString&) { return false; };
        form.ConfirmDropShapes = [](int) { return true; };
        form.AskSaveShapes = [](const QString&) { return QMessageBox::Discard; };
        const bool report = line.format == QLatin1String("sr") || line.format == QLatin1String("gsps");
        std::vector<reports::TReportImage> images;
        for (const QString& picture : pictures) {
            Open(form, line, picture, told);
            if (!report) {
                WriteShown(form, line, told);
                continue;
            }
            try {
                images.push_back(ShownReportImage(*form.MyCAD1, picture, QRect()));
            } catch (const reports::EReportError& e) {
                throw TExportFailure(e.Text());
            }
        }
        if (report) WriteReport(line, images);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program.toLocal8Bit().constData(), e.what());
        return kExportFailed;
    }
    return 0;
}

} // namespace kelvo
