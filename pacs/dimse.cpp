// The DICOM network jobs: load the networking module, run on a thread of their own and post the outcome back.
#include "pacs/dimse.h"

#include "pacs/dimse_module.h"
#include "pacs/instance_cache.h"
#include "platform/module.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>

#include <thread>

namespace kelvo::pacs {

std::string DimseModulePath() { return ModulePath("kelvo_dimse.so"); }

TDimseJob::TDimseJob(TDicomNode node, int timeoutSeconds, QObject* parent)
    : QObject(parent), node_(std::move(node)), timeoutSeconds_(timeoutSeconds) {}

TDimseJob::~TDimseJob() { cancel_->store(true); }

void TDimseJob::Start() {
    if (started_ || finished_) return;
    started_ = true;
    std::string error;
    const auto* module = static_cast<const TDimseModule*>(LoadModule(DimseModulePath(), kDimseModuleEntry, error));
    if (module != nullptr && module->Abi != kDimseModuleAbi) error = "it belongs to another version of Kelvo";
    if (module == nullptr || !error.empty()) {
        const QString detail = QStringLiteral("the DICOM networking module: %1").arg(QString::fromLocal8Bit(error.c_str()));
        Post(this, [detail](TDimseJob& job) { job.Finish(TPacsError::LocalFile, detail); });
        return;
    }
    try {
        Run(*module);
    } catch (const EPacsError& e) {
        const TPacsError kind = e.PacsKind();
        const QString text = e.Text();
        Post(this, [kind, text](TDimseJob& job) { job.Finish(kind, text); });
    }
}

void TDimseJob::Cancel() {
    cancel_->store(true);
    Finish(TPacsError::Canceled, {});
}

void TDimseJob::Post(const QPointer<TDimseJob>& self, std::function<void(TDimseJob&)> step) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, step = std::move(step)] {
            if (self && !self->finished_) step(*self);
        },
        Qt::QueuedConnection);
}

bool TDimseJob::Moved(const TDimseEvent& event) {
    // The worker counts within one instance; a whole one adds to the total.
    progress_.Bytes = doneBytes_ + event.Bytes;
    if (!event.SopUid.isEmpty()) doneBytes_ += event.Bytes, ++progress_.Instances;
    return event.SopUid.isEmpty() ? Fire(OnProgress, progress_) : true;
}

void TDimseJob::Finish(TPacsError kind, const QString& detail) {
    if (finished_) return;
    finished_ = true;
    if (OnDone) {
        const auto handler = OnDone;
        handler({kind, kind == TPacsError::None || kind == TPacsError::Canceled ? PacsErrorText(kind)
                                                                                : PacsErrorText(kind, detail)});
    }
}

TDimseFindJob::TDimseFindJob(TDicomNode node, TStudyQuery query, int timeoutSeconds, QObject* parent)
    : TDimseJob(std::move(node), timeoutSeconds, parent), query_(std::move(query)) {}

void TDimseFindJob::Run(const TDimseModule& module) {
    // The worker owns copies of everything it reads; the job may be gone when it ends.
    std::thread([self = QPointer<TDimseJob>(this), &module, node = node_, query = query_, timeout = timeoutSeconds_,
                 cancel = cancel_] {
        TDimseFindResult r = module.FindStudies(node, query, timeout, cancel.get());
        Post(self, [r = std::move(r)](TDimseJob& job) {
            auto& self = static_cast<TDimseFindJob&>(job);
            if (r.Kind == TPacsError::None && !self.Fire(self.OnStudies, r.Rows)) return;
            self.Finish(r.Kind, r.Detail);
        });
    }).detach();
}

TDimseSeriesJob::TDimseSeriesJob(TDicomNode node, QString studyUid, int timeoutSeconds, QObject* parent)
    : TDimseJob(std::move(node), timeoutSeconds, parent), studyUid_(std::move(studyUid)) {}

void TDimseSeriesJob::Run(const TDimseModule& module) {
    std::thread([self = QPointer<TDimseJob>(this), &module, node = node_, study = studyUid_, timeout = timeoutSeconds_,
                 cancel = cancel_] {
        TDimseSeriesResult r = module.FindSeries(node, study, timeout, cancel.get());
        Post(self, [r = std::move(r)](TDimseJob& job) {
            auto& series = static_cast<TDimseSeriesJob&>(job);
            if (r.Kind == TPacsError::None && !series.Fire(series.OnSeries, r.Rows)) return;
            series.Finish(r.Kind, r.Detail);
        });
    }).detach();
}

TDimseRetrieveJob::TDimseRetrieveJob(TDicomNode node, TInstanceCache* cache, QString studyUid, QString seriesUid,
                                     int timeoutSeconds, QObject* parent)
    : TDimseJob(std::move(node), timeoutSeconds, parent), cache_(cache), studyUid_(std::move(studyUid)),
      seriesUid_(std::move(seriesUid)) {}

QString TDimseRetrieveJob::ListKey() const {
    return QStringLiteral("dicom:%1@%2:%3|%4|%5")
        .arg(node_.AeTitle, node_.Host)
        .arg(node_.Port)
        .arg(studyUid_, seriesUid_);
}

void TDimseRetrieveJob::Run(const TDimseModule& module) {
    if (cache_ == nullptr) throw EPacsError(TPacsError::LocalFile, QStringLiteral("no cache to retrieve into"));
    const QStringList cached = cache_->CompleteList(ListKey());
    if (!cached.isEmpty()) {
        Post(this, [cached](TDimseJob& job) {
            auto& self = static_cast<TDimseRetrieveJob&>(job);
            for (const QString& uid : cached) {
                self.cache_->Touch(uid);
                ++self.progress_.Instances;
                if (!self.Fire(self.OnInstance, TRetrievedInstance{uid, self.cache_->Path(uid), true})) return;
                if (!self.Fire(self.OnProgress, self.progress_)) return;
            }
            self.Finish(TPacsError::None, {});
        });
        return;
    }
    staging_ = cache_->MakeStagingFolder();
    // A worker still writing into the staging folder after a cancel removes it itself.
    std::thread([self = QPointer<TDimseJob>(this), &module, node = node_, study = studyUid_, series = seriesUid_,
                 staging = staging_, timeout = timeoutSeconds_, cancel = cancel_] {
        const TDimseReport report = [self](const TDimseEvent& event) {
            Post(self, [event](TDimseJob& job) { static_cast<TDimseRetrieveJob&>(job).Arrived(event); });
        };
        const auto transfer = node.OurPort != 0 ? module.Move : module.Retrieve;
        const TDimseTransferResult r = transfer(node, study, series, staging, timeout, cancel.get(), report);
        // Canceled or gone, nobody adopts what came: the folder goes with it.
        if (cancel->load()) QDir(staging).removeRecursively();
        Post(self, [r](TDimseJob& job) { static_cast<TDimseRetrieveJob&>(job).Ended(r.Kind, r.Detail); });
    }).detach();
}

void TDimseRetrieveJob::Arrived(const TDimseEvent& event) {
    if (!Moved(event) || event.SopUid.isEmpty()) return;
    QString path;
    try {
        path = cache_->Adopt(event.Path, event.SopUid);
    } catch (const EPacsError& e) {
        cancel_->store(true);
        Ended(e.PacsKind(), e.Text());
        return;
    }
    retrieved_ << event.SopUid;
    if (!Fire(OnInstance, TRetrievedInstance{event.SopUid, path, false})) return;
    Fire(OnProgress, progress_);
}

void TDimseRetrieveJob::Ended(TPacsError kind, const QString& detail) {
    QDir(staging_).removeRecursively();
    if (kind == TPacsError::None) {
        try {
            cache_->SetCompleteList(ListKey(), retrieved_);
        } catch (const EPacsError& e) {
            Finish(e.PacsKind(), e.Text());
            return;
        }
    }
    Finish(kind, detail);
}

TDimseStoreJob::TDimseStoreJob(TDicomNode node, QStringList files, int timeoutSeconds, QObject* parent)
    : TDimseJob(std::move(node), timeoutSeconds, parent), files_(std::move(files)) {}

void TDimseStoreJob::Run(const TDimseModule& module) {
    std::thread([self = QPointer<TDimseJob>(this), &module, node = node_, files = files_, timeout = timeoutSeconds_,
                 cancel = cancel_] {
        const TDimseReport report = [self](const TDimseEvent& event) {
            Post(self, [event](TDimseJob& job) {
                auto& store = static_cast<TDimseStoreJob&>(job);
                if (store.Moved(event) && !event.SopUid.isEmpty()) store.Fire(store.OnProgress, store.progress_);
            });
        };
        const TDimseTransferResult r = module.Store(node, files, timeout, cancel.get(), report);
        Post(self, [r](TDimseJob& job) { static_cast<TDimseStoreJob&>(job).Finish(r.Kind, r.Detail); });
    }).detach();
}

} // namespace kelvo::pacs
