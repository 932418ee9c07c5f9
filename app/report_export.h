// DICOM reports of what the window shows: which files a chosen name makes, the shown pictures as report records, and the shapes a report gives back for them.
#pragma once

#include "canvas/annotations.h"
#include "imaging/picture.h"
#include "imaging/study_index.h"
#include "reports/reports.h"

#include <QRect>
#include <QString>
#include <QStringList>

#include <vector>

namespace kelvo {

class TMyCAD;

// The files one export writes. A name ending in ".sr.dcm" makes the measurement report
// alone, ".ps.dcm" the presentation state alone; any other name makes both, beside it
// as NAME.sr.dcm and NAME.ps.dcm (its ".dcm" taken off first).
struct TReportFiles {
    QString MeasurementReport; // empty: not written
    QString PresentationState; // empty: not written
};
TReportFiles ReportFilesFor(const QString& chosen);
// The files of `files` that exist already: a name the user did not type is never
// written over unasked.
QStringList ExistingReportFiles(const TReportFiles& files);

// The picture `canvas` shows, as a report records it: its file, frame, shapes and their
// measurements, the window as VOI LUT, `displayed` (picture pixels; empty or all of it:
// the whole picture) and the canvas's zoom. Throws EReportError(NoSource) when the
// canvas shows no DICOM picture.
reports::TReportImage ShownReportImage(TMyCAD& canvas, const QString& file, const QRect& displayed);

// Writes the reports of `images` (several for a series, one per picture shown) into
// `files`, each atomically. Throws EReportError, or EAnnotationError when a file cannot
// be written.
void WriteReportFiles(const TReportFiles& files, const std::vector<reports::TReportImage>& images);

// What a report gives back for the pictures shown.
struct TRestoredShapes {
    // Per target given, in the same order: the shapes to add to it, a region whose
    // number is in use already renumbered from `nextRoi` on.
    std::vector<std::vector<TAnnotation>> Shapes;
    // The frame those shapes are on, per target (a target shows one frame at a time: the
    // shapes of its other frames are named as not shown).
    std::vector<int32_t> Frames;
    // One line for the user naming the images the report refers to that are not
    // shown; empty when there are none.
    QString Missing;
};
// Reads a report file for `targets`, as `name` in messages. Region numbers stay unique
// among `roisInUse` and those restored. Throws EReportError.
TRestoredShapes RestoreShapes(const QByteArray& bytes, const QString& name,
                              const std::vector<reports::TReportTarget>& targets, std::vector<int32_t> roisInUse,
                              int32_t nextRoi);

// Reads a report file for a series shown as `stack`: every shape goes to the slice it
// references (its Image set), in Shapes[0] (Frames[0] is -1); images and frames that
// are not slices of the stack are named in Missing.
TRestoredShapes RestoreSeriesShapes(const QByteArray& bytes, const QString& name, const imaging::TStack& stack,
                                    std::vector<int32_t> roisInUse, int32_t nextRoi);

// The target a picture offers a report.
reports::TReportTarget ReportTargetOf(const imaging::TPicture& picture);

} // namespace kelvo
