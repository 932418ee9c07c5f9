// The reports module's entry point: its functions behind a table the program looks up by name, refusals passed back as values.
#include "reports/dicom_module_functions.h"
#include "reports/reports_module.h"

#include <new>

namespace kelvo::reports {

namespace {

template <typename Work>
TModuleResult Catching(Work work) {
    TModuleResult r;
    try {
        work(r);
    } catch (const EReportError& e) {
        r.Failed = true;
        r.Kind = e.Kind();
        r.Text = e.Text();
    } catch (const std::bad_alloc&) {
        r.Failed = true;
        r.Kind = TReportError::Unwritable;
        r.Text = ReportErrorText(TReportError::Unwritable, QStringLiteral("out of memory"));
    }
    return r;
}

TModuleResult WriteSrEntry(const std::vector<TReportImage>& images) {
    return Catching([&](TModuleResult& r) { r.Bytes = dicom::WriteSr(images); });
}

TModuleResult WritePsEntry(const std::vector<TReportImage>& images) {
    return Catching([&](TModuleResult& r) { r.Bytes = dicom::WritePs(images); });
}

TModuleResult ReadEntry(const QByteArray& bytes, const QString& name, const std::vector<TReportTarget>& targets) {
    return Catching([&](TModuleResult& r) { r.Read = dicom::Read(bytes, name, targets); });
}

const TReportsModule kModule{kReportsModuleAbi, &WriteSrEntry, &WritePsEntry, &ReadEntry};

} // namespace

const TReportsModule& ReportsModuleTable() { return kModule; }

} // namespace kelvo::reports

extern "C" __attribute__((visibility("default"))) const kelvo::reports::TReportsModule* kelvo_reports_module() {
    return &kelvo::reports::ReportsModuleTable();
}
