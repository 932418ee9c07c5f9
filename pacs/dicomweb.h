// DICOMweb on Qt Network: searching studies (QIDO-RS), retrieving them into the instance cache (WADO-RS) and storing files (STOW-RS), as jobs that report on the GUI thread.
#pragma once

#include "pacs/dicom_json.h"
#include "pacs/errors.h"
#include "pacs/server.h"

#include <QByteArray>
#include <QDate>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace kelvo::pacs {

class TInstanceCache;
class TMultipartReader;

// A study search. Empty fields are not matched; PatientName takes DICOM's wildcards
// ('*', '?'). From and To bound the study date (either may be invalid: open ended).
struct TStudyQuery {
    QString PatientName{}, PatientId{}, Modality{}, Accession{};
    QDate From{}, To{};
    int Limit = 100;
    int Offset = 0;
};

struct TPacsProgress {
    int64_t Bytes = 0;        // received (retrieve, search) or sent (store)
    int64_t TotalBytes = -1;  // -1 when the server does not say
    int Instances = 0;        // retrieved or sent so far
};

// One retrieved instance, whole in the cache at Path.
struct TRetrievedInstance {
    QString SopUid;
    QString Path;
    bool FromCache = false;
};

// How a job ended: Kind None is success; Text is the sentence for the user.
struct TPacsStatus {
    TPacsError Kind = TPacsError::None;
    QString Text;
    bool Ok() const { return Kind == TPacsError::None; }
};

// One request to the server. Made by TDicomWebClient, not yet started: set the events,
// then Start(). Events fire on the thread that owns the client (the GUI's), never from
// inside Start(); OnDone fires exactly once and last, after which nothing else does.
// Cancel() (or deleting the job) stops it at any moment: the connection is dropped, a
// half-received instance is discarded, and OnDone reports Canceled before Cancel
// returns. An event handler may delete the job.
//
// Subclasses override Begin (build and send the request, or finish at once),
// ReadBody (the body's bytes as they come) and Complete (the whole body came with a
// 2xx status); the base maps every failure and keeps the idle time-out.
class TPacsJob : public QObject {
public:
    ~TPacsJob() override;

    std::function<void(const TPacsProgress&)> OnProgress;
    std::function<void(const TPacsStatus&)> OnDone;

    void Start();
    void Cancel();
    bool Finished() const { return finished_; }

protected:
    TPacsJob(const TPacsServer& server, QNetworkAccessManager& network, QObject* parent);

    virtual void Begin() = 0;
    virtual void ReadBody(QNetworkReply& reply) = 0;
    virtual void Complete(QNetworkReply& reply) = 0;
    // The reply ended in `kind`: a subclass drops what it holds.
    virtual void Abandon() {}
    // The HTTP statuses whose body the job reads; the others end it with their kind.
    virtual bool Accepts(int status) const { return status >= 200 && status < 300; }

    // A request to `path` under the server's root (with `query` already encoded).
    QNetworkRequest Request(const QString& path, const QByteArray& query, const QByteArray& accept) const;
    // Watches `reply` (owned from now on): progress, the idle time-out, the end.
    void Watch(QNetworkReply* reply);
    // Ends the job with `kind`; no-op once finished. Returns false (the job may be gone).
    bool Fail(TPacsError kind, const QString& detail = QString());
    // Ends the job successfully.
    void Succeed();
    // Fires `handler` through a copy; false when the job was deleted by it.
    template <typename Handler, typename... Args>
    bool Fire(const Handler& handler, Args&&... args) {
        if (!handler) return true;
        const QPointer<TPacsJob> alive(this);
        const Handler copy = handler;
        copy(std::forward<Args>(args)...);
        return !alive.isNull();
    }
    bool Progress(const TPacsProgress& progress) { return Fire(OnProgress, progress); }
    // Runs a step that Qt called into; a failure ends the job, nothing reaches Qt.
    template <typename F>
    void Step(F&& work) noexcept;

    const TPacsServer& server_;
    QNetworkAccessManager& network_;
    TPacsProgress progress_;

private:
    void Finish(const TPacsStatus& status);
    void Ended();
    void ResetIdle();
    TPacsError FromReply(QNetworkReply& reply, QString& detail) const;

    QPointer<QNetworkReply> reply_;
    QTimer idle_;
    QStringList sslErrors_;
    bool started_ = false;
    bool finished_ = false;
};

class TSearchJob : public TPacsJob {
public:
    // The rows, newest first; fires before OnDone of a successful search.
    std::function<void(const std::vector<TStudyRow>&)> OnStudies;

private:
    friend class TDicomWebClient;
    TSearchJob(const TPacsServer& server, QNetworkAccessManager& network, TStudyQuery query, QObject* parent);
    void Begin() override;
    void ReadBody(QNetworkReply& reply) override;
    void Complete(QNetworkReply& reply) override;

    TStudyQuery query_;
    QByteArray body_;
};

class TSeriesSearchJob : public TPacsJob {
public:
    // The study's series by number; fires before OnDone of a successful search.
    std::function<void(const std::vector<TSeriesRow>&)> OnSeries;

private:
    friend class TDicomWebClient;
    TSeriesSearchJob(const TPacsServer& server, QNetworkAccessManager& network, QString studyUid, QObject* parent);
    void Begin() override;
    void ReadBody(QNetworkReply& reply) override;
    void Complete(QNetworkReply& reply) override;

    QString studyUid_;
    QByteArray body_;
};

class TRetrieveJob : public TPacsJob {
public:
    // Each instance as soon as it is whole in the cache (the first slice can show while
    // the rest arrives).
    std::function<void(const TRetrievedInstance&)> OnInstance;
    ~TRetrieveJob() override;

private:
    friend class TDicomWebClient;
    TRetrieveJob(const TPacsServer& server, QNetworkAccessManager& network, TInstanceCache* cache, QString studyUid,
                 QString seriesUid, QObject* parent);
    void Begin() override;
    void ReadBody(QNetworkReply& reply) override;
    void Complete(QNetworkReply& reply) override;
    void Abandon() override;
    void FromCache(const QStringList& sopUids);
    void PartEnded();
    QString ListKey() const;

    TInstanceCache* cache_;
    QString studyUid_, seriesUid_;
    std::unique_ptr<TMultipartReader> reader_;
    struct TPart;
    std::unique_ptr<TPart> part_;
    QStringList retrieved_;
    QByteArray chunk_;
};

class TStoreJob : public TPacsJob {
public:
    // What the server says it stored and refused; fires before OnDone (which reports
    // StoreRejected when any instance was refused).
    std::function<void(const TStoreResult&)> OnStored;

private:
    friend class TDicomWebClient;
    TStoreJob(const TPacsServer& server, QNetworkAccessManager& network, QStringList files, QString studyUid,
              QObject* parent);
    void Begin() override;
    void ReadBody(QNetworkReply& reply) override;
    void Complete(QNetworkReply& reply) override;
    // 409: none was stored, and the body says why.
    bool Accepts(int status) const override { return TPacsJob::Accepts(status) || status == 409; }

    QStringList files_;
    QString studyUid_;
    QByteArray body_;
};

// One server's DICOMweb services. The jobs it makes are its children: deleting the
// client cancels them.
class TDicomWebClient : public QObject {
public:
    // `cache` (which must outlive the client) receives retrieved instances.
    TDicomWebClient(TPacsServer server, TInstanceCache* cache, QObject* parent = nullptr);
    ~TDicomWebClient() override;

    const TPacsServer& Server() const { return server_; }

    TSearchJob* Search(const TStudyQuery& query);
    TSeriesSearchJob* SearchSeries(const QString& studyUid);
    // A whole study, or one of its series when seriesUid is given. A study or series
    // retrieved whole before, and still in the cache, comes from the cache alone.
    TRetrieveJob* Retrieve(const QString& studyUid, const QString& seriesUid = QString());
    // Sends DICOM files, to the given study when studyUid is not empty.
    TStoreJob* Store(const QStringList& files, const QString& studyUid = QString());

private:
    TPacsServer server_;
    TInstanceCache* cache_;
    std::unique_ptr<QNetworkAccessManager> network_;
};

// The QIDO-RS query string of `query` (without '?'), for tests and logs.
QByteArray StudyQueryString(const TStudyQuery& query);

} // namespace kelvo::pacs
