// The program's side of reports.h: loading the DCMTK module on first use and raising its refusals as EReportError.
#include "reports/reports.h"

#include "reports/reports_module.h"
#include "platform/module.h"

#include <string>

namespace kelvo::reports {

namespace {

const TReportsModule& Module() {
#ifdef KELVO_REPORTS_BUILT_IN
    return ReportsModuleTable();
#else
    const std::string path = ModulePath("kelvo_reports_dicom.so");
    std::string error;
    const auto* module = static_cast<const TReportsModule*>(LoadModule(path, kReportsModuleEntry, error));
    if (module == nullptr || module->Abi != kReportsModuleAbi) {
        const QString why = module == nullptr ? QString::fromLocal8Bit(error.c_str())
                                              : QStringLiteral("it belongs to another version of Kelvo");
        throw EReportError(TReportError::ModuleMissing,
                           ReportErrorText(TReportError::ModuleMissing,
                                           QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(path.c_str()), why)));
    }
    return *module;
#endif
}

TModuleResult Checked(TModuleResult r) {
    if (r.Failed) throw EReportError(r.Kind, r.Text);
    return r;
}

} // namespace

QByteArray WriteMeasurementReport(const std::vector<TReportImage>& images) {
    return Checked(Module().WriteSr(images)).Bytes;
}

QByteArray WritePresentationState(const std::vector<TReportImage>& images) {
    return Checked(Module().WritePs(images)).Bytes;
}

TReadReport ReadReport(const QByteArray& bytes, const QString& name, const std::vector<TReportTarget>& targets) {
    return Checked(Module().Read(bytes, name, targets)).Read;
}

} // namespace kelvo::reports
