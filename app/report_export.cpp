// DICOM reports of what the window shows, and the shapes a report gives back for the pictures shown.
#include "app/report_export.h"

#include "app/main_window.h"
#include "app/study_view.h"
#include "canvas/measuring.h"
#include "canvas/my_cad.h"
#include "platform/guarded.h"

#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include <algorithm>
#include <cmath>

namespace kelvo {

namespace {

constexpr QLatin1StringView kSrSuffix(".sr.dcm");
constexpr QLatin1StringView kPsSuffix(".ps.dcm");

// "Roi-7" becomes "Roi-12" with its number; any other caption stays as the user gave it.
void Renumber(TAnnotation& region, int32_t number) {
    if (region.Caption == QStringLiteral("Roi-%1").arg(region.RoiNumber)) {
        region.Caption = QStringLiteral("Roi-%1").arg(number);
    }
    region.RoiNumber = number;
}

} // namespace

TReportFiles ReportFilesFor(const QString& chosen) {
    if (chosen.endsWith(kSrSuffix, Qt::CaseInsensitive)) return {chosen, {}};
    if (chosen.endsWith(kPsSuffix, Qt::CaseInsensitive)) return {{}, chosen};
    QString base = chosen;
    if (base.endsWith(QLatin1StringView(".dcm"), Qt::CaseInsensitive)) base.chop(4);
    return {base + kSrSuffix, base + kPsSuffix};
}

QStringList ExistingReportFiles(const TReportFiles& files) {
    QStringList existing;
    for (const QString& path : {files.MeasurementReport, files.PresentationState}) {
        if (!path.isEmpty() && QFileInfo::exists(path)) existing << path;
    }
    return existing;
}

reports::TReportImage ShownReportImage(TMyCAD& canvas, const QString& file, const QRect& displayed) {
    const imaging::TPicture* picture = canvas.Picture();
    if (picture == nullptr || picture->SopInstanceUid.isEmpty()) {
        const QString name = file.isEmpty() ? QStringLiteral("The built-in picture") : ShownFileName(file);
        throw reports::EReportError(reports::TReportError::NoSource,
                                    reports::ReportErrorText(reports::TReportError::NoSource, name));
    }
    reports::TReportImage image;
    image.File = file;
    image.Frame = canvas.Frame();
    image.Window = canvas.Window();
    image.Zoom = canvas.Zoom();
    const QRect whole(0, 0, picture->Width(), picture->Height());
    const QRect shown = displayed.intersected(whole);
    image.DisplayedArea = shown == whole ? QRect() : shown;
    // Measured as the list shows them; a shape with no record (none today) is left out
    // together with its measurement, so the two lists stay parallel.
    const std::vector<TMeasurement> measured = canvas.Measuring().Measurements(QFileInfo(file).fileName());
    for (int32_t i = 0; i < canvas.ShapeCount(); ++i) {
        if (std::optional<TAnnotation> a = ToAnnotation(*canvas.Shape(i)); a && size_t(i) < measured.size()) {
            image.Shapes.push_back(std::move(*a));
            image.Measurements.push_back(measured[size_t(i)]);
        }
    }
    return image;
}

void WriteReportFiles(const TReportFiles& files, const std::vector<reports::TReportImage>& images) {
    // Both are made before either is written: a refusal leaves no half export behind.
    const QByteArray sr = files.MeasurementReport.isEmpty() ? QByteArray() : reports::WriteMeasurementReport(images);
    const QByteArray ps = files.PresentationState.isEmpty() ? QByteArray() : reports::WritePresentationState(images);
    if (!files.MeasurementReport.isEmpty()) WriteFileAtomically(files.MeasurementReport, sr);
    if (!files.PresentationState.isEmpty()) WriteFileAtomically(files.PresentationState, ps);
}

reports::TReportTarget ReportTargetOf(const imaging::TPicture& picture) {
    return {picture.SopInstanceUid, picture.Width(), picture.Height(), picture.Frames()};
}

TRestoredShapes RestoreShapes(const QByteArray& bytes, const QString& name,
                              const std::vector<reports::TReportTarget>& targets, std::vector<int32_t> roisInUse,
                              int32_t nextRoi) {
    const reports::TReadReport read = reports::ReadReport(bytes, name, targets);
    TRestoredShapes restored;
    restored.Shapes.resize(targets.size());
    restored.Frames.assign(targets.size(), -1);
    QStringList missing = read.MissingImages;
    for (const reports::TReportShapes& image : read.Images) {
        const auto target = std::find_if(targets.begin(), targets.end(), [&image](const reports::TReportTarget& t) {
            return t.SopInstanceUid == image.SopInstanceUid;
        });
        if (target == targets.end()) continue;
        const size_t t = size_t(target - targets.begin());
        if (restored.Frames[t] < 0) restored.Frames[t] = image.Frame;
        if (restored.Frames[t] != image.Frame) {
            missing << QStringLiteral("%1 (frame %2)").arg(image.SopInstanceUid).arg(image.Frame + 1);
            continue;
        }
        std::vector<TAnnotation>& into = restored.Shapes[t];
        for (TAnnotation shape : image.Shapes) {
            if (shape.RoiNumber != 0) {
                if (std::find(roisInUse.begin(), roisInUse.end(), shape.RoiNumber) != roisInUse.end()) {
                    while (std::find(roisInUse.begin(), roisInUse.end(), nextRoi) != roisInUse.end()) ++nextRoi;
                    Renumber(shape, nextRoi);
                }
                roisInUse.push_back(shape.RoiNumber);
            }
            into.push_back(std::move(shape));
        }
    }
    // Without a DICOM picture shown, every image the report names is missing.
    if (targets.empty()) {
        for (const reports::TReportShapes& image : read.Images) {
            if (!missing.contains(image.SopInstanceUid)) missing << image.SopInstanceUid;
        }
    }
    if (!missing.isEmpty()) {
        restored.Missing = QStringLiteral("%1 refers to %2 image(s) that are not open: %3.")
                               .arg(name)
                               .arg(missing.size())
                               .arg(missing.join(QStringLiteral(", ")));
    }
    return restored;
}

// --- the window's side ---

QRect TForm1::DisplayedArea() const {
    const QRect visible = MyCAD1->visibleRegion().boundingRect();
    if (visible.isEmpty()) return {};
    // Every picture pixel partly in view counts as displayed.
    const double z = MyCAD1->Zoom();
    const QPoint from(int(std::floor(visible.left() / z)), int(std::floor(visible.top() / z)));
    const QPoint to(int(std::ceil((visible.right() + 1) / z)) - 1, int(std::ceil((visible.bottom() + 1) / z)) - 1);
    return QRect(from, to);
}

bool TForm1::ExportReport(const QString& path) {
    const QString title = QStringLiteral("Export report");
    bool done = false;
    Guarded("report", [&] {
        const TReportFiles files = ReportFilesFor(path);
        // The dialog asked about the name typed; names made from it are asked about here.
        const bool derived = files.MeasurementReport != path && files.PresentationState != path;
        const QStringList existing = derived ? ExistingReportFiles(files) : QStringList();
        if (!existing.isEmpty()) {
            const bool replace =
                ConfirmReplaceReports
                    ? ConfirmReplaceReports(existing)
                    : QMessageBox::question(this, title,
                                            QStringLiteral("Replace the existing file(s) %1?")
                                                .arg(ShownFileName(existing.join(QStringLiteral(", ")))),
                                            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
            if (!replace) return;
        }
        try {
            // A study's own name is a folder: the report refers to the slice shown.
            const QString source = Study != nullptr && Study->Active() ? Study->ShownFile() : openedFile_;
            WriteReportFiles(files, {ShownReportImage(*MyCAD1, source, DisplayedArea())});
            done = true;
        } catch (const reports::EReportError& e) {
            TellFailure(title, e.Text());
        } catch (const EAnnotationError& e) {
            TellFailure(title, e.Text());
        }
    });
    return done;
}

void TForm1::ExportReportBtnClick() {
    Guarded("report", [&] {
        const QString base = openedFile_.isEmpty() ? QStringLiteral("report") : openedFile_;
        const QString path = AskSavePath(QStringLiteral("Export report"), base + QStringLiteral(".dcm"),
                                         QStringLiteral("Measurement report and presentation state (*.dcm);;"
                                                        "Measurement report (*.sr.dcm);;"
                                                        "Presentation state (*.ps.dcm)"));
        if (!path.isEmpty()) (void)ExportReport(path);
    });
}

bool TForm1::OpenReport(const QString& path, const QString& notAReport) {
    const QString title = QStringLiteral("Open report");
    bool added = false;
    // A message stands over the picture that stays.
    ShowPendingBuiltInPicture();
    Guarded("report", [&] {
        const QString name = ShownFileName(QFileInfo(path).fileName());
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxAnnotationFileBytes) {
            TellFailure(title, reports::ReportErrorText(reports::TReportError::Unreadable, name));
            return;
        }
        std::vector<reports::TReportTarget> targets;
        const imaging::TPicture* picture = MyCAD1->Picture();
        if (picture != nullptr && !openedFile_.isEmpty() && !picture->SopInstanceUid.isEmpty()) {
            targets.push_back(ReportTargetOf(*picture));
        }
        std::vector<int32_t> inUse;
        for (int32_t i = 0; i < MyCAD1->ShapeCount(); ++i) {
            if (const std::optional<TAnnotation> a = ToAnnotation(*MyCAD1->Shape(i)); a && a->RoiNumber != 0) {
                inUse.push_back(a->RoiNumber);
            }
        }
        TRestoredShapes restored;
        try {
            restored = RestoreShapes(file.readAll(), name, targets, inUse, RoiCount);
        } catch (const reports::EReportError& e) {
            // A DICOM file that is no report either is told as the picture loader saw it.
            const bool noReport = e.Kind() == reports::TReportError::NotAReport && !notAReport.isEmpty();
            noReport ? TellError(notAReport) : TellFailure(title, e.Text());
            return;
        }
        std::vector<std::unique_ptr<TMyShape>> shapes;
        for (TAnnotation& a : restored.Shapes.empty() ? std::vector<TAnnotation>() : restored.Shapes[0]) {
            // Reports keep no pen: the shapes come in the pen new shapes are drawn with.
            a.Color = MyCAD1->Pen().Color;
            a.Width = MyCAD1->Pen().Width;
            a.Style = MyCAD1->Pen().Style;
            shapes.push_back(MakeShape(a));
            RoiCount = std::max(RoiCount, a.RoiNumber + 1);
        }
        if (!shapes.empty()) {
            // The shapes are measured and shown on their frame.
            if (restored.Frames[0] != MyCAD1->Frame()) StepFrame(restored.Frames[0] - MyCAD1->Frame());
            // Added after the shapes drawn, which stay; one history step takes them back.
            MyCAD1->ReplaceShapes(MyCAD1->ShapeCount(), 0, std::move(shapes));
            ShapesChanged();
            added = true;
        }
        if (!restored.Missing.isEmpty()) TellFailure(title, restored.Missing);
    });
    return added;
}

} // namespace kelvo
