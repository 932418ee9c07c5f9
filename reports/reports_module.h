// The reports module's table: the DCMTK side of reports.h, behind one exported entry point.
#pragma once

#include "reports/reports.h"

#include <cstdint>

namespace kelvo::reports {

// Errors do not cross the module boundary as exceptions: the entry points catch them
// and hand back the kind and the sentence, which the program's side raises again.
struct TModuleResult {
    QByteArray Bytes;
    TReadReport Read;
    bool Failed = false;
    TReportError Kind = TReportError::Damaged;
    QString Text;
};

struct TReportsModule {
    // Changed with every change of this structure or of the types it passes.
    uint32_t Abi;
    TModuleResult (*WriteSr)(const std::vector<TReportImage>& images);
    TModuleResult (*WritePs)(const std::vector<TReportImage>& images);
    TModuleResult (*Read)(const QByteArray& bytes, const QString& name, const std::vector<TReportTarget>& targets);
};

inline constexpr uint32_t kReportsModuleAbi = 1;
inline constexpr const char* kReportsModuleEntry = "kelvo_reports_module";

// The module's table; in the fuzz build, the same functions linked in.
const TReportsModule& ReportsModuleTable();

} // namespace kelvo::reports
