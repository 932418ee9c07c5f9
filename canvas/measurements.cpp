// Lengths, angles and region statistics of shapes, for the measurement list, labels and CSV export.
#include "canvas/measurements.h"

#include "canvas/line_shapes.h"

#include <QLocale>
#include <QStringList>

#include <cmath>
#include <limits>

namespace kelvo {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

imaging::TRegionPoint RegionPoint(TPoint p) { return imaging::TRegionPoint{p.X, p.Y}; }

// Shortest text that reads back as the same double, always with ".".
QString Exact(double v) {
    if (!std::isfinite(v)) {
        return QString();
    }
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

QString CsvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\r')) &&
        !text.contains(QLatin1Char('\n'))) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// OWASP's rule against CSV injection: a text cell starting with one of these is taken
// by spreadsheets for a formula, and an apostrophe in front keeps it text. Numbers are
// written by Exact and never pass here, so negative values stay numbers.
QString TextField(const QString& text) {
    const bool formula = !text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front());
    return CsvField(formula ? QLatin1Char('\'') + text : text);
}

QString PointsText(const std::vector<TPoint>& points) {
    QStringList parts;
    for (const TPoint& p : points) {
        parts << QStringLiteral("%1 %2").arg(p.X).arg(p.Y);
    }
    return parts.join(QLatin1String("; "));
}

double AngleAt(TPoint a, TPoint v, TPoint b) {
    const double ax = double(a.X) - v.X, ay = double(a.Y) - v.Y;
    const double bx = double(b.X) - v.X, by = double(b.Y) - v.Y;
    if ((ax == 0 && ay == 0) || (bx == 0 && by == 0)) {
        return kNaN;
    }
    return std::abs(std::atan2(ax * by - ay * bx, ax * bx + ay * by)) * 57.29577951308232;
}

QString Fixed2(double v) { return FormatFixed2(v, 0).trimmed(); }

QString AreaUnit(const imaging::TRegionStats& s, bool atDetector) {
    if (!s.AreaInMm2) return QStringLiteral("px");
    return atDetector ? QStringLiteral("mm²") + kAtDetector : QStringLiteral("mm²");
}

bool AtDetector(imaging::TSpacingSource source) { return source == imaging::TSpacingSource::ImagerPixelSpacing; }

QString WithUnit(const QString& number, const QString& unit) {
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

} // namespace

std::optional<imaging::TRegion> RegionOf(const TMyShape& shape) {
    const std::optional<TShapeKind> kind = KindOf(shape);
    if (!kind || !IsRegion(*kind)) {
        return std::nullopt;
    }
    imaging::TRegion r;
    r.Kind = *kind == TShapeKind::Rectangle ? imaging::TRegionKind::Rectangle
             : *kind == TShapeKind::Ellipse ? imaging::TRegionKind::Ellipse
                                            : imaging::TRegionKind::Polygon;
    const size_t n = *kind == TShapeKind::Polyline ? shape.Points.size() : std::min<size_t>(2, shape.Points.size());
    r.Points.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        r.Points.push_back(RegionPoint(shape.Points[i]));
    }
    return r;
}

const imaging::TRegionStats& TRegionStatsCache::Get(const void* key, const imaging::TRegion& region,
                                                    const std::shared_ptr<const imaging::TPicture>& picture,
                                                    int32_t frame) {
    auto [it, fresh] = entries_.try_emplace(key);
    Entry& e = it->second;
    // An expired picture locks to null and so never matches a new one at the same address.
    if (fresh || e.Frame != frame || e.Picture.lock() != picture || !(e.Region == region)) {
        e.Region = region;
        e.Picture = picture;
        e.Frame = frame;
        e.Stats = picture ? imaging::RegionStatistics(*picture, frame, region) : imaging::TRegionStats{};
        ++computations_;
    }
    return e.Stats;
}

QString TMeasurement::ValueText() const {
    switch (Kind) {
    case TShapeKind::Arrow:
        return QString();
    case TShapeKind::Ruler:
        return WithUnit(Fixed2(LabelFigure), LengthUnit);
    case TShapeKind::Angle:
        return std::isfinite(LabelFigure) ? Fixed2(LabelFigure) + QStringLiteral("°") : QString();
    case TShapeKind::Polyline:
    case TShapeKind::Rectangle:
    case TShapeKind::Ellipse:
        break;
    }
    if (!Stats) {
        return QString();
    }
    QString text = WithUnit(Fixed2(Stats->Area), AreaUnit(*Stats, AtDetector(Spacing)));
    if (Stats->Count > 0) {
        text += QStringLiteral(", ") +
                WithUnit(Fixed2(Stats->Mean) + QStringLiteral(" ± ") + Fixed2(Stats->Sd), Stats->Unit);
    }
    return text;
}

QString SpacingSourceText(imaging::TSpacingSource source) {
    switch (source) {
    case imaging::TSpacingSource::None:
        break;
    case imaging::TSpacingSource::PixelSpacing:
        return QStringLiteral("Pixel Spacing");
    case imaging::TSpacingSource::ImagerPixelSpacing:
        return QStringLiteral("Imager Pixel Spacing (at detector)");
    case imaging::TSpacingSource::CorrectedImagerPixelSpacing:
        return QStringLiteral("Imager Pixel Spacing ÷ magnification");
    }
    return QString();
}

QStringList StatsLabelLines(const imaging::TRegionStats& s, bool atDetector) {
    QStringList lines;
    lines << QStringLiteral("A = ") + WithUnit(Fixed2(s.Area), AreaUnit(s, atDetector));
    if (s.Count > 0) {
        lines << WithUnit(Fixed2(s.Mean) + QStringLiteral(" ± ") + Fixed2(s.Sd), s.Unit);
        lines << QStringLiteral("min ") + Fixed2(s.Min) + QStringLiteral(" max ") + Fixed2(s.Max);
    }
    return lines;
}

std::vector<TMeasurement> Measure(const std::vector<const TMyShape*>& shapes, const TMeasureContext& c) {
    std::vector<TMeasurement> out;
    out.reserve(shapes.size());
    int32_t rulers = 0, angles = 0, arrows = 0;
    const bool mm = c.MmPerPixelX > 0.0 && c.MmPerPixelY > 0.0;
    for (const TMyShape* shape : shapes) {
        const std::optional<TShapeKind> kind = KindOf(*shape);
        if (!kind) {
            continue;
        }
        TMeasurement m;
        m.Kind = *kind;
        m.Points = shape->Points;
        m.Length = kNaN;
        m.Angle = kNaN;
        m.LabelFigure = kNaN;
        m.Spacing = mm ? c.Spacing : imaging::TSpacingSource::None;
        m.File = c.File;
        m.SopInstanceUid = c.SopInstanceUid;
        m.Frame = c.Frame;
        const auto point = [&](size_t i) { return i < shape->Points.size() ? shape->Points[i] : TPoint{}; };
        switch (*kind) {
        case TShapeKind::Arrow:
            ++arrows;
            m.Name = shape->Caption().isEmpty() ? QStringLiteral("Arrow %1").arg(arrows) : shape->Caption();
            break;
        case TShapeKind::Ruler: {
            m.Name = QStringLiteral("Ruler %1").arg(++rulers);
            const double dx = double(point(0).X) - point(1).X;
            const double dy = double(point(0).Y) - point(1).Y;
            m.Length = mm ? std::hypot(dx * c.MmPerPixelX, dy * c.MmPerPixelY)
                          : std::hypot(dx, dy) / double(std::max(1, c.DotsPerInch));
            m.LengthUnit = LengthUnit(c.MmPerPixelX, c.MmPerPixelY, AtDetector(m.Spacing));
            m.LabelFigure = RulerLength(point(0), point(1), c.MmPerPixelX, c.MmPerPixelY, c.DotsPerInch);
            break;
        }
        case TShapeKind::Angle:
            m.Name = QStringLiteral("Angle %1").arg(++angles);
            if (shape->Points.size() >= 3) {
                m.Angle = AngleAt(point(0), point(1), point(2));
                m.LabelFigure = GaugeAngle(point(0), point(1), point(2), c.DotsPerInch);
            }
            break;
        case TShapeKind::Polyline:
        case TShapeKind::Rectangle:
        case TShapeKind::Ellipse: {
            m.Name = shape->Caption();
            if (c.Picture) {
                const imaging::TRegion region = *RegionOf(*shape);
                m.Stats = c.Cache ? c.Cache->Get(shape, region, c.Picture, c.Frame)
                                  : imaging::RegionStatistics(*c.Picture, c.Frame, region);
            }
            break;
        }
        }
        out.push_back(std::move(m));
    }
    return out;
}

QByteArray MeasurementsCsv(const std::vector<TMeasurement>& list) {
    QString text = QStringLiteral("Name,Kind,Points,Length,Length unit,Angle (degrees),Area,Area unit,Count,Mean,SD,"
                                  "Min,Max,Value unit,Spacing,File,SOP Instance UID,Frame\r\n");
    for (const TMeasurement& m : list) {
        QStringList f;
        f << TextField(m.Name) << KindTitle(m.Kind) << TextField(PointsText(m.Points)) << Exact(m.Length)
          << m.LengthUnit << Exact(m.Angle);
        if (m.Stats) {
            const imaging::TRegionStats& s = *m.Stats;
            f << Exact(s.Area) << AreaUnit(s, AtDetector(m.Spacing)) << QString::number(s.Count) << Exact(s.Mean)
              << Exact(s.Sd) << Exact(s.Min) << Exact(s.Max) << TextField(s.Unit);
        } else {
            f << QString() << QString() << QString() << QString() << QString() << QString() << QString() << QString();
        }
        f << TextField(SpacingSourceText(m.Spacing)) << TextField(m.File) << TextField(m.SopInstanceUid)
          << QString::number(int64_t(m.Frame) + 1);
        text += f.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return text.toUtf8();
}

} // namespace kelvo
