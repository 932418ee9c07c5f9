// The reports module's functions, as its entry table (and the fuzz build) calls them; they throw EReportError.
#pragma once

#include "reports/reports.h"

namespace kelvo::reports::dicom {

QByteArray WriteSr(const std::vector<TReportImage>& images);
QByteArray WritePs(const std::vector<TReportImage>& images);
TReadReport Read(const QByteArray& bytes, const QString& name, const std::vector<TReportTarget>& targets);

} // namespace kelvo::reports::dicom
