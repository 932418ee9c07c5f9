// The fixed texts of the reports' errors and the values a report gives for a measurement; shared by the library and its module.
#include "reports/reports.h"

#include <cmath>

namespace kelvo::reports {

QString ReportErrorText(TReportError kind, const QString& detail) {
    switch (kind) {
    case TReportError::Unreadable:
        return QStringLiteral("%1 cannot be read as a DICOM file.").arg(detail);
    case TReportError::Unwritable:
        return QStringLiteral("The report cannot be made: %1.").arg(detail);
    case TReportError::NoSource:
        return QStringLiteral("%1 is no DICOM image, so no report can refer to it.").arg(detail);
    case TReportError::NotTid1500:
        return QStringLiteral("%1 is a structured report, but no measurement report (TID 1500).").arg(detail);
    case TReportError::NotAReport:
        return QStringLiteral("%1 is neither a structured report nor a presentation state.").arg(detail);
    case TReportError::OutsideImage:
        return QStringLiteral("A shape lies outside the image it refers to: %1.").arg(detail);
    case TReportError::UnknownUnit:
        return QStringLiteral("A measured value has a unit this program does not know: %1.").arg(detail);
    case TReportError::OtherImage:
        return QStringLiteral("%1 refers to other images than the ones shown.").arg(detail);
    case TReportError::UnsupportedShape:
        return QStringLiteral("A shape cannot be shown: %1.").arg(detail);
    case TReportError::Damaged:
        return QStringLiteral("The report is damaged: %1.").arg(detail);
    case TReportError::ModuleMissing:
        return QStringLiteral("The DICOM report module cannot be used: %1.").arg(detail);
    }
    return detail;
}

std::vector<TReportValue> ReportValues(const TMeasurement& m) {
    std::vector<TReportValue> values;
    const auto add = [&values](TValueKind kind, double value, const char* unit) {
        if (std::isfinite(value)) values.push_back({kind, value, QString::fromLatin1(unit)});
    };
    switch (m.Kind) {
    case TShapeKind::Ruler:
        // Millimetres of any spacing, the user's calibration included ("mm (calibrated)"
        // is the label's unit, not the value's): the SR notes the calibration apart.
        if (m.MmPerPixelX > 0.0 && m.MmPerPixelY > 0.0) add(TValueKind::Length, m.Length, "mm");
        break;
    case TShapeKind::Angle:
        add(TValueKind::Angle, m.Angle, "deg");
        break;
    case TShapeKind::Polyline:
    case TShapeKind::Rectangle:
    case TShapeKind::Ellipse:
        if (m.Stats) {
            const imaging::TRegionStats& s = *m.Stats;
            if (s.AreaInMm2) add(TValueKind::Area, s.Area, "mm2");
            if (s.Count > 0) {
                const char* unit = s.Unit == QLatin1String("HU") ? "[hnsf'U]" : "1";
                add(TValueKind::Mean, s.Mean, unit);
                add(TValueKind::StandardDeviation, s.Sd, unit);
                add(TValueKind::Minimum, s.Min, unit);
                add(TValueKind::Maximum, s.Max, unit);
            }
        }
        break;
    case TShapeKind::Arrow:
        break;
    }
    return values;
}

} // namespace kelvo::reports
