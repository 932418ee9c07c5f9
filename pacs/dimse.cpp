// The C-FIND job: loads the networking module, runs the search on a thread of its own and posts the outcome back.
#include "pacs/dimse.h"

#include "pacs/dimse_module.h"
#include "platform/module.h"

#include <QCoreApplication>
#include <QPointer>

#include <thread>

namespace kelvo::pacs {

std::string DimseModulePath() { return ModulePath("kelvo_dimse.so"); }

TDimseFindJob::TDimseFindJob(TDicomNode node, TStudyQuery query, int timeoutSeconds, QObject* parent)
    : QObject(parent), node_(std::move(node)), query_(std::move(query)), timeoutSeconds_(timeoutSeconds) {}

TDimseFindJob::~TDimseFindJob() { cancel_->store(true); }

void TDimseFindJob::Start() {
    if (started_ || finished_) return;
    started_ = true;
    std::string error;
    const auto* module = static_cast<const TDimseModule*>(LoadModule(DimseModulePath(), kDimseModuleEntry, error));
    if (module != nullptr && module->Abi != kDimseModuleAbi) error = "it belongs to another version of Kelvo";
    const QPointer<TDimseFindJob> self(this);
    if (module == nullptr || !error.empty()) {
        const QString detail = QStringLiteral("the DICOM networking module: %1").arg(QString::fromLocal8Bit(error.c_str()));
        QMetaObject::invokeMethod(this, [self, detail] {
            if (self) self->Finish(TPacsError::LocalFile, detail, {});
        }, Qt::QueuedConnection);
        return;
    }
    // The worker owns copies of everything it reads; the job may be gone when it ends,
    // so the outcome goes through the application object, which outlives both.
    std::thread([module, node = node_, query = query_, timeout = timeoutSeconds_, cancel = cancel_, self] {
        TDimseFindResult r = module->FindStudies(node, query, timeout, cancel.get());
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, r = std::move(r)] {
            if (self) self->Finish(r.Kind, r.Detail, r.Rows);
        }, Qt::QueuedConnection);
    }).detach();
}

void TDimseFindJob::Cancel() {
    cancel_->store(true);
    Finish(TPacsError::Canceled, {}, {});
}

void TDimseFindJob::Finish(TPacsError kind, const QString& detail, const std::vector<TStudyRow>& rows) {
    if (finished_) return;
    finished_ = true;
    const QPointer<TDimseFindJob> alive(this);
    if (kind == TPacsError::None && OnStudies) {
        const auto handler = OnStudies;
        handler(rows);
        if (!alive) return;
    }
    if (OnDone) {
        const auto handler = OnDone;
        handler({kind, PacsErrorText(kind, detail)});
    }
}

} // namespace kelvo::pacs
