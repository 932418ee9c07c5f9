// Reads and writes the annotation file: shapes as versioned JSON records beside the picture.
#include "canvas/annotations.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>

#include <cctype>
#include <cmath>
#include <limits>
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
    return a;
}

std::unique_ptr<TMyShape> MakeShape(const TAnnotation& a) {
    std::unique_ptr<TMyShape> s = KindRow(a.Kind).Make();
    s->Points = a.Points;
    s->Pen.Color = a.Color;
    s->Pen.Width = a.Width;
    s->Pen.Style = a.Style;
    s->SetCaption(IsRegion(a.Kind) && a.RoiNumber > 0 ? QStringLiteral("Roi-%1").arg(a.RoiNumber) : a.Caption);
    return s;
}

QString AnnotationPathFor(const QString& picturePath) { return picturePath + QStringLiteral(".kelvo.json"); }

// Written by hand rather than through QJsonDocument, which took most of a save's time.
QByteArray AnnotationsToJson(const std::vector<TAnnotation>& shapes) {
    QByteArray out;
    out.reserve(qsizetype(shapes.size()) * 160 + 80);
    out += "{\n  \"format\": \"";
    out += kFormat;
    out += "\",\n  \"version\": " + QByteArray::number(kAnnotationVersion) + ",\n  \"shapes\": [";
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
        out += "}";
    }
    out += shapes.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::vector<TAnnotation> AnnotationsFromJson(const QByteArray& json, const QString& name) {
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

void SaveAnnotations(const QString& path, const std::vector<TAnnotation>& shapes) {
    WriteFileAtomically(path, AnnotationsToJson(shapes));
}

std::vector<TAnnotation> LoadAnnotations(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Fail(TAnnotationError::Unreadable, path, file.errorString());
    }
    if (file.size() > kMaxAnnotationFileBytes) {
        Fail(TAnnotationError::TooLarge, path);
    }
    const QByteArray bytes = file.read(kMaxAnnotationFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        Fail(TAnnotationError::Unreadable, path, file.errorString());
    }
    return AnnotationsFromJson(bytes, path);
}

} // namespace kelvo
