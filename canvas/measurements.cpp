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

QString Fixed2(double v) { return FormatFixed2(v, 0).trimmed(); }

QString AreaUnit(const imaging::TRegionStats& s, const TPixelSpacing& spacing) {
    if (!s.AreaInMm2) return QStringLiteral("px");
    return QStringLiteral("mm²") + SpacingQualifier(spacing);
}

TPixelSpacing SpacingOf(const TMeasurement& m) {
    return TPixelSpacing{m.MmPerPixelX, m.MmPerPixelY, m.Spacing == imaging::TSpacingSource::ImagerPixelSpacing,
                         m.Calibrated};
}

QString WithUnit(const QString& number, const QString& unit) {
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

} // namespace

std::optional<imaging::TRegion> RegionOf(const TMyShape& shape) { return shape.Outline(); }

void MeasureRegion(const TMyShape& shape, TMeasurement& m, const TMeasureContext& c) {
    m.Name = shape.Caption();
    if (c.Picture) {
        const imaging::TRegion region = *shape.Outline();
        m.Stats = WithSpacing(c.Cache ? c.Cache->Get(&shape, region, c.Picture, c.Frame)
                                      : imaging::RegionStatistics(*c.Picture, c.Frame, region),
                              TPixelSpacing{c.MmPerPixelX, c.MmPerPixelY, false, c.Calibrated});
    }
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
    switch (KindRow(Kind).Shown) {
    case TShownFigure::Nothing:
        return QString();
    case TShownFigure::Length:
        return WithUnit(Fixed2(LabelFigure), LengthUnit);
    case TShownFigure::Angle:
        return std::isfinite(LabelFigure) ? Fixed2(LabelFigure) + QStringLiteral("°") : QString();
    case TShownFigure::Statistics:
        break;
    }
    if (!Stats) {
        return QString();
    }
    QString text = WithUnit(Fixed2(Stats->Area), AreaUnit(*Stats, SpacingOf(*this)));
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

imaging::TRegionStats WithSpacing(imaging::TRegionStats stats, const TPixelSpacing& spacing) {
    if (spacing.Calibrated && spacing.InMm()) {
        stats.AreaInMm2 = true;
        stats.Area = double(stats.Count) * spacing.X * spacing.Y;
    }
    return stats;
}

QStringList StatsLabelLines(const imaging::TRegionStats& s, bool atDetector) {
    return StatsLabelLines(s, TPixelSpacing{0.0, 0.0, atDetector, false});
}

QStringList StatsLabelLines(const imaging::TRegionStats& s, const TPixelSpacing& spacing) {
    QStringList lines;
    lines << QStringLiteral("A = ") + WithUnit(Fixed2(s.Area), AreaUnit(s, spacing));
    if (s.Count > 0) {
        lines << WithUnit(Fixed2(s.Mean) + QStringLiteral(" ± ") + Fixed2(s.Sd), s.Unit);
        lines << QStringLiteral("min ") + Fixed2(s.Min) + QStringLiteral(" max ") + Fixed2(s.Max);
    }
    return lines;
}

std::vector<TMeasurement> Measure(const std::vector<const TMyShape*>& shapes, const TMeasureContext& c) {
    std::vector<TMeasurement> out;
    out.reserve(shapes.size());
    // Shapes are numbered by kind in list order ("Ruler 1", "Ruler 2").
    std::vector<int32_t> numbers(ShapeKinds().size());
    const bool mm = c.MmPerPixelX > 0.0 && c.MmPerPixelY > 0.0;
    for (const TMyShape* shape : shapes) {
        TMeasurement m;
        m.Kind = shape->Kind();
        m.Points = shape->Points;
        m.Length = kNaN;
        m.Angle = kNaN;
        m.LabelFigure = kNaN;
        m.Spacing = mm ? c.Spacing : imaging::TSpacingSource::None;
        m.File = c.File;
        m.SopInstanceUid = c.SopInstanceUid;
        m.Frame = c.Frame;
        if (mm) {
            m.MmPerPixelX = c.MmPerPixelX;
            m.MmPerPixelY = c.MmPerPixelY;
            m.Calibrated = c.Calibrated;
        }
        shape->MeasureInto(m, ++numbers[size_t(m.Kind)], c);
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
            f << Exact(s.Area) << AreaUnit(s, SpacingOf(m)) << QString::number(s.Count) << Exact(s.Mean) << Exact(s.Sd)
              << Exact(s.Min) << Exact(s.Max) << TextField(s.Unit);
        } else {
            f << QString() << QString() << QString() << QString() << QString() << QString() << QString() << QString();
        }
        f << TextField(m.Calibrated ? kCalibratedSpacingText : SpacingSourceText(m.Spacing)) << TextField(m.File)
          << TextField(m.SopInstanceUid) << QString::number(int64_t(m.Frame) + 1);
        text += f.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return text.toUtf8();
}

} // namespace kelvo
