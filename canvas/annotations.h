// Shapes as plain records: their kind, points and pen, and the versioned JSON file that keeps them beside a picture.
#pragma once

#include "canvas/shape.h"
#include "canvas/shape_kinds.h"
#include "platform/exceptions.h"
#include "platform/surface.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kelvo {

// The word a file or an export uses for a kind ("rectangle"), and back; nothing for an
// unknown word.
QString KindWord(TShapeKind kind);
std::optional<TShapeKind> KindOfWord(const QString& word);
// The kind shown to the user ("Rectangle", "Ruler").
QString KindTitle(TShapeKind kind);
bool IsRegion(TShapeKind kind);

// The image of a series a shape belongs to; an empty UID is the single picture shown.
struct TImageRef {
    QString SopInstanceUid;
    int32_t Frame = 0;
    bool operator==(const TImageRef&) const = default;
};

// Everything that makes a shape, without its canvas.
struct TAnnotation {
    TShapeKind Kind = TShapeKind::Arrow;
    std::vector<TPoint> Points; // picture coordinates
    TColor Color = clBlack;
    int32_t Width = 1;
    TPenStyle Style = TPenStyle::psSolid;
    QString Caption;
    // The number of a region's "Roi-" name; 0 for other kinds.
    int32_t RoiNumber = 0;
    // Written to a file ("sop_instance_uid", "frame") only when set, so that files of
    // single pictures read as they always did.
    TImageRef Image{};
    bool operator==(const TAnnotation&) const = default;
};

// A spacing the user set by giving a ruler's length in millimetres, kept with the
// shapes of the picture it was set on.
struct TCalibration {
    double MmPerPixelX = 0.0;
    double MmPerPixelY = 0.0;
    bool operator==(const TCalibration&) const = default;
};

// The kind of a committed shape (its Kind); kept optional for the callers that test it.
std::optional<TShapeKind> KindOf(const TMyShape& shape);
// The record of a shape.
std::optional<TAnnotation> ToAnnotation(const TMyShape& shape);
// A new shape of the record's kind with its points, pen and caption; the caller gives
// it a surface and a font.
std::unique_ptr<TMyShape> MakeShape(const TAnnotation& annotation);
// The number in a "Roi-<n>" caption, or 0.
int32_t RoiNumberOf(const QString& caption);

// Why an annotation file was refused.
enum class TAnnotationError : uint8_t {
    Unreadable,     // cannot be opened or read
    Unwritable,     // cannot be written (the old file, if any, is left as it was)
    Link,           // a symbolic link stands where the file would be written
    TooLarge,       // larger than kMaxAnnotationFileBytes
    NotAnnotations, // not JSON, or not our format
    UnknownVersion, // a version this program does not read
    BadValue,       // a value out of range or of the wrong type
};

class EAnnotationError : public Exception {
public:
    EAnnotationError(TAnnotationError kind, const QString& text) : Exception(text.toStdString()), kind_(kind) {}
    TAnnotationError Kind() const { return kind_; }
    QString Text() const { return QString::fromStdString(Message()); }

private:
    TAnnotationError kind_;
};

constexpr int kAnnotationVersion = 1;
constexpr int64_t kMaxAnnotationFileBytes = int64_t(64) << 20;
constexpr int32_t kMaxPenWidth = 100;
// More shapes than anyone draws: a file beyond it would hold the window for seconds
// while its regions are measured.
constexpr int32_t kMaxAnnotationShapes = 20000;
// Region numbers a file may hold: far below the 32-bit limit, so that the numbering of
// new regions, which continues after the highest one loaded, never overflows.
constexpr int32_t kMaxRoiNumber = 1000000000;

// The annotation file of a picture: "scan.dcm" keeps its shapes in "scan.dcm.kelvo.json".
QString AnnotationPathFor(const QString& picturePath);

// A calibration goes under a key of its own that readers of the same version without
// calibrations pass over.
QByteArray AnnotationsToJson(const std::vector<TAnnotation>& shapes,
                             const std::optional<TCalibration>& calibration = std::nullopt);
// Reads the whole document or nothing: any bad value refuses the file. `name` is used
// in messages. Region numbers must be unique within the file. The file's calibration,
// if any, goes to *calibration when given.
std::vector<TAnnotation> AnnotationsFromJson(const QByteArray& json, const QString& name,
                                             std::optional<TCalibration>* calibration = nullptr);

// Writes through a temporary file renamed over the target, so a crash or a full disk
// leaves the old file or the new one, never a part. The path is written only as a
// regular file of its own: a symbolic link there (dangling or not) is refused rather
// than followed, since the path is made from the picture's name, not chosen, and a link
// planted beside a picture would otherwise have the save create or replace any file the
// user may write (in a shared folder, the very file the kernel refused to follow it to).
void SaveAnnotations(const QString& path, const std::vector<TAnnotation>& shapes,
                     const std::optional<TCalibration>& calibration = std::nullopt);
// Reads a regular file only: a pipe or a device, which could keep the reader waiting for
// ever or feed it without end, is refused without waiting on it.
std::vector<TAnnotation> LoadAnnotations(const QString& path, std::optional<TCalibration>* calibration = nullptr);

// Writes bytes the same atomic way to a path the user chose in a save dialog, which has
// asked about replacing it; a link there is followed. Throws EAnnotationError(Unwritable).
void WriteFileAtomically(const QString& path, const QByteArray& bytes);

// File names as the file system holds them: bytes, which need not be UTF-8. A QString
// holds such a name with each byte that is not part of a UTF-8 character as a lone
// surrogate U+DC80..U+DCFF, so that the name names the same file when encoded again
// (QFile::encodeName and decodeName would turn such a byte into U+FFFD and it into
// three other bytes). Names from Qt's dialogs, being valid text, encode as Qt's do.
QByteArray EncodeFileName(const QString& name);
QString DecodeFileName(const QByteArray& bytes);
// For showing: each kept byte as U+FFFD.
QString ShownFileName(const QString& name);
// Whether the path names a regular file, following links.
bool IsRegularFile(const QString& path);

} // namespace kelvo
