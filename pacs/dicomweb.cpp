// The DICOMweb jobs over QNetworkAccessManager: requests, the mapping of every failure to one kind, and the three services.
#include "pacs/dicomweb.h"

#include "imaging/dicom_headers.h"
#include "pacs/instance_cache.h"
#include "pacs/multipart.h"

#include <QFile>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslError>

namespace kelvo::pacs {
namespace {

// A search or store answer is a few kilobytes a study; more than this is no answer.
constexpr qsizetype kMaxJsonBytes = 64 * 1024 * 1024;
// What Qt Network may hold unread for a retrieve, and what one read takes: the memory a
// retrieve needs, whatever the study's size.
constexpr qint64 kReadBufferBytes = 1024 * 1024;
constexpr qsizetype kChunkBytes = 256 * 1024;
// One instance larger than this is taken for a part that never ends.
constexpr int64_t kMaxInstanceBytes = int64_t{4} << 30;

QString Percent(const QString& uid) { return QString::fromLatin1(QUrl::toPercentEncoding(uid)); }

} // namespace

// ---- the job's frame ------------------------------------------------------------

TPacsJob::TPacsJob(const TPacsServer& server, QNetworkAccessManager& network, QObject* parent)
    : QObject(parent), server_(server), network_(network) {
    idle_.setSingleShot(true);
    connect(&idle_, &QTimer::timeout, this, [this] {
        Fail(TPacsError::TimedOut, QStringLiteral("%1 s without data").arg(server_.IdleTimeoutMs / 1000.0));
    });
}

TPacsJob::~TPacsJob() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
}

template <typename F>
void TPacsJob::Step(F&& work) noexcept {
    const QPointer<TPacsJob> alive(this);
    try {
        work();
    } catch (const EPacsError& e) {
        if (alive) Finish({e.PacsKind(), e.Text()});
    } catch (const std::exception& e) {
        // The DICOM reader's module missing, or memory: nothing the server did.
        if (alive) Fail(TPacsError::LocalFile, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        if (alive) Fail(TPacsError::LocalFile);
    }
}

void TPacsJob::Start() {
    if (started_ || finished_) return;
    started_ = true;
    // Queued, so that no event fires inside Start and the caller's handlers are all set.
    QMetaObject::invokeMethod(this, [this] {
        Step([this] {
            const QString scheme = server_.BaseUrl.scheme().toLower();
            if (!server_.BaseUrl.isValid() || server_.BaseUrl.host().isEmpty() ||
                (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
                throw EPacsError(TPacsError::BadServer, server_.BaseUrl.toString());
            if (scheme == QLatin1String("http") && !server_.Password.isEmpty() &&
                server_.ClearPassword != TClearPassword::SendConfirmed)
                throw EPacsError(TPacsError::InsecurePassword, QString());
            Begin();
        });
    }, Qt::QueuedConnection);
}

void TPacsJob::Cancel() { Fail(TPacsError::Canceled); }

QNetworkRequest TPacsJob::Request(const QString& path, const QByteArray& query, const QByteArray& accept) const {
    QUrl url = server_.BaseUrl;
    QString base = url.path();
    if (!base.endsWith(QLatin1Char('/'))) base += QLatin1Char('/');
    url.setPath(base + path, QUrl::StrictMode);
    url.setQuery(query.isEmpty() ? QString() : QString::fromLatin1(query), QUrl::TolerantMode);
    QNetworkRequest request(url);
    request.setRawHeader("Accept", accept);
    // A redirect would carry the credentials to wherever it points: not followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!server_.User.isEmpty())
        request.setRawHeader("Authorization", "Basic " + (server_.User + ":" + server_.Password).toUtf8().toBase64());
    if (url.scheme().toLower() == QLatin1String("https")) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        if (!server_.ExtraCaCertificates.isEmpty()) tls.addCaCertificates(server_.ExtraCaCertificates);
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        request.setSslConfiguration(tls);
    }
    return request;
}

void TPacsJob::Watch(QNetworkReply* reply) {
    reply_ = reply;
    reply->setParent(this);
    ResetIdle();
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        ResetIdle();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && !Accepts(status.toInt())) {
            reply->readAll(); // an error page: only its status matters
            return;
        }
        Step([this, reply] { ReadBody(*reply); });
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64, qint64 total) {
        ResetIdle();
        if (total > 0) progress_.TotalBytes = total;
    });
    connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64 total) {
        ResetIdle();
        if (sent == 0 || finished_) return;
        progress_.Bytes = sent;
        if (total > 0) progress_.TotalBytes = total;
        Progress(progress_);
    });
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError>& errors) {
        // Never ignored: the handshake then fails and nothing of the request is sent.
        for (const QSslError& e : errors) sslErrors_ << e.errorString();
    });
    connect(reply, &QNetworkReply::finished, this, [this] { Ended(); });
}

void TPacsJob::ResetIdle() {
    if (!finished_) idle_.start(server_.IdleTimeoutMs);
}

TPacsError TPacsJob::FromReply(QNetworkReply& reply, QString& detail) const {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        const QString reason = reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        detail = QStringLiteral("HTTP %1 %2").arg(code).arg(reason).trimmed();
        if (Accepts(code)) {
            if (reply.error() == QNetworkReply::NoError) return TPacsError::None;
            detail = reply.errorString();
            return TPacsError::Truncated; // the body broke off after a good status
        }
        if (code == 401) return TPacsError::Unauthorized;
        if (code == 403) return TPacsError::Forbidden;
        if (code == 404) return TPacsError::NotFound;
        return TPacsError::ServerError;
    }
    detail = reply.errorString();
    switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError: return TPacsError::Refused;
    case QNetworkReply::HostNotFoundError: return TPacsError::HostNotFound;
    case QNetworkReply::SslHandshakeFailedError:
        if (!sslErrors_.isEmpty()) detail = sslErrors_.join(QStringLiteral("; "));
        return TPacsError::Certificate;
    case QNetworkReply::TimeoutError: return TPacsError::TimedOut;
    default: return TPacsError::Unreachable;
    }
}

void TPacsJob::Ended() {
    if (finished_ || !reply_) return;
    QString detail;
    const TPacsError kind = FromReply(*reply_, detail);
    if (kind != TPacsError::None) {
        Fail(kind, detail);
        return;
    }
    Step([this] { Complete(*reply_); });
}

bool TPacsJob::Fail(TPacsError kind, const QString& detail) {
    if (finished_) return false;
    Finish({kind, PacsErrorText(kind, detail)});
    return false;
}

void TPacsJob::Succeed() { Finish({TPacsError::None, PacsErrorText(TPacsError::None)}); }

void TPacsJob::Finish(const TPacsStatus& status) {
    if (finished_) return;
    finished_ = true;
    idle_.stop();
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
        reply_ = nullptr;
    }
    if (!status.Ok()) Abandon();
    Fire(OnDone, status);
}

// ---- search -------------------------------------------------------------------------

QByteArray StudyQueryString(const TStudyQuery& query) {
    // Encoded here rather than by QUrlQuery, which leaves '+' (a space to most servers)
    // alone; the wildcards stay as they are.
    QByteArrayList items;
    const auto add = [&items](const char* key, const QString& value) {
        if (!value.isEmpty()) items << QByteArray(key) + "=" + QUrl::toPercentEncoding(value, "*?");
    };
    // Qt sends the name separator '^' only as "%5E", which Orthanc matches literally and
    // so finds nothing; '?' (any one character) matches the separator on every server,
    // at the cost of rare extra rows.
    add("PatientName", QString(query.PatientName).replace(QLatin1Char('^'), QLatin1Char('?')));
    add("PatientID", query.PatientId);
    if (query.From.isValid() || query.To.isValid()) {
        const auto day = [](const QDate& d) { return d.isValid() ? d.toString(QStringLiteral("yyyyMMdd")) : QString(); };
        // A DICOM date range; one open end is allowed ("-20240131", "20240101-").
        add("StudyDate", query.From == query.To ? day(query.From) : day(query.From) + "-" + day(query.To));
    }
    add("ModalitiesInStudy", query.Modality);
    add("AccessionNumber", query.Accession);
    for (const char* tag : {"00081030", "00080061", "00201206", "00201208"}) add("includefield", QString::fromLatin1(tag));
    if (query.Limit > 0) add("limit", QString::number(query.Limit));
    if (query.Offset > 0) add("offset", QString::number(query.Offset));
    return items.join('&');
}

TSearchJob::TSearchJob(const TPacsServer& server, QNetworkAccessManager& network, TStudyQuery query, QObject* parent)
    : TPacsJob(server, network, parent), query_(std::move(query)) {}

void TSearchJob::Begin() {
    Watch(network_.get(Request(QStringLiteral("studies"), StudyQueryString(query_), "application/dicom+json")));
}

void TSearchJob::ReadBody(QNetworkReply& reply) {
    body_ += reply.readAll();
    if (body_.size() > kMaxJsonBytes)
        throw EPacsError(TPacsError::TooLarge, QStringLiteral("a search answer over %1 bytes").arg(kMaxJsonBytes));
    progress_.Bytes = body_.size();
    Progress(progress_);
}

void TSearchJob::Complete(QNetworkReply& reply) {
    ReadBody(reply);
    const std::vector<TStudyRow> rows = ParseStudies(body_);
    if (Fire(OnStudies, rows)) Succeed();
}

TSeriesSearchJob::TSeriesSearchJob(const TPacsServer& server, QNetworkAccessManager& network, QString studyUid,
                                   QObject* parent)
    : TPacsJob(server, network, parent), studyUid_(std::move(studyUid)) {}

void TSeriesSearchJob::Begin() {
    Watch(network_.get(Request(QStringLiteral("studies/%1/series").arg(Percent(studyUid_)),
                               "includefield=0008103E&includefield=00201209", "application/dicom+json")));
}

void TSeriesSearchJob::ReadBody(QNetworkReply& reply) {
    body_ += reply.readAll();
    if (body_.size() > kMaxJsonBytes)
        throw EPacsError(TPacsError::TooLarge, QStringLiteral("a search answer over %1 bytes").arg(kMaxJsonBytes));
    progress_.Bytes = body_.size();
    Progress(progress_);
}

void TSeriesSearchJob::Complete(QNetworkReply& reply) {
    ReadBody(reply);
    const std::vector<TSeriesRow> rows = ParseSeries(body_);
    if (Fire(OnSeries, rows)) Succeed();
}

// ---- retrieve -----------------------------------------------------------------------

struct TRetrieveJob::TPart {
    std::unique_ptr<TInstanceCache::TWriter> Writer;
};

TRetrieveJob::TRetrieveJob(const TPacsServer& server, QNetworkAccessManager& network, TInstanceCache* cache,
                           QString studyUid, QString seriesUid, QObject* parent)
    : TPacsJob(server, network, parent), cache_(cache), studyUid_(std::move(studyUid)), seriesUid_(std::move(seriesUid)) {}

TRetrieveJob::~TRetrieveJob() = default;

QString TRetrieveJob::ListKey() const {
    return server_.BaseUrl.toString() + "|" + studyUid_ + "|" + seriesUid_;
}

void TRetrieveJob::Begin() {
    if (cache_ == nullptr) throw EPacsError(TPacsError::LocalFile, QStringLiteral("no cache to retrieve into"));
    const QStringList cached = cache_->CompleteList(ListKey());
    if (!cached.isEmpty()) {
        FromCache(cached);
        return;
    }
    QString path = QStringLiteral("studies/") + Percent(studyUid_);
    if (!seriesUid_.isEmpty()) path += QStringLiteral("/series/") + Percent(seriesUid_);
    // transfer-syntax=*: the instances as the server keeps them, not transcoded.
    QNetworkReply* reply =
        network_.get(Request(path, {}, R"(multipart/related; type="application/dicom"; transfer-syntax=*)"));
    reply->setReadBufferSize(kReadBufferBytes);
    chunk_.resize(kChunkBytes);
    Watch(reply);
}

void TRetrieveJob::FromCache(const QStringList& sopUids) {
    for (const QString& uid : sopUids) {
        cache_->Touch(uid);
        ++progress_.Instances;
        if (!Fire(OnInstance, TRetrievedInstance{uid, cache_->Path(uid), true}) || Finished()) return;
        if (!Progress(progress_) || Finished()) return;
    }
    Succeed();
}

void TRetrieveJob::ReadBody(QNetworkReply& reply) {
    if (!reader_) {
        const QByteArray type = reply.rawHeader("Content-Type");
        const QByteArray boundary = MultipartBoundary(type);
        if (boundary.isEmpty())
            throw EPacsError(TPacsError::BadResponse,
                             QStringLiteral("a multipart answer was expected, not \"%1\"").arg(QString::fromLatin1(type)));
        reader_ = std::make_unique<TMultipartReader>(boundary, kMaxInstanceBytes);
        reader_->OnPartBegin = [this](const THeaderFields&) { part_ = std::make_unique<TPart>(TPart{cache_->Begin()}); };
        reader_->OnPartData = [this](const char* data, qsizetype size) { part_->Writer->Write(data, size); };
        reader_->OnPartEnd = [this] { PartEnded(); };
    }
    const QPointer<TPacsJob> alive(this);
    while (!Finished() && reply.bytesAvailable() > 0) {
        const int before = retrieved_.size();
        const qint64 n = reply.read(chunk_.data(), chunk_.size());
        if (n <= 0) break;
        progress_.Bytes += n;
        reader_->Feed(chunk_.constData(), n);
        // The instances this piece completed, announced once the reader is done with it
        // (a handler may delete the job).
        // One progress report per instance, or one for a piece that completed none.
        for (int i = before; i < retrieved_.size(); ++i) {
            ++progress_.Instances;
            const QString uid = retrieved_[i];
            if (!Fire(OnInstance, TRetrievedInstance{uid, cache_->Path(uid), false}) || Finished()) return;
            if (!Progress(progress_) || Finished()) return;
        }
        if (before == retrieved_.size() && (!Progress(progress_) || Finished())) return;
    }
}

void TRetrieveJob::PartEnded() {
    const QString temporary = part_->Writer->TemporaryPath();
    part_->Writer->Flush(); // the header is read from the file
    const imaging::TDicomHeader header = imaging::ReadDicomHeader(temporary);
    if (header.SopInstanceUid.isEmpty())
        throw EPacsError(TPacsError::BadResponse, QStringLiteral("part %1 is not a DICOM instance%2")
                                                      .arg(reader_->Parts())
                                                      .arg(header.Detail.isEmpty() ? QString() : ": " + header.Detail));
    cache_->Commit(std::move(part_->Writer), header.SopInstanceUid);
    part_.reset();
    retrieved_ << header.SopInstanceUid;
}

void TRetrieveJob::Complete(QNetworkReply& reply) {
    if (reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 204)
        throw EPacsError(TPacsError::NotFound, QStringLiteral("no instances"));
    ReadBody(reply);
    if (Finished()) return;
    if (!reader_) throw EPacsError(TPacsError::Truncated, QStringLiteral("an empty answer"));
    reader_->Finish();
    retrieved_.removeDuplicates();
    cache_->SetCompleteList(ListKey(), retrieved_);
    Succeed();
}

void TRetrieveJob::Abandon() {
    part_.reset(); // its temporary goes with it: no half instance stays in the cache
    reader_.reset();
}

// ---- store --------------------------------------------------------------------------

TStoreJob::TStoreJob(const TPacsServer& server, QNetworkAccessManager& network, QStringList files, QString studyUid,
                     QObject* parent)
    : TPacsJob(server, network, parent), files_(std::move(files)), studyUid_(std::move(studyUid)) {}

void TStoreJob::Begin() {
    auto multipart = std::make_unique<QHttpMultiPart>(QHttpMultiPart::RelatedType);
    for (const QString& path : files_) {
        auto* file = new QFile(path, multipart.get());
        if (!file->open(QIODevice::ReadOnly))
            throw EPacsError(TPacsError::LocalFile, QStringLiteral("%1: %2").arg(path, file->errorString()));
        QHttpPart part;
        part.setRawHeader("Content-Type", "application/dicom");
        part.setBodyDevice(file); // streamed from disk, not read into memory
        multipart->append(part);
    }
    QNetworkRequest request = Request(
        studyUid_.isEmpty() ? QStringLiteral("studies") : QStringLiteral("studies/") + Percent(studyUid_), {},
        "application/dicom+json");
    // The boundary quoted: Qt's holds characters that RFC 2045 allows only in quotes.
    request.setRawHeader("Content-Type",
                         R"(multipart/related; type="application/dicom"; boundary=")" + multipart->boundary() + "\"");
    QNetworkReply* reply = network_.post(request, multipart.get());
    multipart.release()->setParent(reply);
    Watch(reply);
}

void TStoreJob::ReadBody(QNetworkReply& reply) {
    body_ += reply.readAll();
    if (body_.size() > kMaxJsonBytes)
        throw EPacsError(TPacsError::TooLarge, QStringLiteral("a store answer over %1 bytes").arg(kMaxJsonBytes));
}

void TStoreJob::Complete(QNetworkReply& reply) {
    ReadBody(reply);
    const TStoreResult result = ParseStoreResponse(body_);
    progress_.Instances = static_cast<int>(result.Stored.size());
    if (!Fire(OnStored, result) || Finished()) return;
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (result.Failed.empty() && status != 409 && status != 202) {
        Succeed();
        return;
    }
    QStringList refused;
    for (const TStoreFailure& f : result.Failed)
        refused << QStringLiteral("%1, reason %2").arg(f.SopInstanceUid).arg(f.Reason, 4, 16, QLatin1Char('0'));
    Fail(TPacsError::StoreRejected, QStringLiteral("%1 of %2 refused: %3")
                                        .arg(result.Failed.size())
                                        .arg(files_.size())
                                        .arg(refused.join(QStringLiteral("; "))));
}

// ---- the client ---------------------------------------------------------------------

TDicomWebClient::TDicomWebClient(TPacsServer server, TInstanceCache* cache, QObject* parent)
    : QObject(parent), server_(std::move(server)), cache_(cache), network_(std::make_unique<QNetworkAccessManager>()) {}

TDicomWebClient::~TDicomWebClient() {
    // The jobs hold replies of the access manager: they go first.
    qDeleteAll(findChildren<TPacsJob*>(Qt::FindDirectChildrenOnly));
}

TSearchJob* TDicomWebClient::Search(const TStudyQuery& query) { return new TSearchJob(server_, *network_, query, this); }

TSeriesSearchJob* TDicomWebClient::SearchSeries(const QString& studyUid) {
    return new TSeriesSearchJob(server_, *network_, studyUid, this);
}

TRetrieveJob* TDicomWebClient::Retrieve(const QString& studyUid, const QString& seriesUid) {
    return new TRetrieveJob(server_, *network_, cache_, studyUid, seriesUid, this);
}

TStoreJob* TDicomWebClient::Store(const QStringList& files, const QString& studyUid) {
    return new TStoreJob(server_, *network_, files, studyUid, this);
}

} // namespace kelvo::pacs
