// Reads and writes the annotation file: shapes as versioned JSON records beside the picture.
#include "canvas/annotations.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <set>

namespace kelvo {

namespace {

constexpr const char* kFormat = "kelvo-annotations";

struct StyleNames {
    TPenStyle Style;
    const char* Word;
};
constexpr StyleNames kStyles[] = {
    {TPenStyle::psSolid, "solid"},
    {TPenStyle::psDash, "dash"},
    {TPenStyle::psDot, "dot"},
    {TPenStyle::psDashDot, "dashdot"},
    {TPenStyle::psDashDotDot, "dashdotdot"},
    {TPenStyle::psClear, "clear"},
};

// The fixed texts of this file, in one place.
QString ErrorText(TAnnotationError kind, const QString& name, const QString& detail) {
    switch (kind) {
    case TAnnotationError::Unreadable:
        return QStringLiteral("The annotation file %1 cannot be read: %2").arg(name, detail);
    case TAnnotationError::Unwritable:
        // Also the list's exports: the name says what kind of file it is.
        return QStringLiteral("The file %1 cannot be written: %2").arg(name, detail);
    case TAnnotationError::Link:
        return QStringLiteral("%1 is a symbolic link to %2. Annotations are never written through a link: "
                              "remove the link to save them beside the picture.")
            .arg(name, detail);
    case TAnnotationError::TooLarge:
        return QStringLiteral("The annotation file %1 is larger than %2 MB and was not loaded.")
            .arg(name)
            .arg(kMaxAnnotationFileBytes >> 20);
    case TAnnotationError::NotAnnotations:
        return QStringLiteral("%1 is not an annotation file: %2").arg(name, detail);
    case TAnnotationError::UnknownVersion:
        return QStringLiteral("The annotation file %1 has version %2, which this program does not read; "
                              "it was not loaded.")
            .arg(name, detail);
    case TAnnotationError::BadValue:
        return QStringLiteral("The annotation file %1 was not loaded: %2").arg(name, detail);
    }
    return QString();
}

[[noreturn]] void Fail(TAnnotationError kind, const QString& name, const QString& detail = QString()) {
    throw EAnnotationError(kind, ErrorText(kind, name, detail));
}

QString NotRegularText() { return QStringLiteral("it is not a regular file."); }

QString ColorText(TColor c) {
    return QStringLiteral("#%1%2%3")
        .arg(GetRValue(c), 2, 16, QLatin1Char('0'))
        .arg(GetGValue(c), 2, 16, QLatin1Char('0'))
        .arg(GetBValue(c), 2, 16, QLatin1Char('0'));
}

std::optional<TColor> ColorOfText(const QString& text) {
    if (text.size() != 7 || text[0] != QLatin1Char('#')) {
        return std::nullopt;
    }
    // Six hex digits: toUInt would also take a sign or a "0x".
    for (qsizetype i = 1; i < 7; ++i) {
        const char16_t c = text[i].unicode();
        if (c > 0x7f || std::isxdigit(int(c)) == 0) return std::nullopt;
    }
    bool ok = false;
    const uint32_t rgb = text.mid(1).toUInt(&ok, 16);
    if (!ok) {
        return std::nullopt;
    }
    return RGB(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
}

// Reads one shape; `where` names it in messages ("shape 3").
class ShapeReader {
public:
    ShapeReader(const QJsonObject& o, const QString& name, int index) : o_(o), name_(name), index_(index) {}

    TAnnotation Read() {
        TAnnotation a;
        const std::optional<TShapeKind> kind = KindOfWord(o_.value(QLatin1String("kind")).toString());
        if (!kind) {
            Bad(QStringLiteral("unknown kind"));
        }
        a.Kind = *kind;
        const QJsonValue pts = o_.value(QLatin1String("points"));
        if (!pts.isArray()) {
            Bad(QStringLiteral("points missing"));
        }
        for (const QJsonValue& p : pts.toArray()) {
            const QJsonArray xy = p.toArray();
            if (!p.isArray() || xy.size() != 2) {
                Bad(QStringLiteral("a point is not a pair of numbers"));
            }
            a.Points.push_back(TPoint{Coordinate(xy[0]), Coordinate(xy[1])});
        }
        const size_t n = a.Points.size();
        const TShapeKindRow& row = KindRow(a.Kind);
        const bool countOk = n >= size_t(row.MinPoints) && n <= size_t(row.MaxPoints);
        if (!countOk) {
            Bad(QStringLiteral("%1 points do not make a %2").arg(n).arg(KindWord(a.Kind)));
        }
        const std::optional<TColor> color = ColorOfText(o_.value(QLatin1String("color")).toString());
        if (!color) {
            Bad(QStringLiteral("colour is not #rrggbb"));
        }
        a.Color = *color;
        a.Width = int32_t(Integer(QStringLiteral("width"), 1, kMaxPenWidth));
        const QString style = o_.value(QLatin1String("style")).toString();
        bool styleOk = false;
        for (const StyleNames& s : kStyles) {
            if (style == QLatin1String(s.Word)) {
                a.Style = s.Style;
                styleOk = true;
            }
        }
        if (!styleOk) {
            Bad(QStringLiteral("unknown line style"));
        }
        const QJsonValue caption = o_.value(QLatin1String("caption"));
        if (!caption.isString() && !caption.isUndefined()) {
            Bad(QStringLiteral("caption is not text"));
        }
        a.Caption = caption.toString();
        if (CutCaption(a.Caption) != a.Caption) {
            Bad(QStringLiteral("caption longer than %1 characters").arg(kMaxCaption));
        }
        if (IsRegion(a.Kind)) {
            a.RoiNumber = int32_t(Integer(QStringLiteral("roi"), 1, kMaxRoiNumber));
        } else if (o_.contains(QLatin1String("roi"))) {
            Bad(QStringLiteral("only regions have a number"));
        }
        const QJsonValue uid = o_.value(QLatin1String("sop_instance_uid"));
        if (!uid.isString() && !uid.isUndefined()) {
            Bad(QStringLiteral("sop_instance_uid is not text"));
        }
        // A UID has at most 64 characters (DICOM PS3.5 9.1).
        a.Image.SopInstanceUid = uid.toString();
        if (a.Image.SopInstanceUid.size() > 64) {
            Bad(QStringLiteral("sop_instance_uid longer than 64 characters"));
        }
        if (o_.contains(QLatin1String("frame"))) {
            a.Image.Frame = int32_t(Integer(QStringLiteral("frame"), 0, std::numeric_limits<int32_t>::max()));
        }
        return a;
    }

private:
    [[noreturn]] void Bad(const QString& what) const {
        Fail(TAnnotationError::BadValue, name_, QStringLiteral("shape %1: %2.").arg(index_ + 1).arg(what));
    }
    int32_t Coordinate(const QJsonValue& v) const {
        const double d = v.toDouble(std::numeric_limits<double>::quiet_NaN());
        if (!v.isDouble() || d != std::trunc(d) || std::abs(d) > kMaxImageCoordinate) {
            Bad(QStringLiteral("a coordinate is not a whole number within %1").arg(kMaxImageCoordinate));
        }
        return int32_t(d);
    }
    int64_t Integer(const QString& key, int64_t lo, int64_t hi) const {
        const QJsonValue v = o_.value(key);
        const double d = v.toDouble(std::numeric_limits<double>::quiet_NaN());
        if (!v.isDouble() || d != std::trunc(d) || d < double(lo) || d > double(hi)) {
            Bad(QStringLiteral("%1 is not a whole number from %2 to %3").arg(key).arg(lo).arg(hi));
        }
        return int64_t(d);
    }

    const QJsonObject& o_;
    const QString& name_;
    int index_;
};

} // namespace

namespace {
// The kind's row; null for a value outside the enumeration.
const TShapeKindRow* FindKind(TShapeKind kind) {
    for (const TShapeKindRow& row : ShapeKinds()) {
        if (row.Kind == kind) return &row;
    }
    return nullptr;
}
} // namespace

QString KindWord(TShapeKind kind) {
    const TShapeKindRow* row = FindKind(kind);
    return row != nullptr ? QLatin1String(row->Word) : QString();
}

std::optional<TShapeKind> KindOfWord(const QString& word) {
    for (const TShapeKindRow& row : ShapeKinds()) {
        if (word == QLatin1String(row.Word)) return row.Kind;
    }
    return std::nullopt;
}

QString KindTitle(TShapeKind kind) {
    const TShapeKindRow* row = FindKind(kind);
    return row != nullptr ? QLatin1String(row->Title) : QString();
}

bool IsRegion(TShapeKind kind) {
    const TShapeKindRow* row = FindKind(kind);
    return row != nullptr && row->Region;
}

std::optional<TShapeKind> KindOf(const TMyShape& shape) { return shape.Kind(); }

int32_t RoiNumberOf(const QString& caption) {
    if (!caption.startsWith(QLatin1String("Roi-"))) {
        return 0;
    }
    bool ok = false;
    const int32_t n = caption.mid(4).toInt(&ok);
    return ok && n > 0 ? n : 0;
}

std::optional<TAnnotation> ToAnnotation(const TMyShape& shape) {
    const TShapeKindRow& row = KindRow(shape.Kind());
    TAnnotation a;
    a.Kind = row.Kind;
    a.Points = shape.Points;
    a.Color = shape.Pen.Color;
    a.Width = shape.Pen.Width;
    a.Style = shape.Pen.Style;
    // A ruler's caption is its own length text, written again at every drawing.
    a.Caption = row.SavesCaption ? shape.Caption() : QString();
    a.RoiNumber = row.Region ? RoiNumberOf(shape.Caption()) : 0;
    a.Image = {shape.ImageUid, shape.ImageFrame};
    return a;
}

std::unique_ptr<TMyShape> MakeShape(const TAnnotation& a) {
    std::unique_ptr<TMyShape> s = KindRow(a.Kind).Make();
    s->Points = a.Points;
    s->Pen.Color = a.Color;
    s->Pen.Width = a.Width;
    s->Pen.Style = a.Style;
    s->SetCaption(IsRegion(a.Kind) && a.RoiNumber > 0 ? QStringLiteral("Roi-%1").arg(a.RoiNumber) : a.Caption);
    s->ImageUid = a.Image.SopInstanceUid;
    s->ImageFrame = a.Image.Frame;
    return s;
}

namespace {

// Two spacings above zero and finite, or no key at all.
std::optional<TCalibration> ReadCalibration(const QJsonObject& root, const QString& name) {
    const QJsonValue value = root.value(QLatin1String("calibration"));
    if (value.isUndefined()) return std::nullopt;
    const QJsonArray mm = value.toObject().value(QLatin1String("mm per pixel")).toArray();
    const double x = mm.size() == 2 ? mm[0].toDouble(-1.0) : -1.0;
    const double y = mm.size() == 2 ? mm[1].toDouble(-1.0) : -1.0;
    if (!(x > 0.0 && y > 0.0 && std::isfinite(x) && std::isfinite(y))) {
        Fail(TAnnotationError::BadValue, name, QStringLiteral("its calibration is not two spacings above zero."));
    }
    return TCalibration{x, y};
}

} // namespace

QString AnnotationPathFor(const QString& picturePath) { return picturePath + QStringLiteral(".kelvo.json"); }

// Written by hand rather than through QJsonDocument, which took most of a save's time.
QByteArray AnnotationsToJson(const std::vector<TAnnotation>& shapes, const std::optional<TCalibration>& calibration) {
    QByteArray out;
    out.reserve(qsizetype(shapes.size()) * 160 + 80);
    out += "{\n  \"format\": \"";
    out += kFormat;
    out += "\",\n  \"version\": " + QByteArray::number(kAnnotationVersion) + ",\n";
    if (calibration) {
        out += "  \"calibration\": {\"mm per pixel\": [" + QByteArray::number(calibration->MmPerPixelX, 'g', 17) +
               ", " + QByteArray::number(calibration->MmPerPixelY, 'g', 17) + "]},\n";
    }
    out += "  \"shapes\": [";
    for (size_t i = 0; i < shapes.size(); ++i) {
        const TAnnotation& a = shapes[i];
        out += i == 0 ? "\n    {\"kind\": \"" : ",\n    {\"kind\": \"";
        out += KindWord(a.Kind).toLatin1();
        out += "\", \"points\": [";
        for (size_t k = 0; k < a.Points.size(); ++k) {
            out += k == 0 ? "[" : ", [";
            out += QByteArray::number(a.Points[k].X) + ", " + QByteArray::number(a.Points[k].Y) + "]";
        }
        out += "], \"color\": \"" + ColorText(a.Color).toLatin1() + "\", \"width\": " + QByteArray::number(a.Width);
        for (const StyleNames& st : kStyles) {
            if (st.Style == a.Style) out += QByteArray(", \"style\": \"") + st.Word + "\"";
        }
        // A one-element array serialises the caption with JSON's own escaping.
        const QByteArray caption = QJsonDocument(QJsonArray{a.Caption}).toJson(QJsonDocument::Compact);
        out += ", \"caption\": " + caption.mid(1, caption.size() - 2);
        if (IsRegion(a.Kind)) {
            out += ", \"roi\": " + QByteArray::number(a.RoiNumber);
        }
        if (!a.Image.SopInstanceUid.isEmpty()) {
            const QByteArray uid = QJsonDocument(QJsonArray{a.Image.SopInstanceUid}).toJson(QJsonDocument::Compact);
            out += ", \"sop_instance_uid\": " + uid.mid(1, uid.size() - 2);
            out += ", \"frame\": " + QByteArray::number(a.Image.Frame);
        }
        out += "}";
    }
    out += shapes.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::vector<TAnnotation> AnnotationsFromJson(const QByteArray& json, const QString& name,
                                             std::optional<TCalibration>* calibration) {
    if (json.size() > kMaxAnnotationFileBytes) {
        Fail(TAnnotationError::TooLarge, name);
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) {
        Fail(TAnnotationError::NotAnnotations, name,
             QStringLiteral("%1 at byte %2.").arg(error.errorString()).arg(error.offset));
    }
    const QJsonObject root = doc.object();
    if (!doc.isObject() || root.value(QLatin1String("format")).toString() != QLatin1String(kFormat)) {
        Fail(TAnnotationError::NotAnnotations, name, QStringLiteral("it does not say it is one."));
    }
    const QJsonValue version = root.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() != double(kAnnotationVersion)) {
        Fail(TAnnotationError::UnknownVersion, name,
             version.isDouble() ? QString::number(version.toDouble(), 'g', 17) : QStringLiteral("(none)"));
    }
    const std::optional<TCalibration> calibrated = ReadCalibration(root, name);
    const QJsonValue list = root.value(QLatin1String("shapes"));
    if (!list.isArray()) {
        Fail(TAnnotationError::BadValue, name, QStringLiteral("it has no list of shapes."));
    }
    std::vector<TAnnotation> out;
    std::set<int32_t> numbers;
    const QJsonArray shapes = list.toArray();
    if (shapes.size() > kMaxAnnotationShapes) {
        Fail(TAnnotationError::BadValue, name,
             QStringLiteral("it holds %1 shapes, more than the %2 this program loads.")
                 .arg(shapes.size())
                 .arg(kMaxAnnotationShapes));
    }
    out.reserve(size_t(shapes.size()));
    for (qsizetype i = 0; i < shapes.size(); ++i) {
        if (!shapes[i].isObject()) {
            Fail(TAnnotationError::BadValue, name, QStringLiteral("shape %1 is not an object.").arg(i + 1));
        }
        const QJsonObject o = shapes[i].toObject();
        TAnnotation a = ShapeReader(o, name, int(i)).Read();
        if (a.RoiNumber > 0 && !numbers.insert(a.RoiNumber).second) {
            Fail(TAnnotationError::BadValue, name,
                 QStringLiteral("shape %1: region number %2 is used twice.").arg(i + 1).arg(a.RoiNumber));
        }
        out.push_back(std::move(a));
    }
    if (calibration != nullptr) *calibration = calibrated;
    return out;
}

void WriteFileAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Unbuffered, so that a write that fails (a full disk) fails here: Qt's commit()
    // does not notice a failure of the last flush of its buffer, and would put the
    // cut-off file in place of the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        Fail(TAnnotationError::Unwritable, path, file.errorString());
    }
    if (file.write(bytes) != bytes.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        Fail(TAnnotationError::Unwritable, path, why);
    }
    if (!file.commit()) {
        Fail(TAnnotationError::Unwritable, path, file.errorString());
    }
}

namespace {

// Where a link points, for telling the user.
QString LinkTarget(const QByteArray& link) {
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n = ::readlink(link.constData(), target.data(), size_t(target.size()));
    return n < 0 ? QStringLiteral("(unknown)") : ShownFileName(DecodeFileName(target.left(n)));
}

// The permissions of the regular file at the path, nothing when nothing is there;
// anything else there (a link above all) is refused.
std::optional<mode_t> ExistingFile(const QString& path, const QByteArray& native) {
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        if (errno == ENOENT) return std::nullopt;
        Fail(TAnnotationError::Unwritable, path, qt_error_string(errno));
    }
    if (S_ISLNK(st.st_mode)) Fail(TAnnotationError::Link, path, LinkTarget(native));
    if (!S_ISREG(st.st_mode)) Fail(TAnnotationError::Unwritable, path, NotRegularText());
    return st.st_mode & 07777;
}

// A new file in the target's folder, made by this call: O_EXCL opens nothing planted there.
int CreateTemporary(const QByteArray& target, QByteArray& name) {
    const QByteArray folder = target.left(target.lastIndexOf('/') + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = folder + ".kelvo-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool WriteAll(int fd, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

// Puts the temporary file at the target: over the regular file found there, or, where
// nothing was, only while nothing is (a link planted meanwhile stays, and the save
// fails). A rename replaces the name and never follows a link standing at it.
bool PutInPlace(const QByteArray& temporary, const QByteArray& target, bool replace) {
    if (replace) return ::rename(temporary.constData(), target.constData()) == 0;
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL) return false;
    // A file system without RENAME_NOREPLACE: a hard link, too, is made only where nothing is.
    if (::link(temporary.constData(), target.constData()) != 0) return false;
    ::unlink(temporary.constData());
    return true;
}

// WriteFileAtomically for a path that no dialog chose: nothing at it is followed.
void WriteOwnFile(const QString& path, const QByteArray& bytes) {
    const QByteArray target = EncodeFileName(path);
    const std::optional<mode_t> mode = ExistingFile(path, target);
    QByteArray temporary;
    const int fd = CreateTemporary(target, temporary);
    if (fd < 0) Fail(TAnnotationError::Unwritable, path, qt_error_string(errno));
    int error = 0;
    // A replaced file keeps its permissions; the data is on the disk before its name is.
    if ((mode && ::fchmod(fd, *mode) != 0) || !WriteAll(fd, bytes) || ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && !PutInPlace(temporary, target, mode.has_value())) error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        // Something put there meanwhile is named as it would have been before.
        if (error == EEXIST) (void)ExistingFile(path, target);
        Fail(TAnnotationError::Unwritable, path, qt_error_string(error));
    }
}

} // namespace

void SaveAnnotations(const QString& path, const std::vector<TAnnotation>& shapes,
                     const std::optional<TCalibration>& calibration) {
    WriteOwnFile(path, AnnotationsToJson(shapes, calibration));
}

std::vector<TAnnotation> LoadAnnotations(const QString& path, std::optional<TCalibration>* calibration) {
    // Opened without waiting for a pipe's writer, and asked what it is once open, so that
    // nothing swapped in at the path between a check and the opening is read.
    const int fd = ::open(EncodeFileName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Fail(TAnnotationError::Unreadable, path, qt_error_string(errno));
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        Fail(TAnnotationError::Unreadable, path, file.errorString());
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Fail(TAnnotationError::Unreadable, path, NotRegularText());
    }
    if (file.size() > kMaxAnnotationFileBytes) {
        Fail(TAnnotationError::TooLarge, path);
    }
    const QByteArray bytes = file.read(kMaxAnnotationFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        Fail(TAnnotationError::Unreadable, path, file.errorString());
    }
    return AnnotationsFromJson(bytes, path, calibration);
}

QByteArray EncodeFileName(const QString& name) {
    QByteArray out;
    qsizetype run = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        // A kept byte is a low surrogate without its high half, which DecodeFileName never gives.
        if (c < 0xDC80 || c > 0xDCFF || (i > 0 && name[i - 1].isHighSurrogate())) continue;
        out += QStringView(name).sliced(run, i - run).toUtf8();
        out += char(c - 0xDC00);
        run = i + 1;
    }
    return out + QStringView(name).sliced(run).toUtf8();
}

QString DecodeFileName(const QByteArray& bytes) {
    const QByteArrayView all(bytes);
    if (all.isValidUtf8()) return QString::fromUtf8(bytes);
    QString out;
    for (qsizetype i = 0; i < all.size();) {
        // The shortest valid run from here is one character; a byte that starts none is kept.
        qsizetype n = 1;
        while (n <= 4 && i + n <= all.size() && !all.sliced(i, n).isValidUtf8()) ++n;
        if (n <= 4 && i + n <= all.size()) {
            out += QString::fromUtf8(all.sliced(i, n));
            i += n;
        } else {
            out += QChar(char16_t(0xDC00 + uint8_t(all[i])));
            ++i;
        }
    }
    return out;
}

QString ShownFileName(const QString& name) { return QString::fromUtf8(EncodeFileName(name)); }

bool IsRegularFile(const QString& path) {
    struct stat st {};
    return ::stat(EncodeFileName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace kelvo
