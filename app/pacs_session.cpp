// Requests at a PACS over the way its description gives, and the program's instance cache.
#include "app/pacs_session.h"

#include "app/pacs_settings.h"
#include "pacs/dimse.h"
#include "pacs/instance_cache.h"

#include <QStandardPaths>

namespace kelvo {

using namespace pacs;

namespace {
// Seconds without a byte moving before a DICOM request is given up.
constexpr int kDimseIdleSeconds = 30;
} // namespace

TInstanceCache& ProgramInstanceCache() {
    static TInstanceCache cache(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                                    QStringLiteral("/kelvo/instances"),
                                int64_t{2} << 30);
    return cache;
}

TPacsSession::TPacsSession(TPacsServer server, TInstanceCache* cache, QObject* parent)
    : QObject(parent), server_(std::move(server)), cache_(cache) {
    if (UsesDicomWeb(server_)) web_ = std::make_unique<TDicomWebClient>(server_, cache_);
}

TPacsSession::~TPacsSession() {
    Cancel();
    WipePassword(server_);
}

void TPacsSession::Cancel() {
    if (job_.isNull() || !cancel_) return;
    const auto cancel = std::move(cancel_);
    cancel_ = nullptr;
    cancel();
}

template <typename Job>
void TPacsSession::Run(Job* job, TPacsEvents events) {
    Cancel();
    job_ = job;
    cancel_ = [job] { job->Cancel(); };
    job->OnProgress = events.Progress;
    job->OnDone = [this, job, done = events.Done](const TPacsStatus& status) {
        if (job_ == job) job_ = nullptr, cancel_ = nullptr;
        // The job goes once its handlers have returned.
        job->deleteLater();
        if (done) done(status);
    };
    job->Start();
}

void TPacsSession::Search(const TStudyQuery& query, TPacsEvents events) {
    if (web_) {
        TSearchJob* job = web_->Search(query);
        job->OnStudies = events.Studies;
        Run(job, std::move(events));
        return;
    }
    auto* job = new TDimseFindJob(server_.Node, query, kDimseIdleSeconds, this);
    job->OnStudies = events.Studies;
    Run(job, std::move(events));
}

void TPacsSession::SearchSeries(const QString& studyUid, TPacsEvents events) {
    if (web_) {
        TSeriesSearchJob* job = web_->SearchSeries(studyUid);
        job->OnSeries = events.Series;
        Run(job, std::move(events));
        return;
    }
    auto* job = new TDimseSeriesJob(server_.Node, studyUid, kDimseIdleSeconds, this);
    job->OnSeries = events.Series;
    Run(job, std::move(events));
}

void TPacsSession::Retrieve(const QString& studyUid, const QString& seriesUid, TPacsEvents events) {
    if (web_) {
        TRetrieveJob* job = web_->Retrieve(studyUid, seriesUid);
        job->OnInstance = events.Instance;
        Run(job, std::move(events));
        return;
    }
    auto* job = new TDimseRetrieveJob(server_.Node, cache_, studyUid, seriesUid, kDimseIdleSeconds, this);
    job->OnInstance = events.Instance;
    Run(job, std::move(events));
}

void TPacsSession::Store(const QStringList& files, TPacsEvents events) {
    // What was sent may belong to studies retrieved before: their lists would open
    // them again without it.
    if (cache_ != nullptr) cache_->ForgetCompleteLists();
    if (web_) {
        Run(web_->Store(files), std::move(events));
        return;
    }
    Run(new TDimseStoreJob(server_.Node, files, kDimseIdleSeconds, this), std::move(events));
}

} // namespace kelvo
