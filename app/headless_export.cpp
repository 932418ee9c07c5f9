// Measuring without a window: the hidden main window opens the picture, takes its shapes and writes one export.
#include "app/headless_export.h"

#include "app/main_window.h"
#include "app/report_export.h"
#include "app/study_export.h"
#include "app/study_view.h"
#include "canvas/measurements.h"
#include "canvas/measuring.h"
#include "canvas/my_cad.h"
#include "imaging/errors.h"
#include "canvas/annotations.h"
#include "imaging/loader.h"

#include <QApplication>
#include <QFileInfo>

#include <cstdio>
#include <iterator>

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

// The name of the n-th PNG of a study (from 1): "out.png" gives "out-1.png", "out-2.png"…
QString NumberedPng(const QString& output, size_t n) {
    QString base = output;
    if (base.endsWith(QLatin1StringView(".png"), Qt::CaseInsensitive)) base.chop(4);
    return base + QStringLiteral("-%1.png").arg(n);
}

// A folder or DICOMDIR: the images of its study that carry shapes, each measured on its
// own values, written as one CSV (their rows one after another), one report or
// presentation state, or one PNG each.
void ExportStudy(TForm1& form, const CommandLine& line, const QString& told) {
    const imaging::TStudyIndex index = imaging::IndexStudy(line.file);
    if (index.Problem != imaging::TStudyProblem::None) throw TExportFailure(index.ProblemText);
    // A DICOMDIR stands for its folder, as in the window.
    const QFileInfo input(line.file);
    const QString study = input.isDir() ? line.file : input.path();
    const QString annotations = line.annotations.isEmpty() ? AnnotationPathFor(study) : line.annotations;
    std::optional<TCalibration> calibration;
    std::vector<TAnnotation> shapes;
    try {
        shapes = LoadAnnotations(annotations, &calibration);
    } catch (const EAnnotationError& e) {
        throw TExportFailure(e.Text());
    }
    const std::vector<TStudyImage> images = ImagesWithShapes(index, shapes);
    if (images.empty()) {
        throw TExportFailure(QStringLiteral("No image of \"%1\" carries a shape of \"%2\".")
                                 .arg(ShownFileName(line.file), ShownFileName(annotations)));
    }
    const QString failed = QStringLiteral("\"%1\" cannot be written.").arg(ShownFileName(line.output));
    try {
        if (line.format == QLatin1String("png")) {
            for (size_t i = 0; i < images.size(); ++i) {
                const imaging::TSlice& slice = images[i].Slice;
                auto picture = std::make_shared<imaging::TPicture>(
                    imaging::FramePicture(imaging::LoadPicture(slice.File), slice.Frame));
                Step(form.AdoptPicture(study, picture, TImageRef{slice.SopInstanceUid, slice.Frame}), told,
                     QStringLiteral("\"%1\" cannot be opened.").arg(ShownFileName(slice.File)));
                std::vector<std::unique_ptr<TMyShape>> drawn;
                for (const TAnnotation& a : images[i].Shapes) drawn.push_back(MakeShape(a));
                form.MyCAD1->ReplaceShapes(0, form.MyCAD1->ShapeCount(), std::move(drawn));
                form.MyCAD1->Measuring().SetCalibration(calibration);
                Step(form.ExportPicture(NumberedPng(line.output, i + 1)), told, failed);
            }
            return;
        }
        std::vector<reports::TReportImage> measured;
        for (const TStudyImage& image : images) measured.push_back(MeasuredImage(image, calibration));
        if (line.format != QLatin1String("csv")) return WriteReport(line, measured);
        std::vector<TMeasurement> rows;
        for (reports::TReportImage& image : measured) {
            std::move(image.Measurements.begin(), image.Measurements.end(), std::back_inserter(rows));
        }
        WriteFileAtomically(line.output, MeasurementsCsv(rows));
    } catch (const imaging::EImageError& e) {
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
        TForm1 form;
        form.ShowError = [&told](const QString& message) { told = message; };
        // Nothing is asked: the shapes come from the file chosen below, and nothing is kept.
        form.ConfirmLoadAnnotations = [](const QString&) { return false; };
        form.ConfirmDropShapes = [](int) { return true; };
        form.AskSaveShapes = [](const QString&) { return QMessageBox::Discard; };
        const bool report = line.format == QLatin1String("sr") || line.format == QLatin1String("gsps");
        if (TStudyView::IsStudyPath(line.file)) {
            ExportStudy(form, line, told);
            return 0;
        }
        Open(form, line, line.file, told);
        if (!report) {
            WriteShown(form, line, told);
            return 0;
        }
        try {
            WriteReport(line, {ShownReportImage(*form.MyCAD1, line.file, QRect())});
        } catch (const reports::EReportError& e) {
            throw TExportFailure(e.Text());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program.toLocal8Bit().constData(), e.what());
        return kExportFailed;
    }
    return 0;
}

} // namespace kelvo
